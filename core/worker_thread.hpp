// One helper thread kept for the life of the process, so that sharing work
// between the two cores costs no thread start (65-85 us median, with a tail
// of milliseconds). Between jobs it polls briefly, then parks; waking a
// parked thread took 30-40 us on a virtual machine whose idle processors
// halt at once. It runs one job at a time with every signal blocked, so
// signals reach the caller. A child process forked while it exists starts
// its own on first use.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <thread>

namespace kyr {

// Starts `body` on a new thread with every signal blocked there, so signals
// reach the calling thread, whose stop check handles them. Throws
// std::system_error when no thread can be started.
std::thread start_without_signals(std::function<void()> body);

// A job handed to the worker thread. When the worker is busy with another
// caller's job or cannot be started, nothing runs and running() is false:
// the caller then does the work itself.
class WorkerJob {
public:
    explicit WorkerJob(std::function<void()> job);
    // Waits for the job, unless the worker has not begun it: then it never
    // runs.
    ~WorkerJob();
    WorkerJob(const WorkerJob&) = delete;
    WorkerJob& operator=(const WorkerJob&) = delete;

    bool running() const noexcept { return running_; }
    // Waits for the job to end, then rethrows what it threw.
    void wait();
    // Takes the job back when the worker has not begun it yet, so that it
    // never runs, instead of waiting for a worker that is slow to wake or
    // shares the caller's processor; otherwise as wait(). Returns whether
    // the job ran.
    bool wait_or_withdraw();

private:
    bool withdraw() noexcept;

    bool running_ = false;
    bool waited_ = false;
    std::uint32_t ticket_ = 0;  // the job's number, when running
};

// Runs `elsewhere` on the worker thread while the caller runs `here`, and
// returns once both have ended (rethrowing what either threw). When the
// worker is busy, cannot run, or has not begun `elsewhere` by the time
// `here` has ended, the caller runs `elsewhere` after `here`.
void run_alongside(const std::function<void()>& elsewhere, const std::function<void()>& here);

// Runs `job` on the worker thread without waiting for it, for work whose end
// nobody needs to see (releasing a replaced file), or on the calling thread
// when the worker is busy or cannot run. The job must not throw.
void run_in_background(std::function<void()> job);

// Waits until every job passed to run_in_background has ended. Returns at
// once when there is none; in a forked child, jobs the parent had running
// are not waited for (they do not exist there). Not for use inside a job.
void wait_for_background_jobs() noexcept;

}  // namespace kyr
