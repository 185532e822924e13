#include "tools/machine.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

// Spaces and tabs trimmed from both ends of s.
static std::string trimmed(const std::string& s) {
    const size_t first = s.find_first_not_of(" \t\r\n");
    const size_t last = s.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? "" : s.substr(first, last - first + 1);
}

// The value of the first "key : value" line of /proc/cpuinfo whose key is exactly key
// (keys are padded with tabs before the colon: "model\t\t: 2"); "" when there is none.
static std::string cpuinfoValue(const char* key) {
    FILE* f = std::fopen("/proc/cpuinfo", "r");
    if (!f)
        return "";
    char line[512];
    std::string value;
    while (std::fgets(line, sizeof(line), f)) {
        const char* colon = std::strchr(line, ':');
        if (colon && trimmed(std::string(line, static_cast<size_t>(colon - line))) == key) {
            value = trimmed(colon + 1);
            break;
        }
    }
    std::fclose(f);
    return value;
}

std::string vyxBenchProcessor() {
    const std::string name = cpuinfoValue("model name");
    if (name.empty())
        return "unknown processor";
    return name + " (family " + cpuinfoValue("cpu family") + ", model " + cpuinfoValue("model") + ")";
}

double vyxBenchTwoThreadProbe() {
    using Clock = std::chrono::steady_clock;
    auto work = [] {
        volatile double x = 1.0;
        for (int i = 0; i < 30000000; ++i)
            x = x * 1.0000001 + 1e-9;
    };
    Clock::time_point t0 = Clock::now();
    work();
    const double one = std::chrono::duration<double>(Clock::now() - t0).count();
    t0 = Clock::now();
    std::thread a(work), b(work);
    a.join();
    b.join();
    const double two = std::chrono::duration<double>(Clock::now() - t0).count();
    return 2.0 * one / two;
}
