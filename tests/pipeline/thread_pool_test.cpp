// One pool of threads for the whole program: renderers share it, passes from two threads take
// turns, and a pass started inside a job runs on that job's thread instead of waiting forever.
#include "pipeline/engine/Renderer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

using namespace ostrela::engine;

TEST(ThreadPool, RenderersOfOneSizeShareOnePool) {
    auto a = ThreadPool::shared(2), b = ThreadPool::shared(2), c = ThreadPool::shared(3);
    EXPECT_EQ(a.get(), b.get());
    EXPECT_NE(a.get(), c.get());
    EXPECT_EQ(a->size(), 2);
    EXPECT_EQ(c->size(), 3);
    Renderer r1(2), r2(2);
    EXPECT_EQ(r1.threadCount(), 2);
    EXPECT_EQ(r2.threadCount(), 2);
}

TEST(ThreadPool, PassStartedInsideAJobRunsOnThatThread) {
    auto pool = ThreadPool::shared(3);
    std::atomic<int> inner{0};
    std::atomic<int> foreign{0};
    pool->run(6, [&](int, int) {
        const auto self = std::this_thread::get_id();
        pool->run(5, [&](int, int worker) {
            if (std::this_thread::get_id() != self || worker != 0) ++foreign;
            ++inner;
        });
    });
    EXPECT_EQ(inner.load(), 30);
    EXPECT_EQ(foreign.load(), 0);
}

TEST(ThreadPool, PassesFromTwoThreadsEachRunEveryTaskOnce) {
    auto pool = ThreadPool::shared(3);
    constexpr int kPasses = 200, kTasks = 16;
    std::vector<std::atomic<int>> runs(2 * kPasses * kTasks);
    auto caller = [&](int who) {
        for (int p = 0; p < kPasses; ++p) {
            const int pass = who * kPasses + p;
            pool->run(kTasks, [&, pass](int task, int) {
                ++runs[size_t(pass) * kTasks + task];
                // Long enough for the other thread's pass to arrive meanwhile.
                const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(20);
                while (std::chrono::steady_clock::now() < until) {
                }
            });
        }
    };
    std::thread other(caller, 1);
    caller(0);
    other.join();
    int wrong = 0;
    for (auto& r : runs) wrong += r.load() != 1;
    EXPECT_EQ(wrong, 0);
}

// A frame's pass whose job waits for a lock held by a thread that asks the pool for a pass of its
// own (a look building its graph while another renders) must not deadlock.
TEST(ThreadPool, BusyPoolDoesNotDeadlockAgainstTheCallersLocks) {
    auto pool = ThreadPool::shared(2);
    std::mutex held;
    std::atomic<bool> jobStarted{false}, lockTaken{false};
    std::atomic<int> innerTasks{0};
    std::thread other([&] {
        while (!jobStarted.load()) std::this_thread::yield();
        std::lock_guard hold(held);
        lockTaken = true;
        const auto self = std::this_thread::get_id();
        pool->run(4, [&](int, int) {
            if (std::this_thread::get_id() == self) ++innerTasks;
        });
    });
    pool->run(2, [&](int task, int) {
        if (task != 0) return;
        jobStarted = true;
        while (!lockTaken.load()) std::this_thread::yield();
        std::lock_guard wait(held);  // free only once the other thread's pass is done
    });
    other.join();
    EXPECT_EQ(innerTasks.load(), 4);
}
