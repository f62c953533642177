#include "worker_thread.hpp"

#include <pthread.h>
#include <signal.h>

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace kyr {
namespace {

struct Worker {
    std::mutex mutex;
    std::condition_variable job_posted;
    std::condition_variable job_done;
    bool started = false;
    bool busy = false;      // taken by a caller, until it has waited for its job
    bool finished = false;  // the job has ended
    std::function<void()> job;
    std::exception_ptr failure;
};

// Never destroyed: the thread may still be parked on it when static objects
// are destroyed at exit. A forked child gets a fresh one (its parent's thread
// does not exist there, and the mutex may have been held when it was forked).
Worker* instance = nullptr;

void forget_parent_worker() { instance = new Worker; }

void serve(Worker& worker) {
    std::unique_lock lock(worker.mutex);
    for (;;) {
        worker.job_posted.wait(lock, [&] { return static_cast<bool>(worker.job); });
        std::function<void()> job = std::move(worker.job);
        worker.job = nullptr;
        lock.unlock();
        std::exception_ptr failure;
        try {
            job();
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        worker.failure = failure;
        worker.finished = true;
        worker.job_done.notify_all();
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

Worker& worker() {
    static std::once_flag once;
    std::call_once(once, [] {
        instance = new Worker;
        pthread_atfork(nullptr, nullptr, forget_parent_worker);
    });
    return *instance;
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
    std::lock_guard lock(shared.mutex);
    if (shared.busy || (!shared.started && !(shared.started = start(shared)))) {
        return;
    }
    shared.busy = true;
    shared.finished = false;
    shared.failure = nullptr;
    shared.job = std::move(job);
    shared.job_posted.notify_one();
    running_ = true;
}

WorkerJob::~WorkerJob() {
    if (running_ && !waited_) {
        Worker& shared = worker();
        std::unique_lock lock(shared.mutex);
        shared.job_done.wait(lock, [&] { return shared.finished; });
        shared.busy = false;
    }
}

void WorkerJob::wait() {
    if (!running_ || waited_) {
        return;
    }
    Worker& shared = worker();
    std::unique_lock lock(shared.mutex);
    shared.job_done.wait(lock, [&] { return shared.finished; });
    shared.busy = false;
    waited_ = true;
    if (std::exception_ptr failure = std::exchange(shared.failure, nullptr)) {
        lock.unlock();
        std::rethrow_exception(failure);
    }
}

}  // namespace kyr
