// HMAC-SHA-256 of messages that end in one padded block, on the CPU's SHA
// extensions: the inner and the outer compression in one function, the state
// kept in registers from the message to the digest. The permutation's rounds
// use it: each of a walk's HMACs waits for the one before, and a single chain
// leaves the SHA unit mostly waiting, so two walks run side by side, their
// compressions interleaved (a third less time per walk than one at a time;
// three or four lanes run out of registers and gain less). Independent
// digests gain too, two at a time (KeyedHash::digestMany: 87 against 109 ns
// a digest), though one alone is no faster than the library's code, which
// overlaps one call with the next.
#pragma once

#include <openssl/sha.h>

#include <cstdint>

namespace morvo {

// Whether this CPU has the SHA extensions (with SSSE3 and SSE4.1); checked
// once. MORVO_SHA_EXTENSIONS=0 in the environment turns them off, so that the
// portable path can be tested on any machine.
bool shaExtensions();

// A SHA-256 state in the layout of the SHA instructions' two registers.
struct alignas(16) ShaRegisters {
  uint32_t lanes[8];
};

// HMACs whose inner message is a midstate followed by one padded block,
// both compressions kept in registers. Only when shaExtensions().
struct OneBlockHmac {
  ShaRegisters inner;  // the midstate
  ShaRegisters outer;

  static OneBlockHmac of(const SHA256_CTX& inner, const SHA256_CTX& outer);
  // The HMAC of the midstate and `block` as eight words: word i is digest
  // bytes 4i to 4i+3, big-endian.
  void run(const uint8_t* block, uint32_t digest[8]) const;
  // run of `count` HMACs (1 to MAX_LANES) at once, their compressions
  // interleaved.
  static constexpr int MAX_LANES = 2;
  static void runMany(const OneBlockHmac* const* hmacs, const uint8_t* const* blocks, uint32_t (*digests)[8],
                      int count);
};

}  // namespace morvo
