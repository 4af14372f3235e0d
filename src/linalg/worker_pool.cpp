#include "linalg/worker_pool.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace minque {

namespace {

// A waiting thread spins this many checks (the usual wait is microseconds),
// then yields the processor at every check, so that the thread it waits for
// can run when there are more threads than free cores.
constexpr int kSpinsBeforeYield = 256;

template <class Done>
void waitUntil(Done done) {
    for (int spins = 0; !done(); ++spins) {
        if (spins < kSpinsBeforeYield)
            __builtin_ia32_pause();
        else
            std::this_thread::yield();
    }
}

class WorkerPool {
public:
    // Starts up to `threads` - 1 workers. When the system refuses a thread
    // (a process or memory limit), the pool keeps those that started: the
    // results do not depend on the number of threads, only the time does.
    explicit WorkerPool(int threads) {
        try {
            for (int w = 1; w < threads; ++w) workers_.emplace_back([this, w] { loop(w); });
        } catch (const std::system_error&) {
        } catch (const std::bad_alloc&) {
        }
    }
    ~WorkerPool() {
        stop_.store(true);
        generation_.fetch_add(1);
        generation_.notify_all();
        for (auto& t : workers_) t.join();
    }
    int size() const { return static_cast<int>(workers_.size()) + 1; }
    void barrier() {
        const int total = size();
        if (total == 1) return;
        const unsigned phase = barrierPhase_.load(std::memory_order_acquire);
        if (barrierCount_.fetch_add(1, std::memory_order_acq_rel) + 1 == total) {
            barrierCount_.store(0, std::memory_order_relaxed);
            barrierPhase_.fetch_add(1, std::memory_order_release);
        } else {
            waitUntil([&] { return barrierPhase_.load(std::memory_order_acquire) != phase; });
        }
    }
    void run(const std::function<void(int)>& body) {
        if (workers_.empty()) {
            body(0);
            return;
        }
        task_ = &body;
        remaining_.store(static_cast<int>(workers_.size()));
        generation_.fetch_add(1, std::memory_order_seq_cst);
        // Workers still spinning see the new generation by themselves; the
        // wake-up (a system call) is needed only when one has gone to sleep.
        if (sleepers_.load(std::memory_order_seq_cst) > 0) generation_.notify_all();
        body(0);
        waitUntil([&] { return remaining_.load(std::memory_order_acquire) == 0; });
    }

private:
    void loop(int worker) {
        // Signals go to the main thread, whose handlers may clean up what it
        // is doing; a worker only computes.
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        unsigned seen = 0;  // the generation when the pool was made, before any task
        while (true) {
            unsigned now;
            int spins = 0;
            while ((now = generation_.load(std::memory_order_acquire)) == seen) {
                if (++spins > kSpinsBeforeSleep) {
                    sleepers_.fetch_add(1, std::memory_order_seq_cst);
                    generation_.wait(seen, std::memory_order_seq_cst);
                    sleepers_.fetch_sub(1, std::memory_order_seq_cst);
                    spins = 0;
                } else if (spins < kSpinsBeforeYield) {
                    __builtin_ia32_pause();
                } else {
                    std::this_thread::yield();
                }
            }
            seen = now;
            if (stop_.load()) return;
            (*task_)(worker);
            remaining_.fetch_sub(1, std::memory_order_release);
        }
    }

    // Checks of an idle worker before it sleeps until the next task.
    static constexpr int kSpinsBeforeSleep = 4096;

    std::vector<std::thread> workers_;
    std::atomic<unsigned> generation_{0};
    std::atomic<int> remaining_{0};
    std::atomic<int> sleepers_{0};
    std::atomic<int> barrierCount_{0};
    std::atomic<unsigned> barrierPhase_{0};
    std::atomic<bool> stop_{false};
    const std::function<void(int)>* task_ = nullptr;
};

std::mutex poolMutex;
std::unique_ptr<WorkerPool> pool;
int requestedThreads = 0;  // 0: one per hardware thread

WorkerPool& thePool() {
    std::lock_guard<std::mutex> lock(poolMutex);
    if (!pool) {
        int threads = requestedThreads;
        if (threads < 1) threads = static_cast<int>(std::thread::hardware_concurrency());
        if (threads < 1) threads = 1;
        pool = std::make_unique<WorkerPool>(threads);
    }
    return *pool;
}

}  // namespace

void setWorkerThreads(int threads) {
    std::lock_guard<std::mutex> lock(poolMutex);
    requestedThreads = threads < 1 ? 0 : threads;
    pool.reset();
}

int workerThreads() { return thePool().size(); }

int hardwareThreads() { return std::max(1, static_cast<int>(std::thread::hardware_concurrency())); }

void runOnWorkers(const std::function<void(int)>& body) { thePool().run(body); }

void workerBarrier() { thePool().barrier(); }

void splitRange(int count, int worker, int workers, int* begin, int* end) {
    *begin = static_cast<int>(static_cast<long long>(count) * worker / workers);
    *end = static_cast<int>(static_cast<long long>(count) * (worker + 1) / workers);
}

void splitTriangle(int n, int worker, int workers, int* begin, int* end) {
    // Row i ends the first i(i+1)/2 + ... elements: cut where the cumulative
    // area reaches worker / workers of the total.
    auto cut = [n, workers](int w) {
        if (w <= 0) return 0;
        if (w >= workers) return n;
        const double area = static_cast<double>(n) * (n + 1) / 2.0 * w / workers;
        int row = static_cast<int>(std::sqrt(2.0 * area));
        return row < 0 ? 0 : (row > n ? n : row);
    };
    *begin = cut(worker);
    *end = cut(worker + 1);
}

}  // namespace minque
