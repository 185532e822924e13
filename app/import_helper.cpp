#include "app/import_helper.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "app/install_layout.h"
#include "util/escape.h"
#include "util/large_alloc.h"

extern char** environ;

// Bytes one triangle takes once built (triangle, shading data, hierarchy share and the
// decoded face), for the triangle limit.
static const uint64_t kBytesPerTriangle = 400;

vyxImportHelperRun vyxDefaultImportHelperRun() {
    const uint64_t memory = vyxPhysicalMemoryBytes();
    vyxImportHelperRun run;
    run.helperPath = vyxFindImportHelper();
    run.memoryLimit = std::min(memory / 2, uint64_t{4} << 30);
    run.maxTriangles = memory / 4 / kBytesPerTriangle;
    run.maxOutputBytes = uint64_t{2} << 30;
    run.secondsLimit = 0;
    run.progress = true;
    run.confine = false;
    return run;
}

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The last line of what the helper wrote on stderr (a failed assertion says which).
std::string lastLine(const std::string& text) {
    size_t end = text.find_last_not_of("\r\n");
    if (end == std::string::npos)
        return std::string();
    size_t start = text.find_last_of('\n', end);
    std::string line = text.substr(start == std::string::npos ? 0 : start + 1, end + 1 - (start + 1));
    if (line.size() > 200)
        line = line.substr(0, 200) + "...";
    return line;
}

std::string outOfTime(double seconds) {
    char limit[32];
    std::snprintf(limit, sizeof limit, "%.0f", seconds);
    return std::string("the importer did not finish within ") + limit + " s (stopped)";
}

// The signal's name in lower case ("segmentation fault").
std::string signalName(int signal) {
    const char* name = strsignal(signal);
    std::string text = name ? name : "signal " + std::to_string(signal);
    if (!text.empty())
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

// Spawns the helper with its standard output and error on the write ends of two pipes;
// returns its process id, or -1 with why.
pid_t spawn(const vyxImportHelperRun& run, const char* modelPath, int outWrite, int errWrite, std::string& why) {
    const std::string memory = std::to_string(run.memoryLimit), triangles = std::to_string(run.maxTriangles);
    std::vector<char*> argv = {const_cast<char*>(run.helperPath.c_str()), const_cast<char*>("--memory-limit"),
                               const_cast<char*>(memory.c_str()), const_cast<char*>("--max-triangles"),
                               const_cast<char*>(triangles.c_str())};
    if (run.confine)
        argv.push_back(const_cast<char*>("--confine"));
    argv.insert(argv.end(), {const_cast<char*>("--"), const_cast<char*>(modelPath), nullptr});
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outWrite, 1);
    posix_spawn_file_actions_adddup2(&actions, errWrite, 2);
    pid_t pid = -1;
    int error = posix_spawn(&pid, run.helperPath.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        why = "the import helper " + run.helperPath + " cannot be started: " + std::strerror(error);
        return -1;
    }
    return pid;
}

// The wall-clock limit of a run: its own, or 5 s and 1 s per MiB of the file.
double timeLimit(const vyxImportHelperRun& run, const char* modelPath) {
    if (run.secondsLimit > 0)
        return run.secondsLimit;
    struct stat info;
    return 5.0 + (stat(modelPath, &info) == 0 ? static_cast<double>(info.st_size) / (1 << 20) : 0.0);
}

// Starts the helper with its standard output and error on two pipes, whose read ends it
// returns in outRead and errRead. Returns the process id, or -1 with why and no pipe
// left open.
pid_t startHelper(const vyxImportHelperRun& run, const char* modelPath, int& outRead, int& errRead, std::string& why) {
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        why = std::string("no pipe to the importer: ") + std::strerror(errno);
        return -1;
    }
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        why = std::string("no pipe to the importer: ") + std::strerror(errno);
        close(outPipe[0]);
        close(outPipe[1]);
        return -1;
    }
    // A larger pipe lets the helper write a model's arrays with fewer pauses for us.
    fcntl(outPipe[1], F_SETPIPE_SZ, 1 << 20);
    pid_t pid = spawn(run, modelPath, outPipe[1], errPipe[1], why);
    close(outPipe[1]);
    close(errPipe[1]);
    if (pid < 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        return -1;
    }
    outRead = outPipe[0];
    errRead = errPipe[0];
    return pid;
}

// How reading the helper's pipes ended.
enum class Reading {
    Closed,  // the helper closed both
    Stopped, // out of time or past the output limit; why says which
    Failed,  // waiting on the pipes failed
};

// Reads the helper's standard output into output and the end of its standard error into
// errors until it closes both pipes, the time limit passes or it sends more than the run
// allows; prints the progress line once the import passes a second (progressShown then
// set). Closes both read ends.
Reading readPipes(const vyxImportHelperRun& run, const char* modelPath, double secondsLimit, Clock::time_point start,
                  int outRead, int errRead, std::string& output, std::string& errors, bool& progressShown,
                  std::string& why) {
    Reading reading = Reading::Failed;
    pollfd fds[2] = {{outRead, POLLIN, 0}, {errRead, POLLIN, 0}};
    int openPipes = 2;
    char buffer[1 << 16];
    while (openPipes > 0) {
        const double elapsed = secondsSince(start);
        if (elapsed >= secondsLimit) {
            why = outOfTime(secondsLimit);
            reading = Reading::Stopped;
            break;
        }
        if (!progressShown && elapsed >= 1.0) {
            std::fprintf(stderr, "vyx: importing %s (at most %.0f s)...\n", vyxEscapeText(modelPath).c_str(),
                         secondsLimit);
            progressShown = true;
        }
        // Wake at least every 0.1 s for the progress line and the time limit.
        int ready = poll(fds, 2, 100);
        if (ready < 0 && errno != EINTR)
            break;
        for (pollfd& fd : fds) {
            if (fd.fd < 0 || !(fd.revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t got = read(fd.fd, buffer, sizeof buffer);
            if (got < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (got <= 0) {
                close(fd.fd);
                fd.fd = -1;
                --openPipes;
                continue;
            }
            std::string& into = &fd == &fds[0] ? output : errors;
            into.append(buffer, static_cast<size_t>(got));
            // Only the end of stderr is kept: the last line says what went wrong.
            if (&fd == &fds[1] && errors.size() > 8192)
                errors.erase(0, errors.size() - 4096);
        }
        if (output.size() > run.maxOutputBytes) {
            why = "the importer sent more than " + std::to_string(run.maxOutputBytes >> 20) + " MiB (stopped)";
            reading = Reading::Stopped;
            break;
        }
    }
    if (reading != Reading::Stopped && openPipes == 0)
        reading = Reading::Closed;
    for (pollfd& fd : fds)
        if (fd.fd >= 0)
            close(fd.fd);
    return reading;
}

// Waits for the helper to end and stores its wait status. A helper that closed its
// output is about to end; one that does not by the time limit is killed: false, with why.
bool reap(pid_t pid, Clock::time_point start, double secondsLimit, int& status, std::string& why) {
    bool ended = true;
    pid_t result;
    while ((result = waitpid(pid, &status, WNOHANG)) == 0 && secondsSince(start) < secondsLimit)
        usleep(2000);
    if (result == 0) {
        kill(pid, SIGKILL);
        why = outOfTime(secondsLimit);
        ended = false;
    }
    while (result <= 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return ended;
}

// True when the helper exited by itself with status 0 or 1; else false with why in words,
// from its wait status and the last line of its standard error.
bool explainEnd(int status, const std::string& errors, std::string& why) {
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        std::string detail = lastLine(errors);
        why = signal == SIGKILL ? "the importer was killed" : "the importer crashed (" + signalName(signal);
        if (signal != SIGKILL)
            why += detail.empty() ? ")" : ": " + detail + ")";
        return false;
    }
    if (!WIFEXITED(status) || (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 1)) {
        why = "the importer failed (exit status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")";
        return false;
    }
    return true;
}

} // namespace

bool vyxRunImportHelper(const vyxImportHelperRun& run, const char* modelPath, std::string& output, std::string& why) {
    output.clear();
    why.clear();
    if (run.helperPath.empty()) {
        why = "the import helper vyx-import is not installed beside the program";
        return false;
    }
    const double secondsLimit = timeLimit(run, modelPath);
    // The stream is about as large as the file for most formats.
    struct stat info;
    if (stat(modelPath, &info) == 0)
        output.reserve(std::min(static_cast<uint64_t>(info.st_size) + (1 << 20), run.maxOutputBytes));
    const Clock::time_point start = Clock::now();
    int outRead = -1, errRead = -1;
    const pid_t pid = startHelper(run, modelPath, outRead, errRead, why);
    if (pid < 0)
        return false;
    std::string errors;
    bool progressShown = !run.progress;
    const Reading reading =
        readPipes(run, modelPath, secondsLimit, start, outRead, errRead, output, errors, progressShown, why);
    if (reading != Reading::Closed)
        kill(pid, SIGKILL);
    int status = 0;
    const bool ended = reap(pid, start, secondsLimit, status, why);
    const bool stopped = reading == Reading::Stopped || !ended;
    if (progressShown && run.progress && !stopped)
        std::fprintf(stderr, "vyx: %s imported in %.1f s\n", vyxEscapeText(modelPath).c_str(), secondsSince(start));
    if (stopped)
        return false;
    return explainEnd(status, errors, why);
}
