#include "worker_thread.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace kyr {
namespace {

// How long the worker keeps polling for the next job after one, before it
// parks: a parked thread takes 30-40 us to wake on a virtual machine whose
// idle processors halt at once, which is as long as reading 1 MiB. Calls made
// back to back then skip that wake-up; an idle process pays this much
// processor time once per job.
constexpr auto poll_after_job = std::chrono::microseconds(100);
// How long a caller polls for its job to end before sleeping. It only waits
// for the chunk the worker holds, which takes well under this.
constexpr auto poll_for_job_end = std::chrono::microseconds(500);

// Spins until `ready()` or until `limit` has passed; returns ready(). Yields
// between rounds: when the scheduler has put the thread it waits for on the
// same processor, that thread then runs at once instead of after the limit
// (without it, whole runs of a benchmark were slower than one thread).
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

// Jobs are handed over through two counters, so neither side takes a lock
// the other may hold: the caller stores the job and bumps `posted`; the
// worker runs it and sets `finished` to the job's number.
struct Worker {
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
    // Jobs passed to run_in_background that have not ended yet.
    std::atomic<std::uint32_t> background{0};
};

// Never destroyed: the thread may still be parked on it when static objects
// are destroyed at exit. A forked child gets a fresh one (its parent's thread
// does not exist there, and the mutex may have been held when it was forked).
Worker* instance = nullptr;

void forget_parent_worker() { instance = new Worker; }

void serve(Worker& worker) {
    for (std::uint32_t done = 0;; ) {
        poll([&] { return worker.posted.load(std::memory_order_acquire) != done; }, poll_after_job);
        worker.posted.wait(done, std::memory_order_acquire);
        ++done;
        JobState expected = JobState::pending;
        const bool withdrawn = !worker.state.compare_exchange_strong(
            expected, JobState::begun, std::memory_order_acq_rel);
        if (!withdrawn) {
            try {
                worker.job();
            } catch (...) {
                worker.failure = std::current_exception();
            }
        }
        worker.job = nullptr;
        if (withdrawn || worker.detached) {
            worker.failure = nullptr;  // nobody to report it to
            const std::lock_guard lock(worker.mutex);
            worker.busy = false;
        }
        worker.finished.store(done, std::memory_order_release);
        worker.finished.notify_one();
    }
}

bool start(Worker& worker) {
    try {
        start_without_signals([&worker] { serve(worker); }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

// On one processor a second thread cannot help, and polling would take the
// processor from the thread it waits for.
bool may_run_in_parallel() {
    cpu_set_t cpus;
    return sched_getaffinity(0, sizeof cpus, &cpus) != 0 || CPU_COUNT(&cpus) > 1;
}

Worker& worker() {
    static std::once_flag once;
    std::call_once(once, [] {
        instance = new Worker;
        pthread_atfork(nullptr, nullptr, forget_parent_worker);
    });
    return *instance;
}

// Takes the worker for one job: false when it is busy with another caller's
// job or cannot run.
bool take(Worker& shared) {
    if (!may_run_in_parallel()) {
        return false;
    }
    const std::lock_guard lock(shared.mutex);
    if (shared.busy || (!shared.started && !(shared.started = start(shared)))) {
        return false;
    }
    shared.busy = true;
    return true;
}

// Hands `job` to the worker taken by take(); returns the job's number.
std::uint32_t post(Worker& shared, std::function<void()> job, bool detached) {
    shared.job = std::move(job);
    shared.detached = detached;
    shared.state.store(JobState::pending, std::memory_order_relaxed);
    const std::uint32_t ticket = shared.posted.load(std::memory_order_relaxed) + 1;
    shared.posted.store(ticket, std::memory_order_release);
    shared.posted.notify_one();
    return ticket;
}

// Waits until the worker has finished job number `ticket`, then frees it
// for the next caller; returns what the job threw.
std::exception_ptr wait_for(Worker& shared, std::uint32_t ticket) {
    const auto ended = [&] { return shared.finished.load(std::memory_order_acquire) == ticket; };
    if (!poll(ended, poll_for_job_end)) {
        for (std::uint32_t seen; (seen = shared.finished.load(std::memory_order_acquire)) != ticket;) {
            shared.finished.wait(seen, std::memory_order_acquire);
        }
    }
    std::exception_ptr failure = std::exchange(shared.failure, nullptr);
    const std::lock_guard lock(shared.mutex);
    shared.busy = false;
    return failure;
}

}  // namespace

std::thread start_without_signals(std::function<void()> body) {
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    struct RestoreMask {
        sigset_t& previous;
        ~RestoreMask() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
    } restore{previous};
    return std::thread(std::move(body));
}

WorkerJob::WorkerJob(std::function<void()> job) {
    Worker& shared = worker();
    if (take(shared)) {
        ticket_ = post(shared, std::move(job), false);
        running_ = true;
    }
}

WorkerJob::~WorkerJob() {
    if (running_ && !waited_ && !withdraw()) {
        wait_for(worker(), ticket_);
    }
}

bool WorkerJob::withdraw() noexcept {
    JobState expected = JobState::pending;
    return worker().state.compare_exchange_strong(expected, JobState::withdrawn,
                                                  std::memory_order_acq_rel);
}

void WorkerJob::wait() {
    if (!running_ || waited_) {
        return;
    }
    waited_ = true;
    if (std::exception_ptr failure = wait_for(worker(), ticket_)) {
        std::rethrow_exception(failure);
    }
}

bool WorkerJob::wait_or_withdraw() {
    if (running_ && !waited_ && withdraw()) {
        running_ = false;
    }
    wait();
    return running_;
}

void run_alongside(const std::function<void()>& elsewhere, const std::function<void()>& here) {
    WorkerJob job(elsewhere);
    here();
    if (!job.wait_or_withdraw()) {
        elsewhere();
    }
}

void run_in_background(std::function<void()> job) {
    Worker& shared = worker();
    shared.background.fetch_add(1, std::memory_order_relaxed);
    const auto ended = [&shared] {
        if (shared.background.fetch_sub(1, std::memory_order_release) == 1) {
            shared.background.notify_all();
        }
    };
    if (take(shared)) {
        post(shared, [job = std::move(job), ended] { job(); ended(); }, true);
    } else {
        job();
        ended();
    }
}

void wait_for_background_jobs() noexcept {
    Worker& shared = worker();
    for (std::uint32_t left; (left = shared.background.load(std::memory_order_acquire)) != 0;) {
        shared.background.wait(left, std::memory_order_acquire);
    }
}

}  // namespace kyr
