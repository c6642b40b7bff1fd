// The fake strategies from arbitrary word lists, address formats and
// maxLength: construction refuses exactly an empty list that the kind uses or
// a malformed format, a parsed format writes back to itself, and every fake is
// made of list entries (cut on a code point boundary when maxLength is set).
#include <algorithm>

#include "fake.h"
#include "fuzz.h"

namespace morvo {
namespace {

Vec<Text> wordList(FuzzedDataProvider& in) {
  Vec<Text> list;
  size_t n = in.ConsumeIntegralInRange<size_t>(0, 4);
  for (size_t i = 0; i < n; ++i) list.push_back(toText(in.ConsumeRandomLengthString(12)));
  return list;
}

bool contains(const Vec<Text>& list, std::string_view s) {
  return std::any_of(list.begin(), list.end(), [&](const Text& t) { return std::string_view(t) == s; });
}

// The format written back from its pieces.
std::string unparse(const Vec<Piece>& pieces) {
  std::string out;
  for (const Piece& p : pieces) {
    if (auto* t = std::get_if<Piece::Text>(&p.value)) {
      REQUIRE(!t->text.empty());
      out += fuzz::str(t->text);
    } else if (std::holds_alternative<Piece::Number>(p.value)) {
      out += "{number}";
    } else if (std::holds_alternative<Piece::Street>(p.value)) {
      out += "{street}";
    } else {
      out += "{kind}";
    }
  }
  return out;
}

uint64_t codePoints(std::string_view s) {
  return static_cast<uint64_t>(std::count_if(s.begin(), s.end(), [](char c) { return (static_cast<uint8_t>(c) & 0xc0) != 0x80; }));
}

// Without a cut: the fake is an entry, or two joined by one space.
bool joined(std::string_view fake, const Vec<Text>& first, const Vec<Text>& second) {
  return std::any_of(first.begin(), first.end(), [&](const Text& a) {
    return fake.size() > a.size() && fake.substr(0, a.size()) == std::string_view(a) && fake[a.size()] == ' ' &&
           contains(second, fake.substr(a.size() + 1));
  });
}

// The address as the format says: literals in place, the number 1 to 9999,
// a street and a kind from their lists, the same at every repetition.
bool address(std::string_view fake, const Vec<Piece>& pieces, const FakeLists& lists) {
  // Walk the pieces, trying every entry for each placeholder the first time it appears.
  struct State {
    size_t pos;
    std::optional<std::string> number, street, kind;
  };
  std::vector<State> states{{0, {}, {}, {}}};
  for (const Piece& p : pieces) {
    std::vector<State> next;
    for (const State& s : states) {
      auto take = [&](std::string_view piece, State n) {
        if (fake.substr(s.pos, piece.size()) == piece && s.pos + piece.size() <= fake.size()) {
          n.pos = s.pos + piece.size();
          next.push_back(std::move(n));
        }
      };
      if (auto* t = std::get_if<Piece::Text>(&p.value)) {
        take(t->text, s);
      } else if (std::holds_alternative<Piece::Number>(p.value)) {
        if (s.number) {
          take(*s.number, s);
        } else {
          size_t end = s.pos;
          while (end < fake.size() && end - s.pos < 4 && fake[end] >= '0' && fake[end] <= '9') {
            ++end;
            std::string digits(fake.substr(s.pos, end - s.pos));
            if (digits[0] == '0') break;
            State n = s;
            n.number = digits;
            take(digits, n);
          }
        }
      } else {
        bool street = std::holds_alternative<Piece::Street>(p.value);
        auto& chosen = street ? s.street : s.kind;
        if (chosen) {
          take(*chosen, s);
        } else {
          for (const Text& entry : street ? lists.streets : lists.streetKinds) {
            State n = s;
            (street ? n.street : n.kind) = fuzz::str(entry);
            take(entry, n);
          }
        }
      }
    }
    states = std::move(next);
    if (states.size() > 4096) return true;  // too ambiguous to decide cheaply
  }
  return std::any_of(states.begin(), states.end(), [&](const State& s) { return s.pos == fake.size(); });
}

}  // namespace
}  // namespace morvo

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace morvo;
  return fuzz::run(data, size, [](FuzzedDataProvider& in) {
    KeyedHash hash = fuzz::keyedHash(in);
    auto kind = static_cast<FakeKind>(in.ConsumeIntegralInRange<int>(0, 5));
    FakeLists lists;
    lists.firstNames = wordList(in);
    lists.lastNames = wordList(in);
    lists.cities = wordList(in);
    lists.companyWords = wordList(in);
    lists.companySuffixes = wordList(in);
    lists.streets = wordList(in);
    lists.streetKinds = wordList(in);
    lists.address = toText(in.ConsumeRandomLengthString(40));
    std::optional<uint64_t> maxLength;
    if (in.ConsumeBool()) maxLength = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint64_t>(0, 20) : in.ConsumeIntegral<uint64_t>();

    auto pieces = fake::parseAddress(lists.address);
    if (pieces) REQUIRE(unparse(*pieces) == fuzz::str(lists.address));

    const FakeLists copy = lists;
    auto made = FakeStrategy::make(kind, std::move(lists), maxLength);
    bool emptyUsed = false;
    switch (kind) {
      case FakeKind::FirstName: emptyUsed = copy.firstNames.empty(); break;
      case FakeKind::LastName: emptyUsed = copy.lastNames.empty(); break;
      case FakeKind::Name: emptyUsed = copy.firstNames.empty() || copy.lastNames.empty(); break;
      case FakeKind::City: emptyUsed = copy.cities.empty(); break;
      case FakeKind::Company: emptyUsed = copy.companyWords.empty() || copy.companySuffixes.empty(); break;
      case FakeKind::StreetAddress: emptyUsed = copy.streets.empty() || copy.streetKinds.empty(); break;
    }
    REQUIRE(std::holds_alternative<FakeStrategy>(made) == (!emptyUsed && pieces.has_value()));
    if (!std::holds_alternative<FakeStrategy>(made)) return;
    FakeStrategy& s = std::get<FakeStrategy>(made);

    while (in.remaining_bytes() > 0) {
      std::string message = in.ConsumeRandomLengthString(32);
      Text fake = s.mask(hash, message);
      REQUIRE(fake == s.mask(hash, message));
      // The uncut fake, from the same strategy without maxLength.
      FakeStrategy whole = s;
      whole.maxLength.reset();
      Text full = whole.mask(hash, message);
      if (maxLength) {
        REQUIRE(std::string_view(full).substr(0, fake.size()) == std::string_view(fake));
        REQUIRE(codePoints(fake) == std::min(*maxLength, codePoints(full)));
      } else {
        REQUIRE(fake == full);
      }
      std::string_view f = full;
      switch (kind) {
        case FakeKind::FirstName: REQUIRE(contains(copy.firstNames, f)); break;
        case FakeKind::LastName: REQUIRE(contains(copy.lastNames, f)); break;
        case FakeKind::Name: REQUIRE(joined(f, copy.firstNames, copy.lastNames)); break;
        case FakeKind::City: REQUIRE(contains(copy.cities, f)); break;
        case FakeKind::Company: REQUIRE(joined(f, copy.companyWords, copy.companySuffixes)); break;
        case FakeKind::StreetAddress: REQUIRE(address(f, s.pieces, copy)); break;
      }
    }
  });
}
