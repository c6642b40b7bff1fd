// The engine as the morvo_rs module lends it to the companion modules of the
// distribution (morvo_arrow). A companion module links the engine's code too,
// but its own copy would have its own pool, its own fork gate and its own
// idea of which thread is a pool worker; so it reaches the one engine of the
// process through the table that every Masker carries. The table is plain
// data, reachable only from a Masker object: no name is added to morvo_rs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "values.h"

namespace morvo {

struct Masker;

// Bumped whenever the table or the types it passes change, so that modules
// from different builds refuse each other instead of misreading memory.
inline constexpr uint32_t ENGINE_ABI = 4;

struct EngineApi {
  uint32_t abi;
  // maskInputs of the engine (column masking with the masker's cache and the
  // pool). Throws what maskInputs throws.
  Vec<Output> (*maskInputs)(const Masker& masker, std::span<const Input> inputs);
  // Pool::parallelFor on the published pool, or body(0, n) on the calling
  // thread when there is none.
  void (*parallelFor)(size_t n, const std::function<void(size_t, size_t)>& body, size_t grain);
  // Opens and closes a scope of native work that a fork waits for.
  void (*enterNative)();
  void (*leaveNative)();
};

// The table of this module's engine.
const EngineApi* engineApi();

}  // namespace morvo
