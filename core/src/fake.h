// The fake strategies: plausible names, cities, companies and street
// addresses picked by keyed draws from the caller's word lists.
#pragma once

#include <optional>
#include <string_view>
#include <variant>

#include "common.h"
#include "keyed_hash.h"

namespace morvo {

enum class FakeKind : uint8_t { FirstName = 0, LastName = 1, Name = 2, City = 3, Company = 4, StreetAddress = 5 };

struct FakeLists {
  Vec<Text> firstNames;
  Vec<Text> lastNames;
  Vec<Text> cities;
  Vec<Text> companyWords;
  Vec<Text> companySuffixes;
  Vec<Text> streets;
  Vec<Text> streetKinds;
  Text address;
};

struct FakeStrategy {
  // To be completed by the fake unit (kind, lists, parsed pieces, maxLength).
  FakeKind kind = FakeKind::FirstName;
  FakeLists lists;
  std::optional<uint64_t> maxLength;

  // The strategy, or the construction error's message.
  static std::variant<FakeStrategy, Text> make(FakeKind kind, FakeLists lists,
                                               std::optional<uint64_t> maxLength);
  // The fake for a value's text (an integer's canonical decimal text).
  Text mask(const KeyedHash& hash, std::string_view message) const;
};

}  // namespace morvo
