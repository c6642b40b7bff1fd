#include "engine_api.h"

#include "column.h"
#include "pool.h"

namespace morvo {
namespace {

void parallelOnPool(size_t n, const std::function<void(size_t, size_t)>& body, size_t grain) {
  if (PoolHandle pool = takePool()) {
    pool->parallelFor(n, body, grain);
  } else if (n > 0) {
    body(0, n);
  }
}

constexpr EngineApi ENGINE = {ENGINE_ABI, maskInputs, parallelOnPool, enterNativeWork, leaveNativeWork};

}  // namespace

const EngineApi* engineApi() { return &ENGINE; }

}  // namespace morvo
