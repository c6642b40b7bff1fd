#include "common.h"

#include <cstdio>
#include <cstring>

namespace morvo {

void fail(const char* message) { throw InternalError(message); }

Text tooLongMessage(std::string_view strategy) {
  Text out = "the ";
  out.append(strategy);
  out += " strategy masks identifiers of up to ";
  out += std::to_string(IDENTIFIER_LIMIT).c_str();
  out += " characters or digits, and this value is longer; use hash, redact or null for long values";
  return out;
}

bool isAscii(std::string_view s) {
  const char* p = s.data();
  size_t n = s.size();
  uint64_t acc = 0;
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    acc |= word;
  }
  for (; n > 0; ++p, --n) acc |= static_cast<uint8_t>(*p);
  return (acc & 0x8080808080808080ULL) == 0;
}

}  // namespace morvo

namespace morvo {

namespace {

// Characters shown as \u{...}: controls, and the invisible format and
// separator characters that would otherwise hide inside a message.
bool printable(uint32_t c) {
  if (c < 0x20 || c == 0x7f || (c >= 0x80 && c < 0xa0)) return false;
  if (c == 0xad || c == 0x34f || c == 0x61c || c == 0x180e) return false;
  if ((c >= 0x200b && c <= 0x200f) || (c >= 0x2028 && c <= 0x202e)) return false;
  if ((c >= 0x2060 && c <= 0x206f) || c == 0xfeff) return false;
  if ((c >= 0xfff0 && c <= 0xfffb) || (c >= 0xe000 && c <= 0xf8ff)) return false;
  if (c >= 0xf0000) return false;
  return true;
}

// Decodes one UTF-8 sequence at s[i]; invalid bytes come back as themselves.
uint32_t decodeOne(std::string_view s, size_t& i) {
  auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  uint8_t b = byte(i);
  size_t extra = b >= 0xf0 ? 3 : b >= 0xe0 ? 2 : b >= 0xc0 ? 1 : 0;
  if (extra == 0 || i + extra >= s.size()) {
    ++i;
    return b;
  }
  uint32_t c = b & (0x3f >> extra);
  for (size_t k = 1; k <= extra; ++k) c = (c << 6) | (byte(i + k) & 0x3f);
  i += extra + 1;
  return c;
}

}  // namespace

Text quoted(std::string_view text) {
  Text out = "\"";
  for (size_t i = 0; i < text.size();) {
    size_t start = i;
    uint32_t c = decodeOne(text, i);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case 0: out += "\\0"; continue;
      default: break;
    }
    if (printable(c)) {
      out.append(text.substr(start, i - start));
    } else {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", c);
      out += buf;
    }
  }
  out += "\"";
  return out;
}

}  // namespace morvo
