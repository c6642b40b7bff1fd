// The process-wide masking pool: a fixed number of named worker threads on
// which a call spreads its masking while the calling thread waits. The pool is
// published in POOL behind a reader-writer lock; a user copies the handle and
// works on the copy, so replacing the pool never disturbs a call in flight.
// Nothing here touches Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace morvo {

// The most workers one pool may have.
inline constexpr uint64_t MAX_THREADS = 65535;

class Pool {
 public:
  // Builds a pool of `threads` workers (at least 1, at most MAX_THREADS).
  // Workers start lazily, on the first work; a failure to set the pool up
  // throws the thread library's exception.
  explicit Pool(size_t threads);
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  // The worker count the pool was built with.
  size_t size() const { return threads_; }

  // Runs body(begin, end) over pieces covering [0, n) exactly once, split
  // among the workers by work stealing, and returns when all are done. An
  // outside caller waits without taking part; a worker of this pool (nested
  // use) takes part in place; a worker of another pool joins this one or
  // waits for it. The first exception thrown by body propagates; oneTBB's own
  // exception propagates when a worker thread cannot be started.
  void parallelFor(size_t n, const std::function<void(size_t begin, size_t end)>& body);

 private:
  struct Parts;
  size_t threads_;
  std::unique_ptr<Parts> parts_;
};

using PoolHandle = std::shared_ptr<Pool>;

// A copy of the published handle, empty when there is no pool.
PoolHandle takePool();

// Leaves the process without a pool; the old one lives on in calls that hold
// it.
void removePool();

// Builds a pool of min(requested, MAX_THREADS) workers (requested 0 counts as
// 1) and publishes it in place of the old one. Building happens before the
// lock is taken. On failure gives the builder's error text and leaves the
// published pool as it was.
std::optional<std::string> replacePool(uint64_t requested);

// The published pool's worker count, or 1 without a pool.
uint64_t currentThreads();

}  // namespace morvo
