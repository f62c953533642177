// The one way core code runs work on another thread: jobs handed to helper
// threads that are started on first use and then kept, parked between jobs,
// for the life of the process, so that sharing work between cores costs no
// thread start. Each runs one job at a time with every signal blocked, so
// signals reach the caller, whose stop check handles them.
//
// A forked child has none of its parent's threads. Every job posted before a
// fork is lost in the child: it may have partly run, and it never ends there.
// The child's callers are told so and finish the work themselves; the child
// starts helpers of its own on first use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace kyr {

// Helper threads at most: one for the work a call shares, one more for work
// beside it (faulting in fresh pages while another reads ahead).
inline constexpr std::size_t worker_count = 2;

struct Worker;

// How a job handed to a worker ended, as its caller sees it.
enum class JobEnd {
    ran,        // the worker ran it to its end
    withdrawn,  // taken back before the worker began it: it never ran
    lost,       // posted before this process was forked: it may have partly
                // run, and it never ends here
};

// A job handed to a free worker. When every worker is busy with other
// callers' jobs, or none can run (one processor, no thread can be started),
// nothing runs and running() is false: the caller then does the work itself.
class WorkerJob {
public:
    explicit WorkerJob(std::function<void()> job);
    // Withdraws the job or waits for it (a lost job is neither).
    ~WorkerJob();
    WorkerJob(const WorkerJob&) = delete;
    WorkerJob& operator=(const WorkerJob&) = delete;

    bool running() const noexcept { return worker_ != nullptr; }
    // Whether the job was posted before this process was forked. One load:
    // cheap enough to ask before every wait on the job's progress.
    bool lost() const noexcept;
    // Waits for the job to end, then rethrows what it threw. Returns at once
    // for a job that is not running (withdrawn) or lost.
    JobEnd wait();
    // Takes the job back when the worker has not begun it yet, so that it
    // never runs, instead of waiting for a worker that is slow to wake or
    // shares the caller's processor; otherwise as wait().
    JobEnd wait_or_withdraw();

private:
    Worker* worker_ = nullptr;  // while running
    std::uint32_t ticket_ = 0;  // the job's number on that worker
    bool waited_ = false;
    JobEnd end_ = JobEnd::withdrawn;
};

// Runs `elsewhere` on a worker while the caller runs `here`, and returns once
// both have ended (rethrowing what either threw). When no worker is free, or
// none has begun `elsewhere` by the time `here` has ended, or the job was
// lost in a fork, the caller runs `elsewhere` after `here`: it must give the
// same result when run again after a partial run.
void run_alongside(const std::function<void()>& elsewhere, const std::function<void()>& here);

// Runs `job` on a worker without waiting for it, for work whose end nobody
// needs to see (releasing a replaced file), or on the calling thread when no
// worker is free or the process is exiting. The job must not throw.
void run_in_background(std::function<void()> job);

// Waits until every job passed to run_in_background has ended. Returns at
// once when there is none; in a forked child, jobs the parent had running
// are not waited for (they do not exist there). Not for use inside a job.
// It also runs when the process exits, so that no job outlives the static
// objects it may use.
void wait_for_background_jobs() noexcept;

}  // namespace kyr
