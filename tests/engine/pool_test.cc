#include "pool.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <numeric>
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

// The names in /proc/self/task/*/comm, one entry per thread.
std::multiset<std::string> taskNames() {
  std::multiset<std::string> names;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::string name;
    std::getline(std::ifstream(task.path() / "comm"), name);
    names.insert(name);
  }
  return names;
}

// Runs fn on a thread of its own; a deadlock ends the binary instead of stalling the run.
void finishesWithin(std::function<void()> fn) {
  auto done = std::async(std::launch::async, std::move(fn));
  if (done.wait_for(120s) != std::future_status::ready) {
    std::fputs("pool work did not finish within 120 s: deadlock\n", stdout);
    std::fflush(stdout);
    std::_Exit(1);
  }
  done.get();
}

// Counts visits per index and flags empty or out-of-range pieces.
struct Coverage {
  explicit Coverage(size_t n) : hits(n) {}
  std::vector<std::atomic<int>> hits;
  std::atomic<bool> badPiece{false};
  void visit(size_t b, size_t e) {
    if (b >= e || e > hits.size()) badPiece = true;
    for (size_t i = b; i < e && i < hits.size(); ++i) hits[i].fetch_add(1, std::memory_order_relaxed);
  }
  bool exactlyOnce() const {
    return !badPiece && std::all_of(hits.begin(), hits.end(), [](const auto& hit) { return hit.load() == 1; });
  }
  bool runOn(Pool& pool) {
    pool.parallelFor(hits.size(), [this](size_t b, size_t e) { visit(b, e); });
    return exactlyOnce();
  }
};

// Fails any test after which oneTBB (or anything else) wrote to stderr.
class QuietPool : public ::testing::Test {
 protected:
  void SetUp() override { ::testing::internal::CaptureStderr(); }
  void TearDown() override {
    removePool();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "something wrote to stderr";
  }
};

// Straight from an outside caller, or nested in a body of a pool running the map
// on the same pool (must run in place: with one worker a second hand-off would
// wait on itself) or on another pool.
enum class Nesting { None, SamePool, OtherPool };
class ParallelForGrid : public QuietPool, public ::testing::WithParamInterface<std::tuple<size_t, size_t, Nesting>> {};

TEST_P(ParallelForGrid, CoversEveryIndexExactlyOnce) {
  auto [threads, n, nesting] = GetParam();
  Pool outer(threads), other(threads);
  Pool& inner = nesting == Nesting::OtherPool ? other : outer;
  constexpr size_t OUTER = 6;
  Coverage coverage(nesting == Nesting::None ? n : OUTER * n);
  finishesWithin([&] {
    if (nesting == Nesting::None) return outer.parallelFor(n, [&](size_t b, size_t e) { coverage.visit(b, e); });
    outer.parallelFor(OUTER, [&](size_t b, size_t e) {
      for (size_t o = b; o < e; ++o)
        inner.parallelFor(n, [&, o](size_t ib, size_t ie) { coverage.visit(o * n + ib, o * n + ie); });
    });
  });
  EXPECT_TRUE(coverage.exactlyOnce());
}

INSTANTIATE_TEST_SUITE_P(Grid, ParallelForGrid,
                         ::testing::Combine(::testing::Values(1, 2, 5), ::testing::Values(0, 1, 255, 256, 100000),
                                            ::testing::Values(Nesting::None, Nesting::SamePool, Nesting::OtherPool)));

TEST_F(QuietPool, WorkersAreNamedBySlotAndOutsideCallerOnlyWaits) {
  Pool pool(2);
  std::string ranOn[2];
  std::atomic<int> arrived{0};
  finishesWithin([&] {
    pthread_setname_np(pthread_self(), "caller");
    pool.parallelFor(2, [&](size_t b, size_t) {
      // Both pieces wait for each other, so both workers must be running.
      arrived.fetch_add(1);
      for (auto end = std::chrono::steady_clock::now() + 20s; arrived < 2 && std::chrono::steady_clock::now() < end;)
        std::this_thread::yield();
      ranOn[b] = threadName();  // "caller" if the outside caller took part
    });
    EXPECT_EQ(threadName(), "caller") << "the calling thread was renamed";
  });
  EXPECT_EQ(std::set<std::string>(ranOn, ranOn + 2), (std::set<std::string>{"morvo-mask-0", "morvo-mask-1"}));
  auto names = taskNames();
  EXPECT_TRUE(names.count("morvo-mask-0") && names.count("morvo-mask-1"));
}

TEST_F(QuietPool, BodyExceptionReachesCallerAndPoolStaysUsable) {
  Pool pool(2);
  auto throwing = [](size_t b, size_t e) {
    if (b <= 77 && 77 < e) throw std::runtime_error("piece 77 failed");
  };
  auto thrown = [](auto run) -> std::string {
    try { run(); } catch (const std::runtime_error& error) { return error.what(); }
    return "nothing thrown";
  };
  finishesWithin([&] {
    EXPECT_EQ(thrown([&] { pool.parallelFor(1000, throwing); }), "piece 77 failed");
    // The same from inside a worker of the pool.
    EXPECT_EQ(thrown([&] { pool.parallelFor(3, [&](size_t, size_t) { pool.parallelFor(1000, throwing); }); }),
              "piece 77 failed");
    Coverage coverage(500);
    EXPECT_TRUE(coverage.runOn(pool));
  });
}

// Pieces are at least `grain` long (but the last), and a call starts no more
// workers than it has pieces: a pool of 65535 masking 300 values in pieces of
// 64 runs on 5 threads, not thousands.
TEST_F(QuietPool, PiecesHonourTheGrainAndWorkersStartOnlyAsNeeded) {
  size_t before = taskNames().size();
  Pool pool(MAX_THREADS);
  std::mutex lock;
  std::vector<size_t> lengths;
  finishesWithin([&] {
    pool.parallelFor(300, [&](size_t b, size_t e) {
      std::lock_guard guard(lock);
      lengths.push_back(e - b);
    }, 64);
  });
  std::sort(lengths.begin(), lengths.end());
  ASSERT_FALSE(lengths.empty());
  EXPECT_EQ(std::accumulate(lengths.begin(), lengths.end(), size_t{0}), 300u);
  EXPECT_TRUE(std::all_of(lengths.begin() + 1, lengths.end(), [](size_t n) { return n >= 64; }));
  EXPECT_LE(taskNames().size(), before + 5);
}

// Count published for a request (70000 capped without starting the threads);
// a handle taken before the replacement keeps its pool until dropped.
class PublishedPool : public QuietPool, public ::testing::WithParamInterface<std::pair<uint64_t, uint64_t>> {};

TEST_P(PublishedPool, CountFollowsReplaceAndRemove) {
  auto [requested, count] = GetParam();
  ASSERT_EQ(replacePool(2), std::nullopt);
  PoolHandle old = takePool();
  std::weak_ptr<Pool> watch = old;
  size_t before = taskNames().size();
  ASSERT_EQ(replacePool(requested), std::nullopt);
  EXPECT_LT(taskNames().size(), before + 64);
  EXPECT_EQ(currentThreads(), count);
  ASSERT_NE(takePool(), old) << "replace kept the old pool published";
  EXPECT_EQ(old->size(), 2u);
  Coverage fresh(300), kept(10000);
  // The old pool first: after the 65535-worker pool has run it stalls for seconds.
  finishesWithin([&] { EXPECT_TRUE(kept.runOn(*old) && fresh.runOn(*takePool())); });
  removePool();
  EXPECT_EQ(currentThreads(), 1u);
  EXPECT_EQ(takePool(), nullptr);
  old.reset();
  EXPECT_TRUE(watch.expired()) << "a replaced pool outlived its last handle";
}

INSTANTIATE_TEST_SUITE_P(Counts, PublishedPool, ::testing::Values(std::pair{0ul, 1ul}, std::pair{4ul, 4ul},
                                                                  std::pair{70000ul, 65535ul}));

TEST_F(QuietPool, ConcurrentTakeReplaceAndUseStayConsistent) {
  std::atomic<bool> stop{false}, wrong{false};
  auto replacer = [&](int w) {
    for (int i = 0; i < 40; ++i) {
      if ((i + w) % 5 == 0) removePool();
      else if (replacePool(2 + (i + w) % 3)) wrong = true;
    }
  };
  auto user = [&] {
    while (!stop) {
      if (uint64_t count = currentThreads(); count < 1 || count > 4) wrong = true;
      Coverage coverage(400);
      if (PoolHandle pool = takePool(); pool && !coverage.runOn(*pool)) wrong = true;
    }
  };
  finishesWithin([&] {
    std::thread users[] = {std::thread(user), std::thread(user), std::thread(user)};
    std::thread other(replacer, 1);
    replacer(0);
    other.join();
    stop = true;
    for (auto& t : users) t.join();
  });
  EXPECT_FALSE(wrong);
}

// Regression: a thread still taking and using the pool while the process exits
// (a Python daemon thread outside the interpreter lock) must not meet a freed pool.
TEST(PoolDeathTest, ExitWhileAnotherThreadTakesThePoolIsClean) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        alarm(30);  // a hang at exit fails by signal instead of stalling the run
        if (replacePool(3)) std::_Exit(2);
        std::thread([] {
          for (;;)
            if (PoolHandle pool = takePool()) pool->parallelFor(64, [](size_t, size_t) {});
        }).detach();
        std::this_thread::sleep_for(50ms);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace morvo
