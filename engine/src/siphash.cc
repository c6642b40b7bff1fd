#include "siphash.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>

namespace morvo {

SipKeys SipKeys::random() {
  uint64_t words[2] = {0, 0};
  auto* out = reinterpret_cast<unsigned char*>(words);
  size_t got = 0;
  while (got < sizeof words) {
    ssize_t n = getrandom(out + got, sizeof words - got, 0);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      break;  // no kernel source: keys stay partly fixed, the maps still work
    }
  }
  return {words[0], words[1]};
}

namespace {

inline uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct State {
  uint64_t v0, v1, v2, v3;
  void round() {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  }
  void absorb(uint64_t m) {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

}  // namespace

uint64_t sipHash13(const SipKeys& keys, uint8_t tag, std::string_view bytes) {
  State s{keys.k0 ^ 0x736f6d6570736575ULL, keys.k1 ^ 0x646f72616e646f6dULL,
          keys.k0 ^ 0x6c7967656e657261ULL, keys.k1 ^ 0x7465646279746573ULL};
  // The message is tag || bytes, read as little-endian words: the first word
  // holds the tag and up to seven bytes, the rest are unaligned loads.
  const size_t total = bytes.size() + 1;
  const char* data = bytes.data();
  size_t left = bytes.size();
  auto loadTail = [](const char* from, size_t count) {
    uint64_t word = 0;
    for (size_t i = 0; i < count; ++i) word |= static_cast<uint64_t>(static_cast<unsigned char>(from[i])) << (8 * i);
    return word;
  };
  uint64_t word;
  if (left >= 7) {
    word = tag | (loadTail(data, 7) << 8);
    s.absorb(word);
    data += 7;
    left -= 7;
    for (; left >= 8; data += 8, left -= 8) {
      uint64_t m;
      std::memcpy(&m, data, 8);  // little-endian hosts only, as everywhere we build
      s.absorb(m);
    }
    word = loadTail(data, left);
  } else {
    word = tag | (loadTail(data, left) << 8);
  }
  word |= static_cast<uint64_t>(total & 0xff) << 56;
  s.absorb(word);
  s.v2 ^= 0xff;
  for (int i = 0; i < 3; ++i) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace morvo
