// The light strategies: keyed digit substitution ("digits"), truncated keyed
// hexadecimal digests ("hash") and keyed e-mail local parts ("email").
#pragma once

#include <string_view>

#include "common.h"
#include "integer.h"
#include "keyed_hash.h"

namespace morvo {

// A reserved, non-routable test domain.
inline constexpr std::string_view DEFAULT_MAIL_DOMAIN = "example.invalid";

Outcome<Text> maskDigitRun(const KeyedHash& hash, std::string_view run, uint64_t keepLeading,
                           uint64_t keepTrailing);
Outcome<Text> maskDigitsText(const KeyedHash& hash, std::string_view text, uint64_t keepLeading,
                             uint64_t keepTrailing);
Outcome<Integer> maskDigitsInteger(const KeyedHash& hash, const Integer& value,
                                   uint64_t keepLeading, uint64_t keepTrailing);
Text maskHash(const KeyedHash& hash, std::string_view message, uint64_t length,
              std::string_view prefix);
Outcome<Text> maskEmail(const KeyedHash& hash, std::string_view text, uint64_t length,
                        std::string_view mailDomain, bool keepDomain);

}  // namespace morvo
