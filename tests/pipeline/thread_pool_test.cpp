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

TEST(ThreadPool, PassesFromTwoThreadsTakeTurns) {
    auto pool = ThreadPool::shared(3);
    constexpr int kPasses = 200, kTasks = 16;
    std::atomic<int> current{-1};
    std::atomic<int> overlaps{0};
    std::vector<std::atomic<int>> runs(2 * kPasses * kTasks), done(2 * kPasses);
    auto caller = [&](int who) {
        for (int p = 0; p < kPasses; ++p) {
            const int pass = who * kPasses + p;
            pool->run(kTasks, [&, pass](int task, int) {
                // Taking turns, the pass before this one has finished every task.
                const int before = current.exchange(pass);
                if (before >= 0 && before != pass && done[size_t(before)].load() != kTasks) ++overlaps;
                ++runs[size_t(pass) * kTasks + task];
                // Long enough for the other thread's pass to arrive meanwhile.
                const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(50);
                while (std::chrono::steady_clock::now() < until) {
                }
                ++done[size_t(pass)];
            });
        }
    };
    std::thread other(caller, 1);
    caller(0);
    other.join();
    EXPECT_EQ(overlaps.load(), 0);
    int wrong = 0;
    for (auto& r : runs) wrong += r.load() != 1;
    EXPECT_EQ(wrong, 0);
}
