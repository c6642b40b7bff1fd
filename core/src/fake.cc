#include "fake.h"

#include <array>
#include <charconv>

namespace morvo {

namespace {

struct NamedList {
  std::string_view key;
  const Vec<Text> FakeLists::*list;
};

// The lists each kind draws from, in the order their emptiness is reported.
std::span<const NamedList> listsOf(FakeKind kind) {
  static constexpr NamedList FIRST = {"firstNames", &FakeLists::firstNames};
  static constexpr NamedList LAST = {"lastNames", &FakeLists::lastNames};
  static constexpr NamedList CITIES = {"cities", &FakeLists::cities};
  static constexpr NamedList WORDS = {"companyWords", &FakeLists::companyWords};
  static constexpr NamedList SUFFIXES = {"companySuffixes", &FakeLists::companySuffixes};
  static constexpr NamedList STREETS = {"streets", &FakeLists::streets};
  static constexpr NamedList KINDS = {"streetKinds", &FakeLists::streetKinds};
  static constexpr std::array<NamedList, 1> FIRST_NAME = {FIRST};
  static constexpr std::array<NamedList, 1> LAST_NAME = {LAST};
  static constexpr std::array<NamedList, 2> NAME = {FIRST, LAST};
  static constexpr std::array<NamedList, 1> CITY = {CITIES};
  static constexpr std::array<NamedList, 2> COMPANY = {WORDS, SUFFIXES};
  static constexpr std::array<NamedList, 2> ADDRESS = {STREETS, KINDS};
  switch (kind) {
    case FakeKind::FirstName: return FIRST_NAME;
    case FakeKind::LastName: return LAST_NAME;
    case FakeKind::Name: return NAME;
    case FakeKind::City: return CITY;
    case FakeKind::Company: return COMPANY;
    case FakeKind::StreetAddress: return ADDRESS;
  }
  fail("unknown fake kind");
}

std::optional<Piece> placeholder(std::string_view name) {
  if (name == "number") return Piece{Piece::Number{}};
  if (name == "street") return Piece{Piece::Street{}};
  if (name == "kind") return Piece{Piece::Kind{}};
  return std::nullopt;
}

// A literal between placeholders; a "}" there has no opening brace.
bool addLiteral(Vec<Piece>& pieces, std::string_view literal) {
  if (literal.find('}') != std::string_view::npos) return false;
  if (!literal.empty()) pieces.push_back(Piece{Piece::Text{toText(literal)}});
  return true;
}

void join(Text& out, std::string_view a, std::string_view b) {
  out.reserve(a.size() + 1 + b.size());
  out.append(a);
  out.push_back(' ');
  out.append(b);
}

}  // namespace

namespace fake {

std::string_view pick(const KeyedHash& hash, std::span<const Text> list, std::string_view message,
                      std::string_view label) {
  uint64_t index = hash.below(message, list.size(), label);
  check(index < list.size(), "below a usize bound");
  return list[index];
}

std::optional<Vec<Piece>> parseAddress(std::string_view format) {
  Vec<Piece> pieces;
  size_t pos = 0;
  while (true) {
    size_t open = format.find('{', pos);
    if (open == std::string_view::npos) {
      if (!addLiteral(pieces, format.substr(pos))) return std::nullopt;
      return pieces;
    }
    if (!addLiteral(pieces, format.substr(pos, open - pos))) return std::nullopt;
    size_t close = format.find('}', open + 1);
    if (close == std::string_view::npos) return std::nullopt;
    std::optional<Piece> piece = placeholder(format.substr(open + 1, close - open - 1));
    if (!piece) return std::nullopt;
    pieces.push_back(std::move(*piece));
    pos = close + 1;
  }
}

void truncateCodePoints(Text& text, uint64_t maxLength) {
  // Count sequence starts (anything but a continuation byte); the cut falls
  // on the start of code point number maxLength, never inside a sequence.
  uint64_t seen = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<uint8_t>(text[i]) & 0xc0) == 0x80) continue;
    if (seen == maxLength) {
      text.resize(i);
      return;
    }
    ++seen;
  }
}

}  // namespace fake

std::variant<FakeStrategy, Text> FakeStrategy::make(FakeKind kind, FakeLists lists,
                                                    std::optional<uint64_t> maxLength) {
  for (const NamedList& named : listsOf(kind)) {
    if ((lists.*named.list).empty()) {
      Text message = toText(named.key);
      message += " is empty";
      return message;
    }
  }
  std::optional<Vec<Piece>> pieces = fake::parseAddress(lists.address);
  if (!pieces) {
    Text message = "unsupported address format ";
    message += quoted(lists.address);
    return message;
  }
  FakeStrategy out;
  out.kind = kind;
  out.lists = std::move(lists);
  out.pieces = std::move(*pieces);
  out.maxLength = maxLength;
  return out;
}

Text FakeStrategy::mask(const KeyedHash& hash, std::string_view message) const {
  using fake::pick;
  Text out;
  switch (kind) {
    case FakeKind::FirstName:
      out = toText(pick(hash, lists.firstNames, message, label::FIRST));
      break;
    case FakeKind::LastName:
      out = toText(pick(hash, lists.lastNames, message, label::LAST));
      break;
    case FakeKind::Name:
      join(out, pick(hash, lists.firstNames, message, label::FIRST),
           pick(hash, lists.lastNames, message, label::LAST));
      break;
    case FakeKind::City:
      out = toText(pick(hash, lists.cities, message, label::CITY));
      break;
    case FakeKind::Company:
      join(out, pick(hash, lists.companyWords, message, label::COMPANY),
           pick(hash, lists.companySuffixes, message, label::SUFFIX));
      break;
    case FakeKind::StreetAddress: {
      // Drawn once each, in this order, and repeated wherever a placeholder stands.
      uint64_t number = 1 + hash.below(message, HOUSE_NUMBER_BOUND, label::NUMBER);
      std::string_view street = pick(hash, lists.streets, message, label::STREET);
      std::string_view streetKind = pick(hash, lists.streetKinds, message, label::SUFFIX);
      char digits[20];
      auto [end, ec] = std::to_chars(digits, digits + sizeof digits, number);
      check(ec == std::errc(), "house number digits");
      std::string_view numberText(digits, static_cast<size_t>(end - digits));

      auto textOf = [&](const Piece& piece) -> std::string_view {
        if (auto* literal = std::get_if<Piece::Text>(&piece.value)) return literal->text;
        if (std::holds_alternative<Piece::Number>(piece.value)) return numberText;
        if (std::holds_alternative<Piece::Street>(piece.value)) return street;
        return streetKind;
      };
      size_t size = 0;
      for (const Piece& piece : pieces) size += textOf(piece).size();
      out.reserve(size);
      for (const Piece& piece : pieces) out.append(textOf(piece));
      break;
    }
  }
  if (maxLength) fake::truncateCodePoints(out, *maxLength);
  return out;
}

}  // namespace morvo
