#include "worker_thread.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

namespace kyr {
namespace {

// How long a worker keeps polling for its next job after one, before it
// parks: waking a parked thread can take as long as reading a megabyte
// (docs/performance/internals.md), and calls made back to back, or between
// other work of about their own length, then skip it. An idle process pays
// up to this much processor time once per job, yielding to other threads.
constexpr auto poll_after_job = std::chrono::microseconds(1000);
// How long a caller polls for its job to end before sleeping. It only waits
// for the chunk the worker holds, which takes well under this.
constexpr auto poll_for_job_end = std::chrono::microseconds(500);

// Spins until `ready()` or until `limit` has passed; returns ready(). Yields
// between rounds: when the scheduler has put the thread it waits for on the
// same processor, that thread then runs at once instead of after the limit.
template <class Ready>
bool poll(Ready ready, std::chrono::microseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        for (int i = 0; i < 64; ++i) {
            if (ready()) {
                return true;
            }
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return ready();
        }
        sched_yield();
    }
}

enum class JobState { pending, begun, withdrawn };

struct Pool;

}  // namespace

// One helper thread. Jobs are handed over through two counters, so neither
// side takes a lock the other may hold: the caller stores the job and bumps
// `posted`; the worker runs it and sets `finished` to the job's number.
struct Worker {
    Pool* pool = nullptr;
    std::mutex mutex;       // among callers: `started` and `busy`
    bool started = false;
    bool busy = false;      // taken by a caller, until it has waited for its job
    std::atomic<std::uint32_t> posted{0};
    std::atomic<std::uint32_t> finished{0};
    std::function<void()> job;
    bool detached = false;  // nobody waits for the job: the worker frees itself
    // Whether the posted job was begun by the worker or withdrawn by its
    // caller: whichever comes first decides.
    std::atomic<JobState> state{JobState::pending};
    std::exception_ptr failure;
};

namespace {

// The workers of one process. Never destroyed: a worker may still be parked
// on it while static objects are destroyed at exit. A forked child replaces
// it (the parent's threads do not exist there, and a mutex may have been
// held when it was forked); jobs of the old one are then known lost.
struct Pool {
    Pool() {
        for (Worker& worker : workers) {
            worker.pool = this;
        }
    }

    std::array<Worker, worker_count> workers;
    // Jobs passed to run_in_background that have not ended yet.
    std::atomic<std::uint32_t> background{0};
    // Set once the process exits: jobs then run on their caller's thread.
    std::atomic<bool> closing{false};
};

std::atomic<Pool*> current_pool{nullptr};

bool is_lost(const Worker& worker) noexcept {
    return worker.pool != current_pool.load(std::memory_order_relaxed);
}

void background_job_ended(Pool& pool) noexcept {
    if (pool.background.fetch_sub(1, std::memory_order_release) == 1) {
        pool.background.notify_all();
    }
}

// In a forked child (pthread_atfork): a new generation of workers. A caller
// the fork interrupted while it slept on a worker's counter wakes, finds its
// job lost, and goes on without it.
void start_new_generation() noexcept {
    Pool* old = current_pool.load(std::memory_order_relaxed);
    current_pool.store(new (std::nothrow) Pool, std::memory_order_release);
    if (old != nullptr) {
        for (Worker& worker : old->workers) {
            worker.finished.fetch_add(1, std::memory_order_relaxed);
        }
    }
}

void drain_at_exit() noexcept {
    if (Pool* pool = current_pool.load(std::memory_order_acquire)) {
        pool->closing.store(true, std::memory_order_relaxed);
    }
    wait_for_background_jobs();
}

Pool* pool() {
    static std::once_flag once;
    std::call_once(once, [] {
        current_pool.store(new Pool, std::memory_order_release);
        pthread_atfork(nullptr, nullptr, start_new_generation);
        std::atexit(drain_at_exit);
    });
    return current_pool.load(std::memory_order_acquire);
}

void serve(Worker& worker) {
    for (std::uint32_t done = 0;;) {
        poll([&] { return worker.posted.load(std::memory_order_acquire) != done; }, poll_after_job);
        worker.posted.wait(done, std::memory_order_acquire);
        ++done;
        JobState expected = JobState::pending;
        const bool begun = worker.state.compare_exchange_strong(expected, JobState::begun,
                                                                std::memory_order_acq_rel);
        if (begun) {
            try {
                worker.job();
            } catch (...) {
                worker.failure = std::current_exception();
            }
        }
        worker.job = nullptr;
        const bool detached = worker.detached;
        if (!begun || detached) {
            worker.failure = nullptr;  // nobody to report it to
            const std::lock_guard lock(worker.mutex);
            worker.busy = false;
        }
        worker.finished.store(done, std::memory_order_release);
        worker.finished.notify_one();
        if (detached) {
            background_job_ended(*worker.pool);
        }
    }
}

// Starts `body` on a new thread with every signal blocked there, so signals
// reach the calling thread, whose stop check handles them.
bool start(Worker& worker) {
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    bool started = true;
    try {
        std::thread([&worker] { serve(worker); }).detach();
    } catch (const std::system_error&) {
        started = false;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return started;
}

// On one processor a second thread cannot help, and polling would take the
// processor from the thread it waits for.
bool may_run_in_parallel() {
    cpu_set_t cpus;
    return sched_getaffinity(0, sizeof cpus, &cpus) != 0 || CPU_COUNT(&cpus) > 1;
}

// Takes a free worker for one job: nullptr when each is busy with another
// caller's job or none can run.
Worker* take(Pool* shared) {
    if (shared == nullptr || shared->closing.load(std::memory_order_relaxed) ||
        !may_run_in_parallel()) {
        return nullptr;
    }
    for (Worker& worker : shared->workers) {
        const std::lock_guard lock(worker.mutex);
        if (worker.busy) {
            continue;
        }
        if (!worker.started && !(worker.started = start(worker))) {
            return nullptr;
        }
        worker.busy = true;
        return &worker;
    }
    return nullptr;
}

// Hands `job` to the worker taken by take(); returns the job's number.
std::uint32_t post(Worker& worker, std::function<void()> job, bool detached) {
    worker.job = std::move(job);
    worker.detached = detached;
    worker.state.store(JobState::pending, std::memory_order_relaxed);
    const std::uint32_t ticket = worker.posted.load(std::memory_order_relaxed) + 1;
    worker.posted.store(ticket, std::memory_order_release);
    worker.posted.notify_one();
    return ticket;
}

// Waits until the worker has finished job number `ticket`, then frees it for
// the next caller and hands over what the job threw; or until the job is
// known lost in a fork.
JobEnd wait_for(Worker& worker, std::uint32_t ticket, std::exception_ptr& failure) {
    const auto over = [&] {
        return is_lost(worker) || worker.finished.load(std::memory_order_acquire) == ticket;
    };
    if (!poll(over, poll_for_job_end)) {
        for (std::uint32_t seen; !is_lost(worker) &&
                                 (seen = worker.finished.load(std::memory_order_acquire)) != ticket;) {
            worker.finished.wait(seen, std::memory_order_acquire);
        }
    }
    if (is_lost(worker)) {
        return JobEnd::lost;
    }
    failure = std::exchange(worker.failure, nullptr);
    const std::lock_guard lock(worker.mutex);
    worker.busy = false;
    return JobEnd::ran;
}

}  // namespace

WorkerJob::WorkerJob(std::function<void()> job) {
    if (Worker* worker = take(pool())) {
        ticket_ = post(*worker, std::move(job), false);
        worker_ = worker;
    }
}

WorkerJob::~WorkerJob() {
    if (worker_ == nullptr || waited_ || lost()) {
        return;  // never handed over, waited for already, or lost
    }
    JobState expected = JobState::pending;
    if (!worker_->state.compare_exchange_strong(expected, JobState::withdrawn,
                                                std::memory_order_acq_rel)) {
        std::exception_ptr ignored;
        wait_for(*worker_, ticket_, ignored);
    }
}

bool WorkerJob::lost() const noexcept { return worker_ != nullptr && is_lost(*worker_); }

JobEnd WorkerJob::wait() {
    if (worker_ == nullptr || waited_) {
        return end_;
    }
    waited_ = true;
    std::exception_ptr failure;
    end_ = wait_for(*worker_, ticket_, failure);
    if (failure) {
        std::rethrow_exception(failure);
    }
    return end_;
}

JobEnd WorkerJob::wait_or_withdraw() {
    if (worker_ != nullptr && !waited_ && !lost()) {
        JobState expected = JobState::pending;
        if (worker_->state.compare_exchange_strong(expected, JobState::withdrawn,
                                                   std::memory_order_acq_rel)) {
            worker_ = nullptr;
            return JobEnd::withdrawn;
        }
    }
    return wait();
}

void run_alongside(const std::function<void()>& elsewhere, const std::function<void()>& here) {
    WorkerJob job(elsewhere);
    here();
    if (job.wait_or_withdraw() != JobEnd::ran) {
        elsewhere();
    }
}

void run_in_background(std::function<void()> job) {
    Pool* shared = pool();
    if (shared != nullptr) {
        shared->background.fetch_add(1, std::memory_order_relaxed);
    }
    if (Worker* worker = take(shared)) {
        post(*worker, std::move(job), true);
        return;
    }
    job();
    if (shared != nullptr) {
        background_job_ended(*shared);
    }
}

void wait_for_background_jobs() noexcept {
    Pool* shared = current_pool.load(std::memory_order_acquire);
    if (shared == nullptr) {
        return;
    }
    for (std::uint32_t left; (left = shared->background.load(std::memory_order_acquire)) != 0;) {
        shared->background.wait(left, std::memory_order_acquire);
    }
}

}  // namespace kyr
