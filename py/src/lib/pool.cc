#include "pool.h"

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <utility>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_scheduler_observer.h>

namespace morvo {
namespace {

// Linux keeps at most 15 bytes of a thread name; longer names are cut there
// rather than left unset, so every masking thread still shows the prefix.
constexpr size_t THREAD_NAME_LIMIT = 15;
constexpr const char* THREAD_NAME_PREFIX = "morvo-mask-";

// oneTBB has one process-wide worker limit, which defaults to the core count
// and warns on stderr when an arena asks for more. When several limits are
// alive the smallest wins, so pools cannot each hold their own: one limit is
// kept at the total of all live pools (a replaced pool may still be busy with
// a call while its successor serves another), plus the one outside thread
// the library counts in.
struct WorkerLimit {
  std::mutex lock;
  uint64_t total = 0;
  std::unique_ptr<tbb::global_control> control;
};

// Never destroyed: a pool kept alive by a straggling call may end after
// static destruction has begun.
WorkerLimit& workerLimit() {
  static WorkerLimit* limit = new WorkerLimit;
  return *limit;
}

void setWorkerLimit(WorkerLimit& limit) {
  // The new limit is created before the old one goes, so the library never
  // falls back to its default in between.
  std::unique_ptr<tbb::global_control> next;
  if (limit.total > 0) {
    size_t allowed = static_cast<size_t>(std::min<uint64_t>(limit.total, MAX_THREADS) + 1);
    next = std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism, allowed);
  }
  limit.control = std::move(next);
}

void claimWorkers(size_t threads) {
  WorkerLimit& limit = workerLimit();
  std::lock_guard guard(limit.lock);
  limit.total += threads;
  setWorkerLimit(limit);
}

void releaseWorkers(size_t threads) {
  WorkerLimit& limit = workerLimit();
  std::lock_guard guard(limit.lock);
  limit.total -= threads;
  setWorkerLimit(limit);
}

// The pool that runs the body on this thread right now, so that nested use
// can tell its own pool's workers from outsiders.
thread_local const Pool* runningPool = nullptr;

struct RunningPool {
  const Pool* outer;
  explicit RunningPool(const Pool* pool) : outer(std::exchange(runningPool, pool)) {}
  ~RunningPool() { runningPool = outer; }
  RunningPool(const RunningPool&) = delete;
  RunningPool& operator=(const RunningPool&) = delete;
};

// Names each worker after its slot in the arena when it enters. Workers are
// shared by all arenas of the process, so a worker takes the name of the
// pool it last served. Threads that are not workers are never renamed.
struct WorkerNames final : tbb::task_scheduler_observer {
  explicit WorkerNames(tbb::task_arena& arena) : tbb::task_scheduler_observer(arena) { observe(true); }
  ~WorkerNames() override { observe(false); }
  void on_scheduler_entry(bool isWorker) override {
    if (!isWorker) return;
    int slot = tbb::this_task_arena::current_thread_index();
    if (slot < 0) return;
    std::string name = THREAD_NAME_PREFIX + std::to_string(slot);
    name.resize(std::min(name.size(), THREAD_NAME_LIMIT));
    pthread_setname_np(pthread_self(), name.c_str());
  }
};

// An outside caller's hand-off to the workers. The task may still be queued
// when enqueueing fails, so the caller and the task agree under the lock
// whether the body may run at all.
struct Handoff {
  std::mutex lock;
  std::condition_variable changed;
  bool started = false;
  bool abandoned = false;
  bool done = false;
  std::exception_ptr error;
};

}  // namespace

struct Pool::Parts {
  tbb::task_arena arena;
  std::optional<WorkerNames> names;

  // No slot is reserved for outside threads: they hand work over and wait.
  // Initialising here, not on first use, makes a failure show while building.
  explicit Parts(size_t threads) : arena(static_cast<int>(threads), 0) {
    arena.initialize();
    names.emplace(arena);
  }
};

Pool::Pool(size_t threads) : threads_(std::clamp<size_t>(threads, 1, MAX_THREADS)) {
  claimWorkers(threads_);
  try {
    parts_ = std::make_unique<Parts>(threads_);
  } catch (...) {
    releaseWorkers(threads_);
    throw;
  }
}

Pool::~Pool() {
  // The arena's workers leave once idle; nobody waits for them.
  parts_.reset();
  releaseWorkers(threads_);
}

void Pool::parallelFor(size_t n, const std::function<void(size_t, size_t)>& body) {
  if (n == 0) return;
  auto split = [this, n, &body] {
    tbb::parallel_for(tbb::blocked_range<size_t>(0, n), [this, &body](const tbb::blocked_range<size_t>& range) {
      RunningPool running(this);
      body(range.begin(), range.end());
    });
  };

  if (runningPool == this) {
    // Already on one of our workers: take part here. Isolation keeps this
    // thread on the nested work while it waits, instead of picking up an
    // unrelated outer piece that would delay the return.
    tbb::this_task_arena::isolate(split);
    return;
  }
  if (runningPool != nullptr) {
    // A worker of another pool joins this arena if a slot is free, else it
    // waits for the delegated work; either way it cannot wait on workers
    // that are all blocked behind it.
    parts_->arena.execute(split);
    return;
  }

  auto handoff = std::make_shared<Handoff>();
  auto task = [handoff, &split] {
    {
      std::lock_guard guard(handoff->lock);
      if (handoff->abandoned) return;
      handoff->started = true;
    }
    std::exception_ptr error;
    try {
      split();
    } catch (...) {
      error = std::current_exception();
    }
    // Notified under the lock, so the waiter cannot see `done` and leave
    // before this thread is finished with the hand-off.
    std::lock_guard guard(handoff->lock);
    handoff->error = std::move(error);
    handoff->done = true;
    handoff->changed.notify_all();
  };
  try {
    parts_->arena.enqueue(task);
  } catch (...) {
    std::unique_lock guard(handoff->lock);
    if (!handoff->started) {
      handoff->abandoned = true;
      throw;
    }
    handoff->changed.wait(guard, [&] { return handoff->done; });
    throw;
  }
  std::unique_lock guard(handoff->lock);
  handoff->changed.wait(guard, [&] { return handoff->done; });
  if (handoff->error) std::rethrow_exception(handoff->error);
}

namespace {

// The process-wide pool: the lock is held only to copy or swap the handle.
struct PoolSlot {
  std::shared_mutex lock;
  PoolHandle handle;
};
// Never destroyed: a thread still running at exit (a Python daemon thread
// that has released the interpreter lock) may take the pool while static
// destructors run, and must not find it freed.
PoolSlot& POOL = *new PoolSlot;

}  // namespace

PoolHandle takePool() {
  std::shared_lock guard(POOL.lock);
  return POOL.handle;
}

void removePool() {
  PoolHandle old;
  {
    std::unique_lock guard(POOL.lock);
    old = std::move(POOL.handle);
  }
  // The old pool, if this was its last handle, ends here, outside the lock.
}

std::optional<std::string> replacePool(uint64_t requested) {
  PoolHandle fresh;
  try {
    fresh = std::make_shared<Pool>(static_cast<size_t>(std::clamp<uint64_t>(requested, 1, MAX_THREADS)));
  } catch (const std::exception& error) {
    return std::string(error.what());
  }
  PoolHandle old;
  {
    std::unique_lock guard(POOL.lock);
    old = std::exchange(POOL.handle, std::move(fresh));
  }
  return std::nullopt;
}

uint64_t currentThreads() {
  std::shared_lock guard(POOL.lock);
  return POOL.handle ? POOL.handle->size() : 1;
}

}  // namespace morvo
