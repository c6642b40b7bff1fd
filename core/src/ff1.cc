#include "ff1.h"

#include <immintrin.h>

#include <cstring>

namespace morvo {

namespace {

// AES-NI code lives only in functions marked for the instructions, so the
// library as a whole still runs on processors without them.

// One step of the AES-256 key expansion: key is the round key two steps
// back, assist the output of aeskeygenassist on the previous one; lane picks
// the RotWord/SubWord word (0xff) or the SubWord-only word (0xaa).
template <int LANE>
__attribute__((target("aes,sse4.1"))) inline __m128i expandStep(__m128i key, __m128i assist) {
  assist = _mm_shuffle_epi32(assist, LANE);
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  return _mm_xor_si128(key, assist);
}

__attribute__((target("aes,sse4.1"))) void expandHardware(const uint8_t* key, uint8_t* out) {
  __m128i rk[15];
  rk[0] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key));
  rk[1] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key + 16));
  // aeskeygenassist takes its round constant as an immediate, so unrolled.
  rk[2] = expandStep<0xff>(rk[0], _mm_aeskeygenassist_si128(rk[1], 0x01));
  rk[3] = expandStep<0xaa>(rk[1], _mm_aeskeygenassist_si128(rk[2], 0x00));
  rk[4] = expandStep<0xff>(rk[2], _mm_aeskeygenassist_si128(rk[3], 0x02));
  rk[5] = expandStep<0xaa>(rk[3], _mm_aeskeygenassist_si128(rk[4], 0x00));
  rk[6] = expandStep<0xff>(rk[4], _mm_aeskeygenassist_si128(rk[5], 0x04));
  rk[7] = expandStep<0xaa>(rk[5], _mm_aeskeygenassist_si128(rk[6], 0x00));
  rk[8] = expandStep<0xff>(rk[6], _mm_aeskeygenassist_si128(rk[7], 0x08));
  rk[9] = expandStep<0xaa>(rk[7], _mm_aeskeygenassist_si128(rk[8], 0x00));
  rk[10] = expandStep<0xff>(rk[8], _mm_aeskeygenassist_si128(rk[9], 0x10));
  rk[11] = expandStep<0xaa>(rk[9], _mm_aeskeygenassist_si128(rk[10], 0x00));
  rk[12] = expandStep<0xff>(rk[10], _mm_aeskeygenassist_si128(rk[11], 0x20));
  rk[13] = expandStep<0xaa>(rk[11], _mm_aeskeygenassist_si128(rk[12], 0x00));
  rk[14] = expandStep<0xff>(rk[12], _mm_aeskeygenassist_si128(rk[13], 0x40));
  for (int i = 0; i < 15; ++i) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * i), rk[i]);
}

__attribute__((target("aes,sse4.1"))) inline __m128i cipherHardware(const uint8_t* roundKeys, __m128i m) {
  auto key = [roundKeys](int i) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(roundKeys + 16 * i)); };
  m = _mm_xor_si128(m, key(0));
  for (int i = 1; i < 14; ++i) m = _mm_aesenc_si128(m, key(i));
  return _mm_aesenclast_si128(m, key(14));
}

// CBC-MAC chaining over whole blocks, kept in a register between blocks.
__attribute__((target("aes,sse4.1"))) void macHardware(const uint8_t* roundKeys, Block& y, const uint8_t* data, size_t blocks) {
  __m128i state = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y.data()));
  for (size_t j = 0; j < blocks; ++j) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * j));
    state = cipherHardware(roundKeys, _mm_xor_si128(state, x));
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(y.data()), state);
}

__attribute__((target("aes,sse4.1"))) void blockHardware(const uint8_t* roundKeys, Block& b) {
  __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b.data()));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(b.data()), cipherHardware(roundKeys, m));
}

// libgcc reads the CPU features before any of our code runs, so no
// __builtin_cpu_init here; the answer is read once per process.
bool aesInstructions() {
  static const bool PRESENT = __builtin_cpu_supports("aes") && __builtin_cpu_supports("sse4.1");
  return PRESENT;
}

// y = CBC-MAC continued over blocks whole 16-byte blocks of data.
void mac(const Ff1& cipher, Block& y, const uint8_t* data, size_t blocks) {
  if (cipher.hardware) {
    macHardware(cipher.roundKeys.data(), y, data, blocks);
    return;
  }
  for (size_t j = 0; j < blocks; ++j) {
    for (size_t k = 0; k < 16; ++k) y[k] ^= data[16 * j + k];
    AES_encrypt(y.data(), y.data(), &cipher.softwareKey);
  }
}

void checkInput(const Ff1& cipher, std::span<const uint32_t> numerals, std::string_view tweak) {
  check(cipher.radix >= 2, "FF1 used before it was made");
  check(numerals.size() >= cipher.minimumLength, "FF1 called below its minimum length");
  check(numerals.size() <= UINT32_MAX && tweak.size() <= UINT32_MAX, "FF1 length fits 32 bits");
  for (uint32_t x : numerals) check(x < cipher.radix, "numeral outside the radix");
}

// The PRF input of every round lives on the stack unless a long tweak or a
// long numeral string needs more.
struct Message {
  std::array<uint8_t, 128> local;
  Vec<uint8_t> heap;
  std::span<uint8_t> bytes;

  explicit Message(size_t size) {
    if (size <= local.size()) {
      bytes = std::span<uint8_t>(local.data(), size);
    } else {
      heap.resize(size);
      bytes = std::span<uint8_t>(heap);
    }
  }
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;
};

// The CBC-MAC state after the whole blocks of P || T || 0^pad, which every
// round shares, so that a round only runs the blocks its own bytes touch.
struct RoundInput {
  Message message;
  Block head{};
  size_t tailOffset = 0;  // first byte not covered by head
  size_t tailBlocks = 0;
  size_t roundByte = 0;   // offset of the round number; NUM(B) follows

  RoundInput(const Ff1& cipher, const Rounds& r, std::string_view tweak)
      : message(r.messageSize(tweak.size())) {
    r.messagePrefix(tweak, message.bytes);
    roundByte = r.prefixSize(tweak.size());
    size_t fixed = roundByte / 16;
    mac(cipher, head, message.bytes.data(), fixed);
    tailOffset = fixed * 16;
    tailBlocks = message.bytes.size() / 16 - fixed;
  }

  // R = PRF(P || Q) once the round byte and NUM(B) are in place.
  Block run(const Ff1& cipher) const {
    Block y = head;
    mac(cipher, y, message.bytes.data() + tailOffset, tailBlocks);
    return y;
  }
};

// NUM_radix of a numeral string whose value is known to fit 64 bits.
uint64_t numSmall(std::span<const uint32_t> x, uint32_t radix) {
  uint64_t v = 0;
  for (uint32_t digit : x) v = v * radix + digit;
  return v;
}

void strSmall(uint64_t c, uint32_t radix, std::span<uint32_t> out) {
  for (size_t k = out.size(); k-- > 0;) {
    out[k] = static_cast<uint32_t>(c % radix);
    c /= radix;
  }
}

mpz_class numBig(std::span<const uint32_t> x, uint32_t radix) {
  mpz_class v;
  for (uint32_t digit : x) {
    mpz_mul_ui(v.get_mpz_t(), v.get_mpz_t(), radix);
    mpz_add_ui(v.get_mpz_t(), v.get_mpz_t(), digit);
  }
  return v;
}

// Consumes c: writes it as out.size() numerals, most significant first.
void strBig(mpz_class& c, uint32_t radix, std::span<uint32_t> out) {
  for (size_t k = out.size(); k-- > 0;) {
    out[k] = static_cast<uint32_t>(mpz_tdiv_q_ui(c.get_mpz_t(), c.get_mpz_t(), radix));
  }
  check(sgn(c) == 0, "FF1 value fits its numerals");
}

// Writes v big-endian into exactly out.size() bytes, zeros on the left.
void exportBytes(const mpz_class& v, std::span<uint8_t> out) {
  std::memset(out.data(), 0, out.size());
  size_t bytes = (mpz_sizeinbase(v.get_mpz_t(), 2) + 7) / 8;
  if (sgn(v) == 0) return;
  check(bytes <= out.size(), "FF1 value fits b bytes");
  size_t written = 0;
  mpz_export(out.data() + (out.size() - bytes), &written, 1, 1, 1, 0, v.get_mpz_t());
}

Vec<uint32_t> encryptSmall(const Ff1& cipher, const Rounds& r, std::span<const uint32_t> x,
                           std::string_view tweak) {
  uint64_t a = numSmall(x.first(r.u), cipher.radix);
  uint64_t b = numSmall(x.subspan(r.u), cipher.radix);
  RoundInput input(cipher, r, tweak);
  uint8_t* q = input.message.bytes.data() + input.roundByte;
  for (uint8_t i = 0; i < 10; ++i) {
    q[0] = i;
    for (size_t k = 0; k < r.b; ++k) q[1 + k] = static_cast<uint8_t>(b >> (8 * (r.b - 1 - k)));
    Block s = input.run(cipher);
    // d <= 12 here, so S is the head of R and y fits 96 bits.
    u128 y = 0;
    for (size_t k = 0; k < r.d; ++k) y = (y << 8) | s[k];
    uint64_t modulus = i % 2 == 0 ? r.powU : r.powV;
    // a < modulus and y < 2^96, so the sum cannot overflow 128 bits.
    uint64_t c = static_cast<uint64_t>((static_cast<u128>(a) + y) % modulus);
    a = b;
    b = c;
  }
  Vec<uint32_t> out(x.size());
  strSmall(a, cipher.radix, std::span<uint32_t>(out).first(r.u));
  strSmall(b, cipher.radix, std::span<uint32_t>(out).subspan(r.u));
  return out;
}

Vec<uint32_t> encryptWide(const Ff1& cipher, const Rounds& r, std::span<const uint32_t> x,
                          std::string_view tweak) {
  mpz_class a = numBig(x.first(r.u), cipher.radix);
  mpz_class b = numBig(x.subspan(r.u), cipher.radix);
  mpz_class y, c;
  RoundInput input(cipher, r, tweak);
  std::span<uint8_t> q = input.message.bytes.subspan(input.roundByte);
  // S = R || CIPH(R ^ [1]) || CIPH(R ^ [2]) || ..., whole blocks, cut to d.
  size_t sBlocks = (r.d + 15) / 16;
  Vec<uint8_t> s(sBlocks * 16);
  for (uint8_t i = 0; i < 10; ++i) {
    q[0] = i;
    exportBytes(b, q.subspan(1, r.b));
    Block rr = input.run(cipher);
    std::memcpy(s.data(), rr.data(), 16);
    for (size_t j = 1; j < sBlocks; ++j) {
      Block e = rr;
      // [j]^16: j big-endian in 16 bytes; j < 2^32 for any length FF1 takes.
      for (size_t k = 0; k < 4; ++k) e[15 - k] ^= static_cast<uint8_t>(j >> (8 * k));
      cipher.block(e);
      std::memcpy(s.data() + 16 * j, e.data(), 16);
    }
    mpz_import(y.get_mpz_t(), r.d, 1, 1, 1, 0, s.data());
    c = a + y;
    mpz_tdiv_r(c.get_mpz_t(), c.get_mpz_t(), (i % 2 == 0 ? r.bigPowU : r.bigPowV).get_mpz_t());
    std::swap(a, b);
    std::swap(b, c);
  }
  Vec<uint32_t> out(x.size());
  strBig(a, cipher.radix, std::span<uint32_t>(out).first(r.u));
  strBig(b, cipher.radix, std::span<uint32_t>(out).subspan(r.u));
  return out;
}

}  // namespace

Rounds Rounds::make(uint32_t radix, uint64_t n, uint64_t t, bool forceBig) {
  check(radix >= 2 && radix <= 65536, "FF1 radix is 2 to 65536");
  check(n >= 2 && n <= UINT32_MAX && t <= UINT32_MAX, "FF1 lengths fit");
  Rounds r;
  r.u = n / 2;
  r.v = n - r.u;
  uint64_t pow = 1;
  bool fits = true;
  for (uint64_t k = 0; k < r.v && fits; ++k) fits = !__builtin_mul_overflow(pow, radix, &pow);
  r.small = fits && !forceBig;
  if (r.small) {
    r.powV = pow;
    r.powU = 1;
    for (uint64_t k = 0; k < r.u; ++k) r.powU *= radix;
    r.b = (64 - static_cast<uint64_t>(__builtin_clzll(r.powV - 1)) + 7) / 8;
  } else {
    mpz_ui_pow_ui(r.bigPowU.get_mpz_t(), radix, r.u);
    mpz_ui_pow_ui(r.bigPowV.get_mpz_t(), radix, r.v);
    mpz_class top = r.bigPowV - 1;
    r.b = (mpz_sizeinbase(top.get_mpz_t(), 2) + 7) / 8;
  }
  r.d = 4 * ((r.b + 3) / 4) + 4;
  r.pad = (16 - (t + r.b + 1) % 16) % 16;
  r.p = {0x01, 0x02, 0x01,
         static_cast<uint8_t>(radix >> 16), static_cast<uint8_t>(radix >> 8), static_cast<uint8_t>(radix),
         0x0a, static_cast<uint8_t>(r.u),
         static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8),
         static_cast<uint8_t>(n),
         static_cast<uint8_t>(t >> 24), static_cast<uint8_t>(t >> 16), static_cast<uint8_t>(t >> 8),
         static_cast<uint8_t>(t)};
  return r;
}

void Rounds::messagePrefix(std::string_view tweak, std::span<uint8_t> out) const {
  check(out.size() >= messageSize(tweak.size()), "FF1 message buffer is large enough");
  std::memcpy(out.data(), p.data(), 16);
  if (!tweak.empty()) std::memcpy(out.data() + 16, tweak.data(), tweak.size());
  std::memset(out.data() + 16 + tweak.size(), 0, pad);
}

Ff1 Ff1::make(std::span<const uint8_t, 32> key, uint32_t radix) {
  check(radix >= 2 && radix <= 65536, "FF1 radix is 2 to 65536");
  Ff1 out;
  out.radix = radix;
  uint64_t pow = 1;
  do {
    pow *= radix;
    ++out.minimumLength;
  } while (pow <= 999999);
  check(AES_set_encrypt_key(key.data(), 256, &out.softwareKey) == 0, "AES-256 key schedule");
  out.hardware = aesInstructions();
  if (out.hardware) expandHardware(key.data(), out.roundKeys.data());
  return out;
}

void Ff1::block(Block& b) const {
  if (hardware) {
    blockHardware(roundKeys.data(), b);
  } else {
    AES_encrypt(b.data(), b.data(), &softwareKey);
  }
}

Block Ff1::prf(std::span<const uint8_t> bytes) const {
  check(bytes.size() % 16 == 0, "PRF input is whole blocks");
  Block y{};
  mac(*this, y, bytes.data(), bytes.size() / 16);
  return y;
}

Vec<uint32_t> Ff1::encrypt(std::span<const uint32_t> numerals, std::string_view tweak) const {
  checkInput(*this, numerals, tweak);
  Rounds r = Rounds::make(radix, numerals.size(), tweak.size(), false);
  return r.small ? encryptSmall(*this, r, numerals, tweak) : encryptWide(*this, r, numerals, tweak);
}

Vec<uint32_t> Ff1::encryptBig(std::span<const uint32_t> numerals, std::string_view tweak) const {
  checkInput(*this, numerals, tweak);
  Rounds r = Rounds::make(radix, numerals.size(), tweak.size(), true);
  return encryptWide(*this, r, numerals, tweak);
}

}  // namespace morvo
