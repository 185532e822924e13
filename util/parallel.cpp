#include "util/parallel.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Set while the thread runs a share of some call: a nested call then runs its loop on
// this thread alone (the pool is busy with the outer one).
thread_local bool insideWork = false;

// Takes the next index until none is left.
void drain(const std::function<void(int)>& work, int count, std::atomic<int>& next) {
    insideWork = true;
    for (int i = next.fetch_add(1); i < count; i = next.fetch_add(1))
        work(i);
    insideWork = false;
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
        wake_.notify_all();
        for (std::thread& t : threads_)
            t.join();
    }

    int helpers() const { return static_cast<int>(threads_.size()); }

    void run(int count, int threads, const std::function<void(int)>& work) {
        // One call at a time: a second caller waits here for the first to finish.
        std::lock_guard<std::mutex> turn(turn_);
        int wanted = helpers();
        if (threads > 0 && threads - 1 < wanted)
            wanted = threads - 1;
        if (count - 1 < wanted)
            wanted = count - 1;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            work_ = &work;
            count_ = count;
            next_.store(0);
            wanted_ = wanted;
            joined_ = 0;
            running_ = 0;
            ++generation_;
        }
        if (wanted > 0)
            wake_.notify_all();
        drain(work, count, next_);
        std::unique_lock<std::mutex> lock(mutex_);
        // Every index is taken: no helper may join any more, and those that did finish.
        wanted_ = joined_;
        done_.wait(lock, [this] { return running_ == 0; });
        work_ = nullptr;
    }

private:
    void serve() {
        std::unique_lock<std::mutex> lock(mutex_);
        uint64_t seen = 0;
        for (;;) {
            wake_.wait(lock, [&] { return stopping_ || (generation_ != seen && joined_ < wanted_); });
            if (stopping_)
                return;
            seen = generation_;
            ++joined_;
            ++running_;
            const std::function<void(int)>* work = work_;
            const int count = count_;
            lock.unlock();
            drain(*work, count, next_);
            lock.lock();
            if (--running_ == 0)
                done_.notify_all();
        }
    }

    std::mutex turn_;  // held by the caller whose loop runs
    std::mutex mutex_; // guards the fields below but next_
    std::condition_variable wake_, done_;
    std::vector<std::thread> threads_;
    const std::function<void(int)>* work_ = nullptr;
    int count_ = 0;
    std::atomic<int> next_{0};
    int wanted_ = 0;  // helpers the current call wants
    int joined_ = 0;  // helpers that took part in it
    int running_ = 0; // helpers still in it
    uint64_t generation_ = 0;
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
    if (insideWork || count == 1 || threads == 1) {
        for (int i = 0; i < count; ++i)
            work(i);
        return;
    }
    pool().run(count, threads, work);
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
