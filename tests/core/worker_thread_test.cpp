// The parked helper thread: where jobs run, what they see, one at a time,
// and a forked child that gets a helper of its own.
#include "core/worker_thread.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <semaphore>
#include <stdexcept>
#include <thread>

namespace kyr {
namespace {

TEST(WorkerThread, RunsJobsElsewhereWithSignalsBlocked) {
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
        job.wait();
        EXPECT_NE(ran_on, std::this_thread::get_id());
        EXPECT_TRUE(all_blocked);
    }
}

TEST(WorkerThread, WaitRethrowsWhatTheJobThrew) {
    WorkerJob job([] { throw std::runtime_error("from the job"); });
    ASSERT_TRUE(job.running());
    EXPECT_THROW(job.wait(), std::runtime_error);
    WorkerJob next([] {});
    EXPECT_TRUE(next.running());
}

TEST(WorkerThread, SecondCallerDoesItsOwnWorkWhileTheWorkerIsBusy) {
    std::binary_semaphore release{0};
    WorkerJob first([&] { release.acquire(); });
    ASSERT_TRUE(first.running());
    bool ran = false;
    {
        WorkerJob second([&] { ran = true; });
        EXPECT_FALSE(second.running());
    }
    EXPECT_FALSE(ran);
    release.release();
    first.wait();
    WorkerJob third([&] { ran = true; });
    EXPECT_TRUE(third.running());
    third.wait();
    EXPECT_TRUE(ran);
}

TEST(WorkerThread, BackToBackJobsAreNeitherLostNorRunTwice) {
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
            // The worker has yet to skip a withdrawn job.
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the worker stays busy";
            std::this_thread::yield();
            --round;
            continue;
        }
        if (round % 2 == 0) {
            job.wait();
            ++reported;
        } else if (job.wait_or_withdraw()) {
            ++reported;
        } else {
            ++withdrawn;
        }
        if (round % 1000 == 999) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(ran.load(), reported) << withdrawn << " withdrawn";
    EXPECT_EQ(reported + withdrawn, 20000);
}

TEST(WorkerThread, OnOneProcessorTheCallerDoesItsOwnWork) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);
        if (sched_setaffinity(0, sizeof one, &one) != 0) {
            _exit(2);
        }
        WorkerJob job([] {});
        _exit(job.running() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(WorkerThread, ForkedChildStartsItsOwnWorker) {
    WorkerJob warm_up([] {});
    ASSERT_TRUE(warm_up.running());
    warm_up.wait();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(10);  // a child waiting for its parent's thread would hang
        std::atomic<bool> ran{false};
        WorkerJob job([&] { ran = true; });
        job.wait();
        _exit(job.running() && ran ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(WorkerThread, WaitForBackgroundJobsWaitsForTheirEnd) {
    // The job runs on the worker or, when it cannot, on the posting thread;
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
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(10);
        wait_for_background_jobs();
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
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

}  // namespace
}  // namespace kyr
