// The fake strategies: plausible names, cities, companies and street
// addresses picked by keyed draws from the caller's word lists.
#pragma once

#include <optional>
#include <span>
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
  Text address;  // the street-address format, e.g. "{number} {street} {kind}"
};

// One element of a parsed address format: a literal or a placeholder.
struct Piece {
  struct Text {
    morvo::Text text;  // never empty
    bool operator==(const Text&) const = default;
  };
  struct Number {
    bool operator==(const Number&) const = default;
  };
  struct Street {
    bool operator==(const Street&) const = default;
  };
  struct Kind {
    bool operator==(const Kind&) const = default;
  };
  std::variant<Text, Number, Street, Kind> value;
  bool operator==(const Piece&) const = default;
};

inline constexpr uint64_t HOUSE_NUMBER_BOUND = 9999;

struct FakeStrategy {
  FakeKind kind = FakeKind::FirstName;
  FakeLists lists;
  Vec<Piece> pieces;  // lists.address, parsed once
  std::optional<uint64_t> maxLength;  // in code points

  // The strategy, or the construction error's message: "<key> is empty" for
  // the first empty list the kind uses, then "unsupported address format "
  // and the quoted format. The format is checked for every kind.
  static std::variant<FakeStrategy, Text> make(FakeKind kind, FakeLists lists,
                                               std::optional<uint64_t> maxLength);
  // The fake for a value's text (an integer's canonical decimal text).
  Text mask(const KeyedHash& hash, std::string_view message) const;
};

namespace fake {
// The entry of a non-empty list at the keyed index below(message, size, label);
// borrowed from the list.
std::string_view pick(const KeyedHash& hash, std::span<const Text> list, std::string_view message,
                      std::string_view label);
// The address format's pieces, or nothing when the format is malformed.
std::optional<Vec<Piece>> parseAddress(std::string_view format);
// The first maxLength code points of a UTF-8 text, cut on a sequence boundary.
void truncateCodePoints(Text& text, uint64_t maxLength);
}  // namespace fake

}  // namespace morvo
