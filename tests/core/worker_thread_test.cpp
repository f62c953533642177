// The parked workers: where jobs run, what they see, how a busy worker is
// freed, what a forked child knows about jobs its parent posted, and many
// callers at once. On one processor no job runs on a worker: the tests of
// workers then check only that the callers do their own work.
#include "core/worker_thread.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <semaphore>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/core/processors.hpp"

namespace kyr {
namespace {

#define SKIP_ON_ONE_PROCESSOR()                                       \
    if (!workers_can_run()) {                                         \
        GTEST_SKIP() << "one processor: jobs run on their callers";   \
    }

// Runs `body` in a forked child and expects it to exit with 0.
template <class Body>
void expect_child_succeeds(Body body) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(10);  // a child waiting for its parent's thread would hang
        _exit(body() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Every worker held by a job that blocks until released.
class AllWorkersHeld {
public:
    AllWorkersHeld() {
        for (auto& job : jobs_) {
            job.emplace([this] { release_.acquire(); });
        }
    }
    ~AllWorkersHeld() {
        release_.release(worker_count);
        for (auto& job : jobs_) {
            job->wait();
        }
    }
    std::size_t running() const {
        std::size_t count = 0;
        for (const auto& job : jobs_) {
            count += job->running();
        }
        return count;
    }

private:
    std::counting_semaphore<worker_count> release_{0};
    std::array<std::optional<WorkerJob>, worker_count> jobs_;
};

TEST(WorkerThread, RunsJobsElsewhereWithSignalsBlocked) {
    SKIP_ON_ONE_PROCESSOR();
    for (int round = 0; round < 3; ++round) {
        std::thread::id ran_on;
        bool all_blocked = false;
        WorkerJob job([&] {
            ran_on = std::this_thread::get_id();
            sigset_t mask;
            pthread_sigmask(SIG_SETMASK, nullptr, &mask);
            all_blocked = sigismember(&mask, SIGINT) == 1 && sigismember(&mask, SIGALRM) == 1;
        });
        ASSERT_TRUE(job.running());
        EXPECT_EQ(job.wait(), JobEnd::ran);
        EXPECT_NE(ran_on, std::this_thread::get_id());
        EXPECT_TRUE(all_blocked);
    }
}

TEST(WorkerThread, WaitRethrowsWhatTheJobThrewOnce) {
    SKIP_ON_ONE_PROCESSOR();
    // On each worker in turn: the failure is reported to its own caller
    // only, never again for a later job.
    for (std::size_t round = 0; round < 2 * worker_count; ++round) {
        WorkerJob failing([] { throw std::runtime_error("from the job"); });
        ASSERT_TRUE(failing.running());
        EXPECT_THROW(failing.wait(), std::runtime_error);
        WorkerJob next([] {});
        ASSERT_TRUE(next.running());
        EXPECT_NO_THROW(EXPECT_EQ(next.wait(), JobEnd::ran));
    }
}

TEST(WorkerThread, CallersDoTheirOwnWorkWhileEveryWorkerIsBusy) {
    bool ran = false;
    {
        AllWorkersHeld held;
        EXPECT_EQ(held.running(), workers_can_run() ? worker_count : 0);
        WorkerJob extra([&] { ran = true; });
        EXPECT_FALSE(extra.running());
        EXPECT_EQ(extra.wait_or_withdraw(), JobEnd::withdrawn);
    }
    EXPECT_FALSE(ran);
    WorkerJob later([&] { ran = true; });
    EXPECT_EQ(later.running(), workers_can_run());
    later.wait();
    EXPECT_EQ(ran, workers_can_run());
}

TEST(WorkerThread, BackgroundJobsFreeTheirWorker) {
    // Each worker runs background jobs in turn; once they have ended, every
    // worker takes a job again.
    std::atomic<int> ran{0};
    for (std::size_t round = 0; round < 3 * worker_count; ++round) {
        run_in_background([&] { ran.fetch_add(1); });
        wait_for_background_jobs();
    }
    EXPECT_EQ(ran.load(), static_cast<int>(3 * worker_count));
    const AllWorkersHeld held;
    EXPECT_EQ(held.running(), workers_can_run() ? worker_count : 0);
}

TEST(WorkerThread, BackToBackJobsAreNeitherLostNorRunTwice) {
    SKIP_ON_ONE_PROCESSOR();
    // Jobs posted while the worker still polls after the last one, and after
    // it has parked; every other one is withdrawn if the worker has not
    // begun it. A withdrawn job must never run, a waited one exactly once.
    std::atomic<int> ran{0};
    int reported = 0;
    int withdrawn = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (int round = 0; round < 20000; ++round) {
        WorkerJob job([&] { ran.fetch_add(1, std::memory_order_relaxed); });
        if (!job.running()) {
            // The workers have yet to skip withdrawn jobs.
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the workers stay busy";
            std::this_thread::yield();
            --round;
            continue;
        }
        const JobEnd end = round % 2 == 0 ? job.wait() : job.wait_or_withdraw();
        (end == JobEnd::ran ? reported : withdrawn) += 1;
        if (round % 1000 == 999) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    EXPECT_EQ(ran.load(), reported) << withdrawn << " withdrawn";
    EXPECT_EQ(reported + withdrawn, 20000);
}

TEST(WorkerThread, OnOneProcessorTheCallerDoesItsOwnWork) {
    expect_child_succeeds([] {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);
        if (sched_setaffinity(0, sizeof one, &one) != 0) {
            return false;
        }
        bool ran = false;
        run_alongside([&] { ran = true; }, [] {});
        WorkerJob job([] {});
        return ran && !job.running();
    });
}

TEST(WorkerThread, ForkedChildKnowsItsParentsJobsLost) {
    SKIP_ON_ONE_PROCESSOR();
    // One job finished before the fork but not yet waited for, one in the
    // middle of its work: in the child both are lost, neither is waited for
    // or withdrawn, and the child's own jobs run.
    std::atomic<bool> first_done{false};
    WorkerJob finished([&] { first_done = true; });
    std::binary_semaphore begun{0};
    std::binary_semaphore release{0};
    WorkerJob busy([&] {
        begun.release();
        release.acquire();
    });
    ASSERT_TRUE(finished.running() && busy.running());
    while (!first_done) {
        std::this_thread::yield();
    }
    begun.acquire();
    expect_child_succeeds([&] {
        if (!finished.lost() || !busy.lost()) {
            return false;
        }
        if (finished.wait() != JobEnd::lost || busy.wait_or_withdraw() != JobEnd::lost) {
            return false;
        }
        bool ran = false;
        run_alongside([&] { ran = true; }, [] {});
        std::atomic<bool> child_job{false};
        WorkerJob own([&] { child_job = true; });
        return ran && own.running() && own.wait() == JobEnd::ran && child_job && !own.lost();
    });
    EXPECT_FALSE(busy.lost());
    release.release();
    EXPECT_EQ(busy.wait(), JobEnd::ran);
    EXPECT_EQ(finished.wait(), JobEnd::ran);
}

TEST(WorkerThread, RunAlongsideRunsTheJobAgainWhenAForkLostIt) {
    SKIP_ON_ONE_PROCESSOR();
    // The fork comes while `here` runs and the worker is in `elsewhere`.
    std::binary_semaphore begun{0};
    std::binary_semaphore release{0};
    const pid_t parent = getpid();
    int here_pid = 0;
    std::atomic<int> runs{0};
    run_alongside(
        [&] {
            if (runs.fetch_add(1) == 0 && getpid() == parent) {
                begun.release();
                release.acquire();
            }
        },
        [&] {
            begun.acquire();
            here_pid = fork();
            if (here_pid == 0) {
                alarm(10);
            }
            release.release();
        });
    if (here_pid == 0) {
        _exit(runs == 2 ? 0 : 1);  // once in the parent's copy, once here
    }
    int status = 0;
    ASSERT_EQ(waitpid(here_pid, &status, 0), here_pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(runs.load(), 1);
}

TEST(WorkerThread, WaitForBackgroundJobsWaitsForTheirEnd) {
    // The job runs on a worker or, when it cannot, on the posting thread;
    // either way it is waited for, and a forked child waits for none.
    std::binary_semaphore started{0};
    std::binary_semaphore release{0};
    std::atomic<bool> ended{false};
    std::thread poster([&] {
        run_in_background([&] {
            started.release();
            release.acquire();
            ended = true;
        });
    });
    started.acquire();
    expect_child_succeeds([] {
        wait_for_background_jobs();
        return true;
    });
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        release.release();
    });
    wait_for_background_jobs();
    EXPECT_TRUE(ended);
    releaser.join();
    poster.join();
    wait_for_background_jobs();  // none left
}

TEST(WorkerThread, ExitWaitsForBackgroundJobs) {
    // A process that exits while a background job runs lets the job end
    // first, before static objects it may use are destroyed.
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(10);
        close(pipe_ends[0]);
        run_in_background([out = pipe_ends[1]] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const char done = 'x';
            (void)!write(out, &done, 1);
        });
        std::exit(0);
    }
    close(pipe_ends[1]);
    char done = 0;
    const ssize_t got = read(pipe_ends[0], &done, 1);  // 0 once the child is gone
    close(pipe_ends[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(got, 1) << "the job was cut off by the exit";
}

TEST(WorkerThread, ManyCallersPostWithdrawAndRunInBackgroundAtOnce) {
    // Several threads at once: waited jobs run exactly once, withdrawn ones
    // never, background jobs all end, and run_alongside runs both halves.
    // Short, for ThreadSanitizer to see every hand-over.
    constexpr int threads = 4;
    constexpr int rounds = 2000;
    std::atomic<int> ran{0};
    std::atomic<int> expected{0};
    std::atomic<int> background{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < threads; ++t) {
        callers.emplace_back([&, t] {
            for (int round = 0; round < rounds; ++round) {
                switch ((round + t) % 4) {
                case 0: {
                    WorkerJob job([&] { ran.fetch_add(1); });
                    if (job.wait() == JobEnd::ran) {
                        expected.fetch_add(1);
                    }
                    break;
                }
                case 1: {
                    WorkerJob job([&] { ran.fetch_add(1); });
                    if (job.wait_or_withdraw() == JobEnd::ran) {
                        expected.fetch_add(1);
                    }
                    break;
                }
                case 2:
                    run_in_background([&] { background.fetch_add(1); });
                    break;
                default: {
                    int sum = 0;
                    run_alongside([&] { sum += 1; }, [&] { ran.fetch_add(1); });
                    expected.fetch_add(1);
                    EXPECT_EQ(sum, 1);
                }
                }
            }
        });
    }
    for (auto& caller : callers) {
        caller.join();
    }
    wait_for_background_jobs();
    EXPECT_EQ(ran.load(), expected.load());
    EXPECT_EQ(background.load(), threads * rounds / 4);
}

}  // namespace
}  // namespace kyr
