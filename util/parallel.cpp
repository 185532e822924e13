#include "util/parallel.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Set while the thread runs a share of some call: a call from there is nested.
thread_local bool insideWork = false;

// One call's loop, on its caller's stack while the call runs.
struct Job {
    const std::function<void(int)>* work;
    int count;
    std::atomic<int> next{0};
    int wanted;      // threads besides the caller that may still join
    int joined = 0;  // threads that took part besides the caller
    int running = 0; // of those, the ones still in it
};

// Takes the next index of job until none is left.
void drain(Job& job) {
    const bool outer = insideWork;
    insideWork = true;
    for (int i = job.next.fetch_add(1); i < job.count; i = job.next.fetch_add(1))
        (*job.work)(i);
    insideWork = outer;
}

class Pool {
public:
    Pool() {
        unsigned cores = std::thread::hardware_concurrency();
        for (unsigned k = 1; k < cores; ++k) {
            try {
                threads_.emplace_back([this] { serve(); });
            } catch (const std::exception&) {
                break; // no thread (system_error) or no memory for one (bad_alloc)
            }
        }
    }

    ~Pool() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        for (std::thread& t : threads_)
            t.join();
    }

    int helpers() const { return static_cast<int>(threads_.size()); }

    // Calls from outside the pool's work take turns; a nested call (from inside some
    // call's work) posts its loop at once, for the threads that are idle or waiting: its
    // caller's outer call cannot finish before it does, so waiting for the turn could
    // never end.
    void run(int count, int threads, const std::function<void(int)>& work, bool nested) {
        std::unique_lock<std::mutex> turn(turn_, std::defer_lock);
        if (!nested)
            turn.lock();
        int wanted = helpers();
        if (threads > 0 && threads - 1 < wanted)
            wanted = threads - 1;
        if (count - 1 < wanted)
            wanted = count - 1;
        Job job;
        job.work = &work;
        job.count = count;
        job.wanted = wanted;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            jobs_.push_back(&job);
        }
        changed_.notify_all();
        drain(job);
        std::unique_lock<std::mutex> lock(mutex_);
        // Every index is taken: no thread may join any more. While those that did finish,
        // this one helps with the loops they (or others) posted from inside it.
        job.wanted = job.joined;
        for (;;) {
            if (job.running == 0)
                break;
            if (Job* other = openJob()) {
                help(*other, lock);
                continue;
            }
            changed_.wait(lock);
        }
        jobs_.erase(std::find(jobs_.begin(), jobs_.end(), &job));
    }

private:
    // The most recently posted job that still takes threads and has indices left; null
    // when there is none. Under mutex_.
    Job* openJob() const {
        for (auto it = jobs_.rbegin(); it != jobs_.rend(); ++it) {
            Job* job = *it;
            if (job->joined < job->wanted && job->next.load() < job->count)
                return job;
        }
        return nullptr;
    }

    // Takes part in job until its indices are taken; lock holds mutex_ before and after.
    void help(Job& job, std::unique_lock<std::mutex>& lock) {
        ++job.joined;
        ++job.running;
        lock.unlock();
        drain(job);
        lock.lock();
        if (--job.running == 0)
            changed_.notify_all();
    }

    void serve() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            Job* job = nullptr;
            changed_.wait(lock, [&] { return stopping_ || (job = openJob()) != nullptr; });
            if (stopping_)
                return;
            help(*job, lock);
        }
    }

    std::mutex turn_;  // held by the outside caller whose loop runs
    std::mutex mutex_; // guards jobs_, stopping_ and the jobs' fields but next
    // Notified when a job is posted, when a job's last helper leaves it and at the end.
    std::condition_variable changed_;
    std::vector<std::thread> threads_;
    std::vector<Job*> jobs_; // the jobs of the calls running, in the order they were posted
    bool stopping_ = false;
};

Pool& pool() {
    static Pool instance;
    return instance;
}

} // namespace

void vyxParallelFor(int count, int threads, const std::function<void(int)>& work) {
    if (count <= 0)
        return;
    if (count == 1 || threads == 1) {
        for (int i = 0; i < count; ++i)
            work(i);
        return;
    }
    pool().run(count, threads, work, insideWork);
}

int vyxParallelHelpers() { return pool().helpers(); }

// 0: every thread the machine runs at once.
static std::atomic<int> workerThreadLimit{0};

void vyxSetWorkerThreadLimit(int threads) { workerThreadLimit.store(threads < 0 ? 0 : threads); }

int vyxWorkerCores() {
    int cores = workerThreadLimit.load();
    if (cores == 0)
        cores = vyxParallelHelpers() + 1;
    return cores < 1 ? 1 : cores;
}
