#include "pool.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace morvo {
namespace {

using namespace std::chrono_literals;

std::string threadName() {
  char name[16] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return name;
}

std::set<std::string> taskNames() {
  std::set<std::string> names;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string name;
    if (std::getline(comm, name)) names.insert(name);
  }
  closedir(dir);
  return names;
}

size_t taskCount() {
  size_t count = 0;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return 0;
  while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
  closedir(dir);
  return count;
}

// Runs fn on a thread of its own; a hang (a deadlock in the pool) ends the
// test binary with a message instead of stalling the whole run.
void finishesWithin(std::chrono::seconds limit, std::function<void()> fn) {
  auto done = std::async(std::launch::async, std::move(fn));
  if (done.wait_for(limit) != std::future_status::ready) {
    std::fprintf(stdout, "pool work did not finish within %lld s: deadlock\n", static_cast<long long>(limit.count()));
    std::fflush(stdout);
    std::_Exit(1);
  }
  done.get();
}

// Counts how often every index is visited and checks each piece's bounds.
struct Coverage {
  explicit Coverage(size_t n) : hits(n) {}
  std::vector<std::atomic<int>> hits;
  std::atomic<bool> badPiece{false};
  void visit(size_t begin, size_t end) {
    if (begin >= end || end > hits.size()) badPiece = true;
    for (size_t i = begin; i < end && i < hits.size(); ++i) hits[i].fetch_add(1, std::memory_order_relaxed);
  }
  bool exactlyOnce() const {
    for (const auto& hit : hits) {
      if (hit.load() != 1) return false;
    }
    return !badPiece;
  }
};

// oneTBB writes its warnings to stderr; every pool test captures fd 2 and
// fails if anything was written there.
class QuietPool : public ::testing::Test {
 protected:
  void SetUp() override {
    std::fflush(stderr);
    capture = std::tmpfile();
    ASSERT_NE(capture, nullptr);
    saved = dup(2);
    ASSERT_GE(saved, 0);
    ASSERT_GE(dup2(fileno(capture), 2), 0);
  }
  void TearDown() override {
    removePool();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::rewind(capture);
    std::string written;
    for (int c; (c = std::fgetc(capture)) != EOF;) written.push_back(static_cast<char>(c));
    std::fclose(capture);
    EXPECT_EQ(written, "") << "the thread library wrote to stderr";
  }

  std::FILE* capture = nullptr;
  int saved = -1;
};

class ParallelForSizes : public QuietPool, public ::testing::WithParamInterface<std::tuple<size_t, size_t>> {};

TEST_P(ParallelForSizes, CoversEveryIndexExactlyOnce) {
  auto [threads, n] = GetParam();
  Pool pool(threads);
  Coverage coverage(n);
  finishesWithin(60s, [&] { pool.parallelFor(n, [&](size_t b, size_t e) { coverage.visit(b, e); }); });
  EXPECT_TRUE(coverage.exactlyOnce());
}

INSTANTIATE_TEST_SUITE_P(Grid, ParallelForSizes,
                         ::testing::Combine(::testing::Values(1, 2, 5),
                                            ::testing::Values(0, 1, 255, 256, 100000)));

TEST_F(QuietPool, WorkersAreNamedBySlotAndOutsideCallerOnlyWaits) {
  std::string callerName = threadName();
  Pool pool(2);
  std::mutex lock;
  std::set<std::string> ranOn;
  std::set<pid_t> ranTids;
  std::atomic<int> arrived{0};
  finishesWithin(60s, [&] {
    pool.parallelFor(2, [&](size_t, size_t) {
      // Both pieces wait for each other, so both workers must be running.
      arrived.fetch_add(1);
      auto deadline = std::chrono::steady_clock::now() + 20s;
      while (arrived.load() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
      std::lock_guard guard(lock);
      ranOn.insert(threadName());
      ranTids.insert(gettid());
    });
  });
  EXPECT_EQ(arrived.load(), 2);
  EXPECT_EQ(ranOn, (std::set<std::string>{"morvo-mask-0", "morvo-mask-1"}));
  std::set<std::string> names = taskNames();
  EXPECT_TRUE(names.count("morvo-mask-0") && names.count("morvo-mask-1"));
  EXPECT_EQ(threadName(), callerName) << "the calling thread was renamed";
  EXPECT_EQ(ranTids.count(gettid()), 0u) << "an outside caller took part in the work";
}

// Nested use: a body on one pool runs a map on the same pool (it must run in
// place: with one worker a second hand-off would wait on itself) or on
// another pool (the worker must not wait on a pool that cannot run).
class NestedParallelFor : public QuietPool, public ::testing::WithParamInterface<std::tuple<size_t, bool>> {};

TEST_P(NestedParallelFor, CompletesOnPoolThreads) {
  auto [threads, samePool] = GetParam();
  Pool outer(threads);
  Pool other(threads);
  Pool& inner = samePool ? outer : other;
  constexpr size_t OUTER = 6;
  constexpr size_t INNER = 2000;
  Coverage coverage(OUTER * INNER);
  std::atomic<bool> offPool{false};
  finishesWithin(60s, [&] {
    outer.parallelFor(OUTER, [&](size_t b, size_t e) {
      for (size_t o = b; o < e; ++o) {
        inner.parallelFor(INNER, [&, o](size_t ib, size_t ie) {
          if (threadName().rfind("morvo-mask-", 0) != 0) offPool = true;
          coverage.visit(o * INNER + ib, o * INNER + ie);
        });
      }
    });
  });
  EXPECT_TRUE(coverage.exactlyOnce());
  EXPECT_FALSE(offPool) << "nested work ran outside the pools' threads";
}

INSTANTIATE_TEST_SUITE_P(Grid, NestedParallelFor,
                         ::testing::Combine(::testing::Values(1, 2, 4), ::testing::Bool()));

TEST_F(QuietPool, BodyExceptionReachesCallerAndPoolStaysUsable) {
  Pool pool(2);
  auto throwing = [](size_t b, size_t e) {
    if (b <= 77 && 77 < e) throw std::runtime_error("piece 77 failed");
  };
  finishesWithin(60s, [&] {
    EXPECT_THROW(
        {
          try {
            pool.parallelFor(1000, throwing);
          } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "piece 77 failed");
            throw;
          }
        },
        std::runtime_error);
    // The same from inside a worker of the pool.
    EXPECT_THROW(pool.parallelFor(3, [&](size_t, size_t) { pool.parallelFor(1000, throwing); }), std::runtime_error);
    Coverage coverage(500);
    pool.parallelFor(500, [&](size_t b, size_t e) { coverage.visit(b, e); });
    EXPECT_TRUE(coverage.exactlyOnce());
  });
}

TEST_F(QuietPool, PublishedCountFollowsReplaceAndRemove) {
  EXPECT_EQ(currentThreads(), 1u);
  EXPECT_EQ(takePool(), nullptr);
  ASSERT_EQ(replacePool(4), std::nullopt);
  EXPECT_EQ(currentThreads(), 4u);
  ASSERT_EQ(replacePool(0), std::nullopt);
  EXPECT_EQ(currentThreads(), 1u);
  EXPECT_NE(takePool(), nullptr) << "a requested count below 1 still builds a pool";
  removePool();
  EXPECT_EQ(currentThreads(), 1u);
  EXPECT_EQ(takePool(), nullptr);
}

TEST_F(QuietPool, HandleTakenBeforeReplaceKeepsWorkingAndEndsWithLastHandle) {
  ASSERT_EQ(replacePool(2), std::nullopt);
  PoolHandle old = takePool();
  std::weak_ptr<Pool> watch = old;
  ASSERT_EQ(replacePool(3), std::nullopt);
  EXPECT_EQ(currentThreads(), 3u);
  EXPECT_EQ(old->size(), 2u);
  EXPECT_NE(takePool(), old) << "replace kept the old pool published";
  Coverage coverage(10000);
  finishesWithin(60s, [&] { old->parallelFor(10000, [&](size_t b, size_t e) { coverage.visit(b, e); }); });
  EXPECT_TRUE(coverage.exactlyOnce());
  old.reset();
  EXPECT_TRUE(watch.expired()) << "a replaced pool outlived its last handle";
}

TEST_F(QuietPool, CountCapsAt65535WithoutStartingThatManyThreads) {
  size_t before = taskCount();
  ASSERT_EQ(replacePool(70000), std::nullopt);
  EXPECT_EQ(currentThreads(), 65535u);
  EXPECT_EQ(takePool()->size(), 65535u);
  EXPECT_LT(taskCount(), before + 64);
  Coverage coverage(300);
  finishesWithin(60s, [&] { takePool()->parallelFor(300, [&](size_t b, size_t e) { coverage.visit(b, e); }); });
  EXPECT_TRUE(coverage.exactlyOnce());
  removePool();
  EXPECT_EQ(currentThreads(), 1u);
}

// Pools alive at once (a replaced pool still serving a call next to its
// successor), used concurrently and destroyed in either order.
class PoolsAliveTogether : public QuietPool, public ::testing::WithParamInterface<bool> {};

TEST_P(PoolsAliveTogether, WorkAndEndInAnyOrder) {
  bool smallFirst = GetParam();
  auto small = std::make_unique<Pool>(3);
  auto large = std::make_unique<Pool>(9);
  Coverage a(50000), b(50000);
  finishesWithin(60s, [&] {
    std::thread other([&] { large->parallelFor(50000, [&](size_t x, size_t y) { b.visit(x, y); }); });
    small->parallelFor(50000, [&](size_t x, size_t y) { a.visit(x, y); });
    other.join();
  });
  EXPECT_TRUE(a.exactlyOnce());
  EXPECT_TRUE(b.exactlyOnce());
  if (smallFirst) small.reset();
  large.reset();
  small.reset();
  // A pool built after both ended still works.
  Pool again(5);
  Coverage c(1000);
  finishesWithin(60s, [&] { again.parallelFor(1000, [&](size_t x, size_t y) { c.visit(x, y); }); });
  EXPECT_TRUE(c.exactlyOnce());
}

INSTANTIATE_TEST_SUITE_P(Order, PoolsAliveTogether, ::testing::Bool());

TEST_F(QuietPool, ConcurrentTakeReplaceAndUseStayConsistent) {
  std::atomic<bool> stop{false};
  std::atomic<bool> wrong{false};
  std::vector<std::thread> threads;
  for (int w = 0; w < 2; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < 40; ++i) {
        if ((i + w) % 5 == 0) {
          removePool();
        } else if (replacePool(2 + (i + w) % 3)) {
          wrong = true;
        }
      }
    });
  }
  for (int r = 0; r < 3; ++r) {
    threads.emplace_back([&] {
      while (!stop) {
        uint64_t count = currentThreads();
        if (count < 1 || count > 4) wrong = true;
        if (PoolHandle pool = takePool()) {
          Coverage coverage(400);
          pool->parallelFor(400, [&](size_t b, size_t e) { coverage.visit(b, e); });
          if (!coverage.exactlyOnce()) wrong = true;
        }
      }
    });
  }
  finishesWithin(120s, [&] {
    threads[0].join();
    threads[1].join();
    stop = true;
    for (size_t t = 2; t < threads.size(); ++t) threads[t].join();
  });
  EXPECT_FALSE(wrong);
}

}  // namespace
}  // namespace morvo

namespace morvo {
namespace {

// A thread still taking and using the pool while the process exits (a Python
// daemon thread outside the interpreter lock) must not meet a freed pool.
TEST(PoolDeathTest, ExitWhileAnotherThreadTakesThePoolIsClean) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        alarm(30);  // a hang at exit fails by signal instead of stalling the run
        if (replacePool(3)) std::_Exit(2);
        std::thread([] {
          while (true) {
            if (PoolHandle pool = takePool()) pool->parallelFor(64, [](size_t, size_t) {});
          }
        }).detach();
        std::this_thread::sleep_for(50ms);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace morvo
