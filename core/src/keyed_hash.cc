#include "keyed_hash.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "sha_ext.h"

namespace morvo {

namespace {

constexpr size_t BLOCK_SIZE = 64;
// The longest message tail that fits one padded block with its 0x80 byte and
// 64-bit length.
constexpr size_t ONE_BLOCK_TAIL = 55;
constexpr int ROUNDS = 10;

void putBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

void putBe64(uint8_t* p, uint64_t v) {
  putBe32(p, static_cast<uint32_t>(v >> 32));
  putBe32(p + 4, static_cast<uint32_t>(v));
}

// The longest tail that fits two padded blocks.
constexpr size_t TWO_BLOCK_TAIL = BLOCK_SIZE + ONE_BLOCK_TAIL;

// Pads a message tail of at most 119 bytes into its final one or two blocks,
// in place, and gives their number; `total` counts every byte hashed, the
// key block included. The buffer must have room for the padded blocks.
size_t padBlocks(uint8_t* blocks, size_t length, uint64_t total) {
  size_t count = length <= ONE_BLOCK_TAIL ? 1 : 2;
  size_t end = count * BLOCK_SIZE;
  blocks[length] = 0x80;
  std::memset(blocks + length + 1, 0, end - 8 - length - 1);
  putBe64(blocks + end - 8, total * 8);
  return count;
}

// The compressions of final blocks from a state that has absorbed whole
// blocks only; the digest goes straight to `out`. Skipping
// SHA256_Update/SHA256_Final matters: for messages this short their
// buffering costs about as much as the compression itself.
void compress(const SHA256_CTX& start, const uint8_t* blocks, size_t count, uint8_t* out) {
  SHA256_CTX ctx;
  std::memcpy(ctx.h, start.h, sizeof ctx.h);  // the compression reads only h
  for (size_t i = 0; i < count; ++i) SHA256_Transform(&ctx, blocks + i * BLOCK_SIZE);
  for (size_t i = 0; i < 8; ++i) {
    uint32_t word = __builtin_bswap32(ctx.h[i]);
    std::memcpy(out + 4 * i, &word, 4);
  }
}

// The outer hash over an inner digest written to the start of `block`.
Digest finishOuter(const SHA256_CTX& outer, uint8_t* block) {
  padBlocks(block, 32, BLOCK_SIZE + 32);
  Digest out;
  compress(outer, block, 1, out.data());
  return out;
}

// HMAC whose inner message ends in `count` blocks, already padded.
Digest hmacPadded(const KeyedHash& hash, const SHA256_CTX& innerState, const uint8_t* blocks, size_t count) {
  uint8_t outerBlock[BLOCK_SIZE];
  compress(innerState, blocks, count, outerBlock);
  return finishOuter(hash.outer, outerBlock);
}

// HMAC whose inner message ends in a tail too long for one block.
Digest hmacStreamed(const KeyedHash& hash, const SHA256_CTX& innerState, const uint8_t* tail, size_t length) {
  SHA256_CTX ctx = innerState;
  SHA256_Update(&ctx, tail, length);
  uint8_t outerBlock[BLOCK_SIZE];
  SHA256_Final(outerBlock, &ctx);
  return finishOuter(hash.outer, outerBlock);
}

// Writes count bytes of expand(message, label) to out.
void expandInto(const KeyedHash& hash, std::string_view message, std::string_view label, uint8_t* out,
                size_t count) {
  static constexpr char SEPARATOR[2] = {'#', 0};
  for (uint32_t i = 0; count > 0; ++i) {
    uint8_t counter[4];
    putBe32(counter, i);
    Digest block = hash.hmac({label, std::string_view(SEPARATOR, 1),
                              std::string_view(reinterpret_cast<const char*>(counter), 4),
                              std::string_view(SEPARATOR + 1, 1), message});
    size_t take = std::min(count, block.size());
    std::memcpy(out, block.data(), take);
    out += take;
    count -= take;
  }
}

// The round messages of one permute call,
//   label || "|" || BE_n(N) || r || "#" || BE32(k) || 0x00 || BE_nb(R),
// laid out once: the label's whole 64-byte blocks are absorbed into
// `midstate` up front, the rest sits in a caller-owned buffer in which only
// the round byte, the counter and R change from one hash to the next. A tail
// of up to two blocks is padded once; when the changing bytes all lie in its
// second block, the first is absorbed once too, and each round compresses
// one block instead of two.
struct RoundMessage {
  const KeyedHash& hash;
  SHA256_CTX midstate;
  uint64_t absorbed = 0;  // bytes in midstate, the key block included
  uint8_t* tail = nullptr;
  size_t length = 0;
  uint8_t* round = nullptr;  // r; the counter follows at +2, R at +7
  size_t nb = 0;
  const uint8_t* padded = nullptr;  // the blocks compressed per round; none: streamed
  size_t blocks = 0;
  // Rounds of one block on the SHA extensions, for halves of up to 64 bits.
  bool extensions = false;
  OneBlockHmac fused;

  // Buffer bytes needed for a label, N of n bytes and halves of nb bytes.
  static size_t tailCapacity(size_t labelSize, size_t n, size_t nb) {
    size_t length = labelSize % BLOCK_SIZE + 1 + n + 7 + nb;
    if (length <= ONE_BLOCK_TAIL) return BLOCK_SIZE;
    if (length <= TWO_BLOCK_TAIL) return 2 * BLOCK_SIZE;
    return length;
  }

  RoundMessage(const KeyedHash& keyed, std::string_view label, std::span<const uint8_t> sizeBytes,
               size_t halfBytes, uint8_t* buffer, bool useExtensions)
      : hash(keyed), midstate(keyed.inner), tail(buffer), nb(halfBytes) {
    size_t whole = label.size() / BLOCK_SIZE * BLOCK_SIZE;
    if (whole > 0) SHA256_Update(&midstate, label.data(), whole);
    absorbed = BLOCK_SIZE + whole;
    uint8_t* p = tail;
    size_t rest = label.size() - whole;
    if (rest > 0) std::memcpy(p, label.data() + whole, rest);
    p += rest;
    *p++ = '|';
    std::memcpy(p, sizeBytes.data(), sizeBytes.size());
    p += sizeBytes.size();
    round = p;
    p[0] = 0;
    p[1] = '#';
    putBe32(p + 2, 0);
    p[6] = 0;
    std::memset(p + 7, 0, nb);
    length = static_cast<size_t>(p + 7 + nb - tail);
    if (length > TWO_BLOCK_TAIL) return;
    // The padding never changes between rounds, so it is written once.
    padded = tail;
    blocks = padBlocks(tail, length, absorbed + length);
    if (blocks == 2 && round - tail >= static_cast<ptrdiff_t>(BLOCK_SIZE)) {
      SHA256_Transform(&midstate, tail);
      padded += BLOCK_SIZE;
      blocks = 1;
    }
    if (blocks == 1 && useExtensions) {
      fused = OneBlockHmac::of(midstate, hash.outer);
      extensions = true;
    }
  }

  uint8_t* half() { return round + 7; }

  Digest block(int r, uint32_t counter) {
    *round = static_cast<uint8_t>(r);
    putBe32(round + 2, counter);
    if (padded) return hmacPadded(hash, midstate, padded, blocks);
    return hmacStreamed(hash, midstate, tail, length);
  }

  // Round r of a half R: its bytes in the block (the counter stays 0), and,
  // fused, F from the digest's words, its first nb bytes big-endian.
  void setSmall(int r, uint64_t right) {
    uint8_t* p = half();
    for (size_t i = 0; i < nb; ++i) p[nb - 1 - i] = static_cast<uint8_t>(right >> (8 * i));
    *round = static_cast<uint8_t>(r);
  }
  uint64_t takeSmall(const uint32_t words[8], uint64_t mask) const {
    const uint64_t first = (uint64_t{words[0]} << 32) | words[1];
    return (first >> (64 - 8 * nb)) & mask;
  }

  // F_r(R) for halves of at most 64 bits: one block always suffices.
  uint64_t small(int r, uint64_t right, uint64_t mask) {
    setSmall(r, right);
    if (extensions) {
      uint32_t words[8];
      fused.run(padded, words);
      return takeSmall(words, mask);
    }
    Digest d = block(r, 0);
    uint64_t f = 0;
    for (size_t i = 0; i < nb; ++i) f = (f << 8) | d[i];
    return f & mask;
  }

  // F_r(R) on GMP; `stream` holds nb bytes rounded up to whole digests.
  void big(int r, const mpz_class& right, const mpz_class& mask, Vec<uint8_t>& stream, mpz_class& f) {
    uint8_t* p = half();
    size_t used = (mpz_sizeinbase(right.get_mpz_t(), 2) + 7) / 8;
    if (sgn(right) == 0) used = 0;
    std::memset(p, 0, nb - used);
    if (used > 0) mpz_export(p + (nb - used), nullptr, 1, 1, 1, 0, right.get_mpz_t());
    for (size_t k = 0; k * 32 < nb; ++k) {
      Digest d = block(r, static_cast<uint32_t>(k));
      std::memcpy(stream.data() + 32 * k, d.data(), d.size());
    }
    mpz_import(f.get_mpz_t(), nb, 1, 1, 1, 0, stream.data());
    f &= mask;
  }
};

// The total width w: bitlen(N - 1), at least 2, rounded up to even.
size_t feistelWidth(size_t bitsOfSizeMinusOne) {
  size_t w = std::max<size_t>(bitsOfSizeMinusOne, 2);
  return w + (w & 1);
}

size_t bitLength128(u128 v) {
  uint64_t high = static_cast<uint64_t>(v >> 64);
  if (high != 0) return 128 - static_cast<size_t>(__builtin_clzll(high));
  uint64_t low = static_cast<uint64_t>(v);
  return low == 0 ? 0 : 64 - static_cast<size_t>(__builtin_clzll(low));
}

// A walk over [0, sizeMinusOne], sizeMinusOne >= 1: halves of h bits (nb
// bytes), and N itself, big-endian without leading zeros (N = 2^128 takes a
// 17th byte).
struct WalkShape {
  size_t h = 0;
  size_t nb = 0;
  uint64_t mask = 0;
  uint8_t sizeBytes[17] = {};
  size_t n = 0;

  explicit WalkShape(u128 sizeMinusOne) {
    h = feistelWidth(bitLength128(sizeMinusOne)) / 2;
    check(h <= 64, "halves of at most 64 bits bound size by 2**128");
    nb = (h + 7) / 8;
    mask = h == 64 ? ~uint64_t{0} : (uint64_t{1} << h) - 1;
    if (sizeMinusOne == ~u128{0}) {
      sizeBytes[0] = 1;
      n = 17;
    } else {
      u128 size = sizeMinusOne + 1;
      n = (bitLength128(size) + 7) / 8;
      for (size_t i = 0; i < n; ++i) sizeBytes[n - 1 - i] = static_cast<uint8_t>(size >> (8 * i));
    }
  }
  std::span<const uint8_t> size() const { return {sizeBytes, n}; }
};

u128 mpzToU128(const mpz_class& v, const char* message) {
  check(sgn(v) >= 0 && mpz_sizeinbase(v.get_mpz_t(), 2) <= 128, message);
  return toU128(fromMpz(v));
}

}  // namespace

KeyedHash KeyedHash::fromSubkey(std::span<const uint8_t, SUBKEY_SIZE> subkey) {
  uint8_t block[64] = {};
  std::memcpy(block, subkey.data(), SUBKEY_SIZE);
  uint8_t pad[64];
  KeyedHash out;
  for (int i = 0; i < 64; ++i) pad[i] = block[i] ^ 0x36;
  SHA256_Init(&out.inner);
  SHA256_Update(&out.inner, pad, 64);
  for (int i = 0; i < 64; ++i) pad[i] = block[i] ^ 0x5c;
  SHA256_Init(&out.outer);
  SHA256_Update(&out.outer, pad, 64);
  return out;
}

Digest KeyedHash::hmac(std::initializer_list<std::string_view> pieces) const {
  size_t total = 0;
  for (std::string_view piece : pieces) total += piece.size();
  if (total <= TWO_BLOCK_TAIL) {
    uint8_t buffer[2 * BLOCK_SIZE];
    size_t at = 0;
    for (std::string_view piece : pieces) {
      if (!piece.empty()) std::memcpy(buffer + at, piece.data(), piece.size());
      at += piece.size();
    }
    size_t blocks = padBlocks(buffer, total, BLOCK_SIZE + total);
    return hmacPadded(*this, inner, buffer, blocks);
  }
  SHA256_CTX ctx = inner;
  for (std::string_view piece : pieces) SHA256_Update(&ctx, piece.data(), piece.size());
  uint8_t outerBlock[BLOCK_SIZE];
  SHA256_Final(outerBlock, &ctx);
  return finishOuter(outer, outerBlock);
}

Digest KeyedHash::digest(std::string_view message, std::string_view label) const {
  static constexpr char ZERO = 0;
  return hmac({label, std::string_view(&ZERO, 1), message});
}

void KeyedHash::digestMany(std::span<const std::string_view> messages, std::string_view label,
                           std::span<Digest> out) const {
  check(messages.size() == out.size(), "a digest for every message");
  // label || 0x00 || message in one padded block.
  const size_t fixed = label.size() + 1;
  if (!shaExtensions() || fixed > ONE_BLOCK_TAIL) {
    for (size_t i = 0; i < messages.size(); ++i) out[i] = digest(messages[i], label);
    return;
  }
  const OneBlockHmac fused = OneBlockHmac::of(inner, outer);
  const OneBlockHmac* const hmacs[2] = {&fused, &fused};
  alignas(16) uint8_t blocks[2][BLOCK_SIZE];
  const uint8_t* const blockPointers[2] = {blocks[0], blocks[1]};
  size_t lane[2];  // which message each filled block holds
  int filled = 0;
  auto run = [&](int count) {
    uint32_t words[2][8];
    OneBlockHmac::runMany(hmacs, blockPointers, words, count);
    for (int l = 0; l < count; ++l) {
      for (size_t w = 0; w < 8; ++w) putBe32(out[lane[l]].data() + 4 * w, words[l][w]);
    }
  };
  for (size_t i = 0; i < messages.size(); ++i) {
    const std::string_view message = messages[i];
    if (message.size() > ONE_BLOCK_TAIL - fixed) {
      out[i] = digest(message, label);
      continue;
    }
    uint8_t* block = blocks[filled];
    if (!label.empty()) std::memcpy(block, label.data(), label.size());
    block[label.size()] = 0;
    if (!message.empty()) std::memcpy(block + fixed, message.data(), message.size());
    padBlocks(block, fixed + message.size(), BLOCK_SIZE + fixed + message.size());
    lane[filled++] = i;
    if (filled == 2) {
      run(2);
      filled = 0;
    }
  }
  if (filled == 1) run(1);
}

Vec<uint8_t> KeyedHash::expand(std::string_view message, size_t count, std::string_view label) const {
  Vec<uint8_t> out;
  out.reserve((count + 31) / 32 * 32);
  out.resize(count);
  expandInto(*this, message, label, out.data(), count);
  return out;
}

uint64_t KeyedHash::below(std::string_view message, uint64_t bound, std::string_view label) const {
  check(bound >= 1, "below needs a bound of at least 1");
  size_t bits = 64 - __builtin_clzll(bound);
  size_t length = (bits + 7) / 8 + 32;  // at most 40 bytes: no heap
  uint8_t stream[40];
  expandInto(*this, message, label, stream, length);
  // Horner's rule modulo bound over 64-bit words, the odd leading bytes first:
  // r < bound < 2^64, so r * 2^64 + word fits 128 bits.
  size_t head = length % 8;
  uint64_t r = 0;
  for (size_t i = 0; i < head; ++i) r = (r << 8) | stream[i];  // head < 8 bytes: exact
  r %= bound;
  for (size_t i = head; i < length; i += 8) {
    uint64_t word = 0;
    for (size_t j = 0; j < 8; ++j) word = (word << 8) | stream[i + j];
    r = static_cast<uint64_t>(((static_cast<u128>(r) << 64) | word) % bound);
  }
  return r;
}

mpz_class KeyedHash::permute(const mpz_class& size, const mpz_class& value, std::string_view label) const {
  if (size <= 1) return value;
  // A value outside [0, size) could sit on a cycle that never enters the
  // range, and the walk would not end.
  check(sgn(value) >= 0 && value < size, "value is below size");
  mpz_class sizeMinusOne = size - 1;
  if (mpz_sizeinbase(sizeMinusOne.get_mpz_t(), 2) > 128) return permuteBig(size, value, label);
  u128 small = permuteSmall(mpzToU128(sizeMinusOne, "halves of at most 64 bits bound size by 2**128"),
                            mpzToU128(value, "value is below size"), label);
  return toMpz(fromU128(small));
}

u128 KeyedHash::permuteSmall(u128 sizeMinusOne, u128 value, std::string_view label) const {
  uint64_t passes = 0;
  return permuteSmall(sizeMinusOne, value, label, passes);
}

u128 KeyedHash::permuteSmall(u128 sizeMinusOne, u128 value, std::string_view label, uint64_t& passes) const {
  passes = 0;
  check(value <= sizeMinusOne, "value is below size");
  if (sizeMinusOne == 0) return value;  // size 1

  const WalkShape shape(sizeMinusOne);
  const size_t h = shape.h;
  const uint64_t mask = shape.mask;

  // Labels of any length: the whole blocks go to the midstate, so the rest
  // is bounded and the buffer lives on the stack.
  uint8_t buffer[2 * BLOCK_SIZE];
  check(RoundMessage::tailCapacity(label.size(), shape.n, shape.nb) <= sizeof buffer, "round buffer fits");
  RoundMessage rounds(*this, label, shape.size(), shape.nb, buffer, shaExtensions());

  u128 v = value;
  do {
    ++passes;
    uint64_t left = static_cast<uint64_t>(v >> h);
    uint64_t right = static_cast<uint64_t>(v) & mask;
    for (int r = 0; r < ROUNDS; ++r) {
      uint64_t next = left ^ rounds.small(r, right, mask);
      left = right;
      right = next;
    }
    v = (static_cast<u128>(left) << h) | right;
  } while (v > sizeMinusOne);
  return v;
}

void KeyedHash::permuteMany(std::span<PermuteJob> jobs) const {
  if (!shaExtensions()) {
    for (PermuteJob& job : jobs) job.result = permuteSmall(job.sizeMinusOne, job.value, job.label);
    return;
  }
  // A walk in progress. Its round message points into its own buffer, so a
  // lane stays where it is; `order` lists the lanes in use.
  struct Lane {
    PermuteJob* job = nullptr;
    size_t h = 0;
    uint64_t mask = 0;
    uint64_t left = 0, right = 0;
    int round = 0;
    uint8_t buffer[2 * BLOCK_SIZE];
    std::optional<RoundMessage> rounds;
  };
  constexpr int LANES = OneBlockHmac::MAX_LANES;
  Lane lanes[LANES];
  size_t next = 0;
  // Starts the next job whose rounds are one fused block in the lane; any
  // other is walked alone on the spot.
  auto take = [&](Lane& lane) {
    while (next < jobs.size()) {
      PermuteJob& job = jobs[next++];
      check(job.value <= job.sizeMinusOne, "value is below size");
      if (job.sizeMinusOne == 0) {
        job.result = job.value;
        continue;
      }
      const WalkShape shape(job.sizeMinusOne);
      if (RoundMessage::tailCapacity(job.label.size(), shape.n, shape.nb) <= sizeof lane.buffer) {
        lane.rounds.emplace(*this, job.label, shape.size(), shape.nb, lane.buffer, true);
        if (lane.rounds->extensions) {
          lane.job = &job;
          lane.h = shape.h;
          lane.mask = shape.mask;
          lane.left = static_cast<uint64_t>(job.value >> shape.h);
          lane.right = static_cast<uint64_t>(job.value) & shape.mask;
          lane.round = 0;
          return true;
        }
      }
      job.result = permuteSmall(job.sizeMinusOne, job.value, job.label);
    }
    return false;
  };
  int order[LANES];
  int active = 0;
  for (int j = 0; j < LANES && take(lanes[j]); ++j) order[active++] = j;
  while (active > 0) {
    const OneBlockHmac* hmacs[LANES];
    const uint8_t* blocks[LANES];
    uint32_t digests[LANES][8];
    for (int i = 0; i < active; ++i) {
      Lane& lane = lanes[order[i]];
      lane.rounds->setSmall(lane.round, lane.right);
      hmacs[i] = &lane.rounds->fused;
      blocks[i] = lane.rounds->padded;
    }
    OneBlockHmac::runMany(hmacs, blocks, digests, active);
    int kept = 0;
    for (int i = 0; i < active; ++i) {
      Lane& lane = lanes[order[i]];
      const uint64_t half = lane.left ^ lane.rounds->takeSmall(digests[i], lane.mask);
      lane.left = lane.right;
      lane.right = half;
      if (++lane.round == ROUNDS) {
        const u128 v = (static_cast<u128>(lane.left) << lane.h) | lane.right;
        if (v > lane.job->sizeMinusOne) {  // another pass of the cycle walk
          lane.left = static_cast<uint64_t>(v >> lane.h);
          lane.right = static_cast<uint64_t>(v) & lane.mask;
          lane.round = 0;
        } else {
          lane.job->result = v;
          if (!take(lane)) continue;  // the lane falls out of `order`
        }
      }
      order[kept++] = order[i];
    }
    active = kept;
  }
}

mpz_class KeyedHash::permuteBig(const mpz_class& size, const mpz_class& value, std::string_view label) const {
  if (size <= 1) return value;
  check(sgn(value) >= 0 && value < size, "value is below size");

  mpz_class sizeMinusOne = size - 1;
  size_t w = feistelWidth(mpz_sizeinbase(sizeMinusOne.get_mpz_t(), 2));
  size_t h = w / 2;
  size_t nb = (h + 7) / 8;
  mpz_class mask = 1;
  mask <<= h;
  mask -= 1;

  size_t n = (mpz_sizeinbase(size.get_mpz_t(), 2) + 7) / 8;
  Vec<uint8_t> sizeBytes(n);
  mpz_export(sizeBytes.data(), nullptr, 1, 1, 1, 0, size.get_mpz_t());

  Vec<uint8_t> buffer(RoundMessage::tailCapacity(label.size(), n, nb));
  RoundMessage rounds(*this, label, sizeBytes, nb, buffer.data(), false);
  Vec<uint8_t> stream((nb + 31) / 32 * 32);

  mpz_class v = value;
  mpz_class left, right, f;
  do {
    left = v >> h;
    right = v & mask;
    for (int r = 0; r < ROUNDS; ++r) {
      rounds.big(r, right, mask, stream, f);
      left ^= f;
      mpz_swap(left.get_mpz_t(), right.get_mpz_t());
    }
    v = left << h;
    v |= right;
  } while (v >= size);
  return v;
}

}  // namespace morvo
