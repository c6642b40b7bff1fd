#include "cheap.h"

#include <algorithm>
#include <cstring>

namespace morvo {

namespace {

constexpr uint64_t HIGH_BITS = 0x8080808080808080ULL;
constexpr uint64_t ONES = 0x0101010101010101ULL;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The bytes that Python's str.strip() removes from ASCII text.
bool isStripped(char c) {
  return (c >= 0x09 && c <= 0x0d) || (c >= 0x1c && c <= 0x20);
}

std::string_view trim(std::string_view s) {
  size_t begin = 0;
  size_t end = s.size();
  while (begin < end && isStripped(s[begin])) ++begin;
  while (end > begin && isStripped(s[end - 1])) --end;
  return s.substr(begin, end - begin);
}

// Lowers 'A'..'Z' eight bytes at a time. Only valid for ASCII: with every
// byte below 0x80 the per-byte additions cannot carry into the next byte.
uint64_t lowerWord(uint64_t word) {
  uint64_t atLeastA = word + ONES * (0x80 - 'A');
  uint64_t aboveZ = word + ONES * (0x80 - 'Z' - 1);
  uint64_t upper = atLeastA & ~aboveZ & HIGH_BITS;
  return word | (upper >> 2);
}

Text lowerAscii(std::string_view s) {
  Text out(s.size(), '\0');
  size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, s.data() + i, 8);
    word = lowerWord(word);
    std::memcpy(out.data() + i, &word, 8);
  }
  for (; i < s.size(); ++i) {
    char c = s[i];
    out[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
  }
  return out;
}

}  // namespace

Outcome<Text> maskDigitRun(const KeyedHash& hash, std::string_view run, uint64_t keepLeading,
                           uint64_t keepTrailing) {
  const size_t n = run.size();
  // The counts are summed in 128 bits: a 64-bit sum could wrap to a small
  // number and let a fully kept run through as if it had been masked.
  const u128 kept = static_cast<u128>(keepLeading) + keepTrailing;
  if (n > 0 && n <= kept) return Fallback{};

  // Bytes 250..255 are dropped so that every digit is equally likely; the
  // surviving bytes are compacted to the front of the stream in place.
  Vec<uint8_t> stream = hash.expand(run, 2 * n + 32, label::NONE);
  size_t count = 0;
  for (uint8_t b : stream) {
    if (b <= 249) stream[count++] = static_cast<uint8_t>(b % 10);
  }
  if (count == 0) return Fallback{};

  Text out(n, '\0');
  for (size_t k = 0; k < n; ++k) {
    bool keptHere = k < keepLeading || static_cast<u128>(keepTrailing) + k >= n;
    out[k] = keptHere ? run[k] : static_cast<char>('0' + stream[k % count]);
  }
  return out;
}

Outcome<Text> maskDigitsText(const KeyedHash& hash, std::string_view text, uint64_t keepLeading,
                             uint64_t keepTrailing) {
  if (!isAscii(text)) return Fallback{};
  Text run;
  for (char c : text) {
    if (isDigit(c)) run.push_back(c);
  }
  if (run.empty()) return toText(text);

  Outcome<Text> masked = maskDigitRun(hash, run, keepLeading, keepTrailing);
  Text* digits = std::get_if<Text>(&masked);
  if (digits == nullptr) return masked;
  check(digits->size() == run.size(), "one per digit");

  Text out = toText(text);
  size_t next = 0;
  for (char& c : out) {
    if (isDigit(c)) c = (*digits)[next++];
  }
  check(isAscii(out), "ASCII in, ASCII out");
  return out;
}

Outcome<Integer> maskDigitsInteger(const KeyedHash& hash, const Integer& value,
                                   uint64_t keepLeading, uint64_t keepTrailing) {
  const Text run = magnitudeDigits(value.magnitude);
  Outcome<Text> masked = maskDigitRun(hash, run, keepLeading, keepTrailing);
  Text* digits = std::get_if<Text>(&masked);
  if (digits == nullptr) return Fallback{};

  // A leading zero would shorten the integer; its replacement depends only on
  // the unmasked digits so that it stays repeatable.
  if (digits->size() > 1 && (*digits)[0] == '0') {
    (*digits)[0] = static_cast<char>('1' + hash.below(run, 9, label::LEAD));
  }
  return Integer::fromMagnitude(value.negative(), magnitudeFromDigits(*digits));
}

Text maskHash(const KeyedHash& hash, std::string_view message, uint64_t length,
              std::string_view prefix) {
  return hashText(hash.digest(message, label::NONE), length, prefix);
}

Text hashText(const Digest& d, uint64_t length, std::string_view prefix) {
  Text out(hashTextSize(length, prefix), '\0');
  writeHashText(d, length, prefix, out.data());
  return out;
}

size_t hashTextSize(uint64_t length, std::string_view prefix) {
  return prefix.size() + static_cast<size_t>(std::min<uint64_t>(length, 2 * sizeof(Digest)));
}

void writeHashText(const Digest& d, uint64_t length, std::string_view prefix, char* out) {
  static constexpr char HEX[] = "0123456789abcdef";
  if (!prefix.empty()) std::memcpy(out, prefix.data(), prefix.size());
  char* hex = out + prefix.size();
  const size_t chars = hashTextSize(length, prefix) - prefix.size();
  for (size_t i = 0; i < chars; ++i) {
    uint8_t byte = d[i / 2];
    hex[i] = HEX[(i % 2 == 0) ? byte >> 4 : byte & 0x0f];
  }
}

Outcome<Text> maskEmail(const KeyedHash& hash, std::string_view text, uint64_t length,
                        std::string_view mailDomain, bool keepDomain) {
  const std::optional<Text> message = emailMessage(text);
  if (!message) return Fallback{};
  return emailFromDigest(hash.digest(*message, label::NONE), text, length, mailDomain, keepDomain);
}

std::optional<Text> emailMessage(std::string_view text) {
  if (!isAscii(text)) return std::nullopt;
  return lowerAscii(trim(text));
}

Text emailFromDigest(const Digest& digest, std::string_view text, uint64_t length, std::string_view mailDomain,
                     bool keepDomain) {
  const std::string_view domain = emailDomain(text, mailDomain, keepDomain);
  Text out(emailTextSize(length, domain), '\0');
  writeEmailText(digest, length, domain, out.data());
  return out;
}

namespace {

constexpr std::string_view LOCAL_PREFIX = "u";

}  // namespace

std::string_view emailDomain(std::string_view text, std::string_view mailDomain, bool keepDomain) {
  if (!keepDomain) return mailDomain;
  const std::string_view trimmed = trim(text);
  const size_t at = trimmed.rfind('@');
  return at == std::string_view::npos ? mailDomain : trimmed.substr(at + 1);
}

size_t emailTextSize(uint64_t length, std::string_view domain) {
  return hashTextSize(length, LOCAL_PREFIX) + 1 + domain.size();
}

void writeEmailText(const Digest& digest, uint64_t length, std::string_view domain, char* out) {
  writeHashText(digest, length, LOCAL_PREFIX, out);
  out += hashTextSize(length, LOCAL_PREFIX);
  *out++ = '@';
  if (!domain.empty()) std::memcpy(out, domain.data(), domain.size());
}

}  // namespace morvo
