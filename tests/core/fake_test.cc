#include "fake.h"

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <string>
#include <tuple>

namespace morvo {
namespace {

KeyedHash keyOf(uint8_t fill) {
  std::array<uint8_t, 32> subkey;
  subkey.fill(fill);
  return KeyedHash::fromSubkey(subkey);
}

const KeyedHash& key() {
  static const KeyedHash hash = keyOf(3);
  return hash;
}

std::string str(const Text& t) { return std::string(t.data(), t.size()); }

Vec<Text> words(std::initializer_list<std::string_view> items) {
  Vec<Text> out;
  for (std::string_view item : items) out.push_back(toText(item));
  return out;
}

FakeLists oneEach(std::string_view address = "") {
  FakeLists lists;
  lists.firstNames = words({"Ada"});
  lists.lastNames = words({"Lovelace"});
  lists.cities = words({"Turin"});
  lists.companyWords = words({"Acme"});
  lists.companySuffixes = words({"Ltd"});
  lists.streets = words({"Elm"});
  lists.streetKinds = words({"Road"});
  lists.address = toText(address);
  return lists;
}

FakeStrategy build(FakeKind kind, FakeLists lists, std::optional<uint64_t> maxLength = std::nullopt) {
  auto made = FakeStrategy::make(kind, std::move(lists), maxLength);
  if (auto* error = std::get_if<Text>(&made)) {
    ADD_FAILURE() << "construction refused: " << str(*error);
    return FakeStrategy{};
  }
  return std::move(std::get<FakeStrategy>(made));
}

std::string errorOf(FakeKind kind, FakeLists lists) {
  auto made = FakeStrategy::make(kind, std::move(lists), std::nullopt);
  auto* error = std::get_if<Text>(&made);
  return error ? str(*error) : "<built>";
}

// ------------------------------------------------------------ construction

class OneEntryLists : public testing::TestWithParam<std::tuple<FakeKind, std::string>> {};

TEST_P(OneEntryLists, AlwaysGiveThatEntry) {
  auto [kind, expected] = GetParam();
  FakeStrategy fake = build(kind, oneEach());
  for (std::string_view value : {"", "x", "42", "-7", "a much longer value \xc3\xa9"}) {
    EXPECT_EQ(str(fake.mask(key(), value)), expected) << value;
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, OneEntryLists,
                         testing::Values(std::make_tuple(FakeKind::FirstName, "Ada"),
                                         std::make_tuple(FakeKind::LastName, "Lovelace"),
                                         std::make_tuple(FakeKind::Name, "Ada Lovelace"),
                                         std::make_tuple(FakeKind::City, "Turin"),
                                         std::make_tuple(FakeKind::Company, "Acme Ltd"),
                                         std::make_tuple(FakeKind::StreetAddress, "")));

// The first empty list the kind uses is named, in the kind's own order;
// lists the kind does not use may be empty.
class EmptyLists : public testing::TestWithParam<std::tuple<FakeKind, std::vector<Vec<Text> FakeLists::*>, std::string>> {};

TEST_P(EmptyLists, ReportTheFirstEmptyListTheKindUses) {
  auto [kind, emptied, expected] = GetParam();
  FakeLists lists = oneEach("{bad}");
  for (auto member : emptied) (lists.*member).clear();
  if (expected.empty()) {
    EXPECT_EQ(errorOf(kind, std::move(lists)), "unsupported address format \"{bad}\"");
  } else {
    EXPECT_EQ(errorOf(kind, std::move(lists)), expected);
  }
}

using L = FakeLists;
INSTANTIATE_TEST_SUITE_P(
    Kinds, EmptyLists,
    testing::Values(
        std::make_tuple(FakeKind::FirstName, std::vector{&L::firstNames}, "firstNames is empty"),
        std::make_tuple(FakeKind::LastName, std::vector{&L::lastNames}, "lastNames is empty"),
        std::make_tuple(FakeKind::Name, std::vector{&L::lastNames, &L::firstNames}, "firstNames is empty"),
        std::make_tuple(FakeKind::Name, std::vector{&L::lastNames}, "lastNames is empty"),
        std::make_tuple(FakeKind::City, std::vector{&L::cities}, "cities is empty"),
        std::make_tuple(FakeKind::Company, std::vector{&L::companySuffixes, &L::companyWords},
                        "companyWords is empty"),
        std::make_tuple(FakeKind::Company, std::vector{&L::companySuffixes}, "companySuffixes is empty"),
        std::make_tuple(FakeKind::StreetAddress, std::vector{&L::streetKinds, &L::streets}, "streets is empty"),
        std::make_tuple(FakeKind::StreetAddress, std::vector{&L::streetKinds}, "streetKinds is empty"),
        // Unused lists may be empty; the format is then what fails.
        std::make_tuple(FakeKind::City, std::vector{&L::streets, &L::firstNames, &L::companyWords}, ""),
        std::make_tuple(FakeKind::StreetAddress, std::vector{&L::cities, &L::lastNames}, "")));

TEST(FakeStrategy, CityAcceptsAnEmptyStreetList) {
  FakeLists lists = oneEach();
  lists.streets.clear();
  lists.streetKinds.clear();
  EXPECT_EQ(str(build(FakeKind::City, std::move(lists)).mask(key(), "v")), "Turin");
}

// ----------------------------------------------------------- address format

struct FormatCase {
  std::string format;
  bool valid;
  std::string rendered;  // with number N, street Elm, kind Road
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << '"' << c.format << '"'; }

class AddressFormat : public testing::TestWithParam<FormatCase> {};

TEST_P(AddressFormat, ParsesTheGrammarOrRefusesWithTheQuotedFormat) {
  const FormatCase& c = GetParam();
  for (FakeKind kind : {FakeKind::StreetAddress, FakeKind::City, FakeKind::FirstName}) {
    auto made = FakeStrategy::make(kind, oneEach(c.format), std::nullopt);
    if (!c.valid) {
      ASSERT_TRUE(std::holds_alternative<Text>(made)) << c.format;
      EXPECT_EQ(str(std::get<Text>(made)), "unsupported address format " + str(morvo::quoted(std::string_view(c.format))));
      continue;
    }
    ASSERT_TRUE(std::holds_alternative<FakeStrategy>(made)) << c.format;
    if (kind != FakeKind::StreetAddress) continue;
    const FakeStrategy& fake = std::get<FakeStrategy>(made);
    std::string number = std::to_string(1 + key().below("v", 9999, "number"));
    std::string expected = c.rendered;
    for (size_t at; (at = expected.find('N')) != std::string::npos;) expected.replace(at, 1, number);
    EXPECT_EQ(str(fake.mask(key(), "v")), expected) << c.format;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, AddressFormat,
    testing::Values(FormatCase{"", true, ""}, FormatCase{"{number} {street} {kind}", true, "N Elm Road"},
                    FormatCase{"{street}{street}", true, "ElmElm"},
                    FormatCase{"{number}-{number}, {kind}", true, "N-N, Road"},
                    FormatCase{"Flat 3, {street} {kind} {number}", true, "Flat 3, Elm Road N"},
                    FormatCase{"plain text", true, "plain text"}, FormatCase{"{kind}.", true, "Road."},
                    FormatCase{"{Number}", false, ""}, FormatCase{"{num}", false, ""},
                    FormatCase{"{}", false, ""}, FormatCase{"{number", false, ""},
                    FormatCase{"number}", false, ""}, FormatCase{"a}b", false, ""},
                    FormatCase{"{number}}", false, ""}, FormatCase{"{{number}", false, ""},
                    FormatCase{"{ number}", false, ""}, FormatCase{"{street}{", false, ""},
                    FormatCase{"say \"hi\"\t{x}", false, ""}));

TEST(AddressFormat, PiecesAreLiteralsAndPlaceholdersInOrder) {
  auto pieces = fake::parseAddress("No. {number}, {street}{kind}");
  ASSERT_TRUE(pieces);
  Vec<Piece> expected{Piece{Piece::Text{toText("No. ")}}, Piece{Piece::Number{}},
                      Piece{Piece::Text{toText(", ")}}, Piece{Piece::Street{}}, Piece{Piece::Kind{}}};
  EXPECT_EQ(*pieces, expected);
  EXPECT_TRUE(fake::parseAddress("")->empty());
}

TEST(AddressFormat, RefusalEscapesTheFormat) {
  EXPECT_EQ(errorOf(FakeKind::City, oneEach("say \"hi\"\t{x}")),
            "unsupported address format \"say \\\"hi\\\"\\t{x}\"");
}

// ------------------------------------------------------------------ masking

FakeLists tenEach(std::string_view address) {
  FakeLists lists;
  for (int i = 0; i < 10; ++i) {
    std::string s = std::to_string(i);
    lists.firstNames.push_back(toText("F" + s));
    lists.lastNames.push_back(toText("L" + s));
    lists.cities.push_back(toText("C" + s));
    lists.companyWords.push_back(toText("W" + s));
    lists.companySuffixes.push_back(toText("S" + s));
    lists.streets.push_back(toText("R" + s));
    lists.streetKinds.push_back(toText("K" + s));
  }
  lists.address = toText(address);
  return lists;
}

// Each part comes from its own label; a swapped label or list shows here.
TEST(FakeMask, PartsMatchRecomputedPicksUnderTheirLabels) {
  FakeLists lists = tenEach("{number} {street} {kind}");
  auto at = [&](std::string_view value, std::string_view label, const Vec<Text>& list) {
    return str(list[key().below(value, list.size(), label)]);
  };
  for (std::string_view value : {"Alice", "Bob", "42", ""}) {
    EXPECT_EQ(str(build(FakeKind::FirstName, tenEach("")).mask(key(), value)), at(value, "first", lists.firstNames));
    EXPECT_EQ(str(build(FakeKind::LastName, tenEach("")).mask(key(), value)), at(value, "last", lists.lastNames));
    EXPECT_EQ(str(build(FakeKind::City, tenEach("")).mask(key(), value)), at(value, "city", lists.cities));
    EXPECT_EQ(str(build(FakeKind::Name, tenEach("")).mask(key(), value)),
              at(value, "first", lists.firstNames) + " " + at(value, "last", lists.lastNames));
    EXPECT_EQ(str(build(FakeKind::Company, tenEach("")).mask(key(), value)),
              at(value, "company", lists.companyWords) + " " + at(value, "suffix", lists.companySuffixes));
    EXPECT_EQ(str(build(FakeKind::StreetAddress, tenEach("{number} {street} {kind}")).mask(key(), value)),
              std::to_string(1 + key().below(value, 9999, "number")) + " " + at(value, "street", lists.streets) +
                  " " + at(value, "suffix", lists.streetKinds));
    EXPECT_EQ(fake::pick(key(), lists.cities, value, "city"), at(value, "city", lists.cities));
  }
}

TEST(FakeMask, HouseNumbersStayWithin1To9999WithoutLeadingZeros) {
  FakeStrategy fake = build(FakeKind::StreetAddress, oneEach("{number}"));
  std::set<std::string> seen;
  for (int i = 0; i < 3000; ++i) {
    std::string n = str(fake.mask(key(), std::to_string(i)));
    ASSERT_FALSE(n.empty());
    EXPECT_NE(n[0], '0') << n;
    int v = std::stoi(n);
    EXPECT_GE(v, 1);
    EXPECT_LE(v, 9999);
    seen.insert(n);
  }
  EXPECT_GT(seen.size(), 2000u);  // a constant or narrow draw would show
}

TEST(FakeMask, ChoiceDependsOnSubkeyAndListOrder) {
  FakeLists lists = tenEach("");
  FakeLists reversed = tenEach("");
  std::reverse(reversed.cities.begin(), reversed.cities.end());
  FakeStrategy a = build(FakeKind::City, std::move(lists));
  FakeStrategy b = build(FakeKind::City, std::move(reversed));
  KeyedHash other = keyOf(4);
  int sameOrder = 0, sameKey = 0;
  for (int i = 0; i < 200; ++i) {
    std::string v = "value " + std::to_string(i);
    EXPECT_EQ(a.mask(key(), v), a.mask(key(), v));
    sameOrder += a.mask(key(), v) == b.mask(key(), v);
    sameKey += a.mask(key(), v) == a.mask(other, v);
  }
  // Chance agreement is one in ten.
  EXPECT_LT(sameOrder, 50);
  EXPECT_LT(sameKey, 50);
}

TEST(FakeMask, NamesWithSpacesAreCopiedWithOneSeparatingSpace) {
  FakeLists lists = oneEach();
  lists.firstNames = words({"Mary Ann"});
  lists.lastNames = words({"van der Berg"});
  EXPECT_EQ(str(build(FakeKind::Name, std::move(lists)).mask(key(), "x")), "Mary Ann van der Berg");
}

// 100,000 values over ten cities; the draw is fixed by the subkey, so the
// statistic is too, and it must sit below the 99.99% quantile (33.72).
TEST(FakeMask, PicksSpreadEvenlyOverTheList) {
  FakeStrategy fake = build(FakeKind::City, tenEach(""));
  std::array<double, 10> counts{};
  for (int i = 0; i < 100000; ++i) {
    Text city = fake.mask(key(), std::to_string(i));
    ++counts[city[1] - '0'];
  }
  double chi = 0;
  for (double c : counts) chi += (c - 10000) * (c - 10000) / 10000;
  EXPECT_LT(chi, 33.72);
}

// --------------------------------------------------------------- maxLength

class MaxLength : public testing::TestWithParam<std::tuple<std::string, uint64_t, std::string>> {};

TEST_P(MaxLength, CutsOnCodePointBoundaries) {
  auto [street, maxLength, expected] = GetParam();
  FakeLists lists = oneEach("{street}");
  lists.streets = words({street});
  FakeStrategy fake = build(FakeKind::StreetAddress, std::move(lists), maxLength);
  EXPECT_EQ(str(fake.mask(key(), "v")), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, MaxLength,
    testing::Values(std::make_tuple("\xc3\x9cxa Road", 3, "\xc3\x9cxa"), std::make_tuple("\xc3\x9cxa Road", 0, ""),
                    std::make_tuple("\xc3\x9cxa Road", 1, "\xc3\x9c"), std::make_tuple("\xc3\x9cxa Road", 8, "\xc3\x9cxa Road"),
                    std::make_tuple("\xc3\x9cxa Road", 100, "\xc3\x9cxa Road"),
                    std::make_tuple("\xe2\x82\xac\xf0\x9f\x98\x80z", 2, "\xe2\x82\xac\xf0\x9f\x98\x80"),
                    std::make_tuple("\xe2\x82\xac\xf0\x9f\x98\x80z", 1, "\xe2\x82\xac"),
                    std::make_tuple("abc", UINT64_MAX, "abc")));

TEST(MaxLength, AppliesToEveryKindAndCountsWholeFake) {
  EXPECT_EQ(str(build(FakeKind::Name, oneEach(), 5).mask(key(), "v")), "Ada L");
  EXPECT_EQ(str(build(FakeKind::Company, oneEach(), 4).mask(key(), "v")), "Acme");
  EXPECT_EQ(str(build(FakeKind::City, oneEach(), 0).mask(key(), "v")), "");
}

}  // namespace
}  // namespace morvo
