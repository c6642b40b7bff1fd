// The light strategies: keyed digit substitution ("digits"), truncated keyed
// hexadecimal digests ("hash") and keyed e-mail local parts ("email").
#pragma once

#include <optional>
#include <string_view>

#include "common.h"
#include "integer.h"
#include "keyed_hash.h"

namespace morvo {

// A reserved, non-routable test domain.
inline constexpr std::string_view DEFAULT_MAIL_DOMAIN = "example.invalid";

// A run of ASCII digits with keyed substitutes everywhere except the first
// keepLeading and last keepTrailing digits; FALLBACK when those cover the run.
Outcome<Text> maskDigitRun(const KeyedHash& hash, std::string_view run, uint64_t keepLeading,
                           uint64_t keepTrailing);
// Every digit of an ASCII text masked as one run, everything else in place;
// FALLBACK for non-ASCII text or a fully kept run.
Outcome<Text> maskDigitsText(const KeyedHash& hash, std::string_view text, uint64_t keepLeading,
                             uint64_t keepTrailing);
// The magnitude's digits masked as one run, never gaining a leading zero; the
// sign carries over (zero has none).
Outcome<Integer> maskDigitsInteger(const KeyedHash& hash, const Integer& value,
                                   uint64_t keepLeading, uint64_t keepTrailing);
// prefix and the first min(length, 64) lowercase hex digits of the keyed
// digest of message; one digest per call.
Text maskHash(const KeyedHash& hash, std::string_view message, uint64_t length,
              std::string_view prefix);
// maskHash's text from the digest, for callers that compute digests many at a
// time (KeyedHash::digestMany of the messages under label::NONE).
Text hashText(const Digest& digest, uint64_t length, std::string_view prefix);
// Its size, and the text written to out (of that size), for callers that
// keep it in storage of their own.
size_t hashTextSize(uint64_t length, std::string_view prefix);
void writeHashText(const Digest& digest, uint64_t length, std::string_view prefix, char* out);
// "u" and hex of the stripped, lowered address, "@", then mailDomain or (with
// keepDomain) what follows the last "@"; FALLBACK for non-ASCII text.
Outcome<Text> maskEmail(const KeyedHash& hash, std::string_view text, uint64_t length,
                        std::string_view mailDomain, bool keepDomain);
// maskEmail in two steps around its digest, for callers that compute digests
// many at a time: the message to digest under label::NONE (none where
// maskEmail gives FALLBACK), then the result from that digest.
std::optional<Text> emailMessage(std::string_view text);
Text emailFromDigest(const Digest& digest, std::string_view text, uint64_t length, std::string_view mailDomain,
                     bool keepDomain);
// The result's domain: mailDomain, or with keepDomain what follows the last
// "@" of the stripped text, when it has one. Then the result's size, and the
// result written to out (of that size).
std::string_view emailDomain(std::string_view text, std::string_view mailDomain, bool keepDomain);
size_t emailTextSize(uint64_t length, std::string_view domain);
void writeEmailText(const Digest& digest, uint64_t length, std::string_view domain, char* out);

}  // namespace morvo
