// The process-wide masking pool: a fixed number of named worker threads on
// which a call spreads its masking while the calling thread waits. The pool is
// published in POOL behind a reader-writer lock; a user copies the handle and
// works on the copy, so replacing the pool never disturbs a call in flight.
//
// The pool is a guest in someone else's process: its threads are started by
// the callers that need them, so a thread the system refuses is an error of
// that call (never an abort on a worker); it survives fork (the child starts
// afresh with a pool of the same size); and all native work (masking, the
// freeing of outputs) is counted, so that a fork waits until none is under
// way and the child never inherits a lock held by a thread it does not have.
// Nothing here touches Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace morvo {

// The most workers one pool may have.
inline constexpr uint64_t MAX_THREADS = 65535;

// A worker that the system would not start. The pool stays usable: the
// workers already started keep serving it, and a later call tries again.
struct ThreadStartError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Pool {
 public:
  // A pool of `threads` workers (at least 1, at most MAX_THREADS). No thread
  // starts here: a call starts as many as its work can use, up to the size.
  explicit Pool(size_t threads);
  // Tells the workers to end once idle; waits for none of them.
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  // The worker count the pool was built with.
  size_t size() const { return threads_; }

  // Runs body(begin, end) over pieces covering [0, n) exactly once, each of
  // at least `grain` indices (but the last), shared among the workers, and
  // returns when all are done. An outside caller, or a worker of another
  // pool, hands the work over and waits without taking part; a worker of this
  // pool (nested use) takes part. The first exception thrown by body
  // propagates (later pieces are skipped); ThreadStartError when no worker
  // could be started for the work.
  void parallelFor(size_t n, const std::function<void(size_t begin, size_t end)>& body, size_t grain = 1);

  struct Shared;

 private:
  size_t threads_;
  std::shared_ptr<Shared> shared_;
};

using PoolHandle = std::shared_ptr<Pool>;

// A copy of the published handle, empty when there is no pool.
PoolHandle takePool();

// Leaves the process without a pool; the old one lives on in calls that hold
// it.
void removePool();

// Builds a pool of min(requested, MAX_THREADS) workers (requested 0 counts as
// 1) and publishes it in place of the old one. Building happens before the
// lock is taken. On failure gives the error text and leaves the published
// pool as it was.
std::optional<std::string> replacePool(uint64_t requested);

// The published pool's worker count, or 1 without a pool.
uint64_t currentThreads();

// Marks native work under way for its scope (masking with the interpreter
// lock released): a fork waits until no such scope is open, and a scope
// opened meanwhile waits until the fork is done.
class NativeWork {
 public:
  NativeWork();
  ~NativeWork();
  NativeWork(const NativeWork&) = delete;
  NativeWork& operator=(const NativeWork&) = delete;
};

// The scope of NativeWork as two calls, for code that reaches the engine
// through its table.
void enterNativeWork();
void leaveNativeWork();

// Runs work on a detached thread of its own, counted as native work. Throws
// std::system_error when the thread cannot be started (work is then not run).
void runDetached(std::function<void()> work);

}  // namespace morvo
