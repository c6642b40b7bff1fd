#include "pool.h"

#include <cxxabi.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <system_error>
#include <utility>

namespace morvo {
namespace {

// Linux keeps at most 15 bytes of a thread name; longer names are cut there
// rather than left unset, so every masking thread still shows the prefix.
constexpr size_t THREAD_NAME_LIMIT = 15;
constexpr const char* THREAD_NAME_PREFIX = "morvo-mask-";
// Masking needs little stack (GMP's temporaries are the deepest); the
// address space a thread reserves is what limits how many can start.
constexpr size_t STACK_SIZE = size_t{4} << 20;
// A call is cut into at most this many pieces per worker: enough for idle
// workers to even out uneven pieces, few enough to keep hand-offs cheap.
constexpr size_t PIECES_PER_WORKER = 8;

// One parallelFor call: pieces are claimed by advancing `next`; the call is
// done when every index is finished.
struct Job {
  const std::function<void(size_t, size_t)>* body;
  size_t n;
  size_t grain;
  std::atomic<size_t> next{0};
  std::atomic<size_t> unfinished;
  std::atomic<bool> failed{false};

  std::mutex lock;
  std::condition_variable finished;
  bool done = false;
  std::exception_ptr error;

  Job(const std::function<void(size_t, size_t)>& body, size_t n, size_t grain)
      : body(&body), n(n), grain(grain), unfinished(n) {}

  bool exhausted() const { return next.load(std::memory_order_relaxed) >= n; }

  void fail(std::exception_ptr thrown) {
    std::lock_guard guard(lock);
    if (!error) error = std::move(thrown);
    failed.store(true, std::memory_order_relaxed);
  }

  void finish(size_t count) {
    if (unfinished.fetch_sub(count, std::memory_order_acq_rel) != count) return;
    // Notified under the lock, so the waiter cannot see `done` and drop the
    // job before this thread is finished with it.
    std::lock_guard guard(lock);
    done = true;
    finished.notify_all();
  }

  void wait() {
    std::unique_lock guard(lock);
    finished.wait(guard, [&] { return done; });
  }

  // Claims and runs pieces until none is left. After a failure the rest are
  // only counted, not run.
  void runPieces() {
    for (;;) {
      const size_t begin = next.fetch_add(grain, std::memory_order_relaxed);
      if (begin >= n) return;
      const size_t end = std::min(n, begin + grain);
      if (!failed.load(std::memory_order_relaxed)) {
        try {
          (*body)(begin, end);
        } catch (abi::__forced_unwind&) {
          throw;
        } catch (...) {
          fail(std::current_exception());
        }
      }
      finish(end - begin);
    }
  }
};

}  // namespace

// What a pool and its workers share; the workers keep it alive after the
// pool itself is gone, until they have seen `stopping` and left.
struct Pool::Shared {
  size_t size;
  std::mutex lock;
  std::condition_variable wake;
  std::deque<std::shared_ptr<Job>> jobs;
  bool stopping = false;

  std::mutex startLock;  // serialises the starting of workers
  std::atomic<size_t> started{0};

  explicit Shared(size_t size) : size(size) {}
};

namespace {

// The pool whose worker this thread is, so that nested use can tell its own
// pool's workers from outsiders.
thread_local const Pool::Shared* workerOf = nullptr;

void workerLoop(Pool::Shared& shared) {
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock guard(shared.lock);
      shared.wake.wait(guard, [&] { return shared.stopping || !shared.jobs.empty(); });
      while (!shared.jobs.empty() && shared.jobs.front()->exhausted()) shared.jobs.pop_front();
      if (shared.jobs.empty()) {
        if (shared.stopping) return;
        continue;
      }
      job = shared.jobs.front();
    }
    job->runPieces();
  }
}

struct WorkerStart {
  std::shared_ptr<Pool::Shared> shared;
  size_t index;
};

void* workerMain(void* argument) {
  std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(argument));
  std::string name = THREAD_NAME_PREFIX + std::to_string(start->index);
  name.resize(std::min(name.size(), THREAD_NAME_LIMIT));
  pthread_setname_np(pthread_self(), name.c_str());
  workerOf = start->shared.get();
  workerLoop(*start->shared);
  return nullptr;
}

// Starts a detached thread with every signal blocked (the host's threads,
// Python's main thread above all, are the ones to take signals) and the given
// stack size; 0 or the system's error number.
int startThread(void* (*main)(void*), void* argument, size_t stackSize) {
  pthread_attr_t attributes;
  if (int error = pthread_attr_init(&attributes)) return error;
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  if (stackSize) pthread_attr_setstacksize(&attributes, stackSize);
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pthread_t thread;
  int error = pthread_create(&thread, &attributes, main, argument);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  pthread_attr_destroy(&attributes);
  return error;
}

// Starts workers until `count` are running.
void ensureWorkers(const std::shared_ptr<Pool::Shared>& shared, size_t count) {
  if (shared->started.load(std::memory_order_acquire) >= count) return;
  std::lock_guard guard(shared->startLock);
  for (size_t index = shared->started.load(std::memory_order_relaxed); index < count; ++index) {
    auto* start = new WorkerStart{shared, index};
    if (int error = startThread(workerMain, start, STACK_SIZE)) {
      delete start;
      throw ThreadStartError("could not start " + std::to_string(shared->size) +
                             " masking threads: " + std::strerror(error));
    }
    shared->started.store(index + 1, std::memory_order_release);
  }
}

}  // namespace

Pool::Pool(size_t threads)
    : threads_(std::clamp<size_t>(threads, 1, MAX_THREADS)), shared_(std::make_shared<Shared>(threads_)) {}

Pool::~Pool() {
  {
    std::lock_guard guard(shared_->lock);
    shared_->stopping = true;
  }
  shared_->wake.notify_all();
}

void Pool::parallelFor(size_t n, const std::function<void(size_t, size_t)>& body, size_t grain) {
  if (n == 0) return;
  const bool nested = workerOf == shared_.get();
  grain = std::max<size_t>(grain, 1);
  size_t pieces = n / grain + (n % grain != 0);
  if (pieces > threads_ * PIECES_PER_WORKER) {
    // Fewer, longer pieces: as many as the workers can usefully share.
    pieces = threads_ * PIECES_PER_WORKER;
    grain = n / pieces + (n % pieces != 0);
    pieces = n / grain + (n % grain != 0);
  }
  if (nested && pieces == 1) {
    body(0, n);
    return;
  }
  // One worker per piece at most (a nested caller counts as one of them).
  ensureWorkers(shared_, std::min(threads_, pieces));

  auto job = std::make_shared<Job>(body, n, grain);
  {
    std::lock_guard guard(shared_->lock);
    // Nested work goes first: its caller is a piece of an outer job that
    // cannot finish before it.
    if (nested) {
      shared_->jobs.push_front(job);
    } else {
      shared_->jobs.push_back(job);
    }
  }
  shared_->wake.notify_all();
  // A nested caller runs pieces of its own job, then waits only for pieces
  // already running on other workers; those never wait on this thread, so
  // nesting cannot deadlock.
  if (nested) job->runPieces();
  job->wait();
  if (job->error) std::rethrow_exception(job->error);
}

namespace {

// The process-wide pool: the lock is held only to copy or swap the handle.
struct PoolSlot {
  std::shared_mutex lock;
  PoolHandle handle;
};
// Never destroyed: a thread still running at exit (a Python daemon thread
// that has released the interpreter lock) may take the pool while static
// destructors run, and must not find it freed. Replaced only in a forked
// child, which has a single thread.
PoolSlot* POOL = new PoolSlot;

// Native work under way, and whether a fork is waiting for it to end.
struct NativeGate {
  std::mutex lock;
  std::condition_variable changed;
  size_t running = 0;
  bool forking = false;
};
NativeGate* GATE = new NativeGate;

void enterNative() {
  std::unique_lock guard(GATE->lock);
  GATE->changed.wait(guard, [] { return !GATE->forking; });
  ++GATE->running;
}

void leaveNative() {
  std::lock_guard guard(GATE->lock);
  if (--GATE->running == 0) GATE->changed.notify_all();
}

// Before fork: wait until no native work is under way, keep new work out,
// and hold POOL, so the child inherits no lock that a missing thread holds.
void prepareFork() {
  {
    std::unique_lock guard(GATE->lock);
    GATE->forking = true;
    GATE->changed.wait(guard, [] { return GATE->running == 0; });
  }
  POOL->lock.lock();
}

void parentAfterFork() {
  POOL->lock.unlock();
  std::lock_guard guard(GATE->lock);
  GATE->forking = false;
  GATE->changed.notify_all();
}

// The child has only the forking thread: the pool's workers are gone. Their
// pool is left as it is (never waited on, never freed, since its memory may
// hold their state) and a fresh pool of the same size takes its place. The
// locks are replaced rather than unlocked: a lock taken before fork belongs
// to a thread id the child does not have.
void childAfterFork() {
  auto* slot = new PoolSlot;
  if (POOL->handle) slot->handle = std::make_shared<Pool>(POOL->handle->size());
  POOL = slot;  // the old slot, with its pool, is deliberately kept forever
  GATE = new NativeGate;
}

void registerForkHandlers() {
  static std::once_flag once;
  std::call_once(once, [] { pthread_atfork(prepareFork, parentAfterFork, childAfterFork); });
}

}  // namespace

NativeWork::NativeWork() {
  registerForkHandlers();
  enterNative();
}

NativeWork::~NativeWork() { leaveNative(); }

void enterNativeWork() {
  registerForkHandlers();
  enterNative();
}

void leaveNativeWork() { leaveNative(); }

void runDetached(std::function<void()> work) {
  registerForkHandlers();
  struct Detached {
    std::function<void()> work;
    static void* main(void* argument) {
      std::unique_ptr<Detached> self(static_cast<Detached*>(argument));
      pthread_setname_np(pthread_self(), "morvo-detached");
      try {
        self->work();
      } catch (abi::__forced_unwind&) {
        throw;
      } catch (...) {
        // Freeing work has nobody to report to; its failure must not end
        // the process.
      }
      self.reset();
      leaveNative();
      return nullptr;
    }
  };
  auto* detached = new Detached{std::move(work)};
  enterNative();
  if (int error = startThread(Detached::main, detached, 0)) {
    leaveNative();
    delete detached;
    throw std::system_error(error, std::generic_category());
  }
}

PoolHandle takePool() {
  std::shared_lock guard(POOL->lock);
  return POOL->handle;
}

void removePool() {
  PoolHandle old;
  {
    std::unique_lock guard(POOL->lock);
    old = std::move(POOL->handle);
  }
  // The old pool, if this was its last handle, ends here, outside the lock.
}

std::optional<std::string> replacePool(uint64_t requested) {
  registerForkHandlers();
  PoolHandle fresh;
  try {
    fresh = std::make_shared<Pool>(static_cast<size_t>(std::clamp<uint64_t>(requested, 1, MAX_THREADS)));
  } catch (const std::exception& error) {
    return std::string(error.what());
  }
  PoolHandle old;
  {
    std::unique_lock guard(POOL->lock);
    old = std::exchange(POOL->handle, std::move(fresh));
  }
  return std::nullopt;
}

uint64_t currentThreads() {
  std::shared_lock guard(POOL->lock);
  return POOL->handle ? POOL->handle->size() : 1;
}

}  // namespace morvo
