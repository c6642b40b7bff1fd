#include "fake.h"

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <string>
#include <tuple>

namespace morvo {
namespace {

const KeyedHash& key() {
  static const std::array<uint8_t, 32> subkey = [] { std::array<uint8_t, 32> s; s.fill(3); return s; }();
  static const KeyedHash hash = KeyedHash::fromSubkey(subkey);
  return hash;
}

std::string str(const Text& t) { return std::string(t.data(), t.size()); }

// One word per list, or `size` entries tagged per list: "F0".."F9", "L0"..
FakeLists lists(std::string_view address, int size = 1) {
  using L = FakeLists;
  FakeLists l;
  for (auto [member, word, tag] : {std::tuple{&L::firstNames, "Ada", 'F'}, {&L::lastNames, "Lovelace", 'L'},
                                   {&L::cities, "Turin", 'C'}, {&L::companyWords, "Acme", 'W'},
                                   {&L::companySuffixes, "Ltd", 'S'}, {&L::streets, "Elm", 'R'},
                                   {&L::streetKinds, "Road", 'K'}}) {
    for (int i = 0; i < size; ++i) (l.*member).push_back(toText(size == 1 ? word : tag + std::to_string(i)));
  }
  l.address = toText(address);
  return l;
}

FakeStrategy build(FakeKind kind, FakeLists l, std::optional<uint64_t> maxLength = std::nullopt) {
  auto made = FakeStrategy::make(kind, std::move(l), maxLength);
  auto* built = std::get_if<FakeStrategy>(&made);
  EXPECT_TRUE(built) << "refused: " << str(std::get<Text>(made));
  return built ? std::move(*built) : FakeStrategy{};
}

std::string errorOf(FakeKind kind, FakeLists l) {
  auto made = FakeStrategy::make(kind, std::move(l), std::nullopt);
  auto* error = std::get_if<Text>(&made);
  return error ? str(*error) : "<built>";
}

// The first empty list the kind uses is named, in the kind's own order; lists
// the kind does not use may be empty, and then the bad format is what fails.
using L = FakeLists;
using std::make_tuple;
class EmptyLists : public testing::TestWithParam<std::tuple<FakeKind, std::vector<Vec<Text> L::*>, std::string>> {};

TEST_P(EmptyLists, ReportTheFirstEmptyListTheKindUses) {
  auto [kind, emptied, expected] = GetParam();
  FakeLists l = lists("{bad}");
  for (auto member : emptied) (l.*member).clear();
  EXPECT_EQ(errorOf(kind, std::move(l)), expected.empty() ? "unsupported address format \"{bad}\"" : expected);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, EmptyLists,
    testing::Values(
        make_tuple(FakeKind::FirstName, std::vector{&L::firstNames}, "firstNames is empty"),
        make_tuple(FakeKind::LastName, std::vector{&L::lastNames}, "lastNames is empty"),
        make_tuple(FakeKind::Name, std::vector{&L::lastNames, &L::firstNames}, "firstNames is empty"),
        make_tuple(FakeKind::Name, std::vector{&L::lastNames}, "lastNames is empty"),
        make_tuple(FakeKind::City, std::vector{&L::cities}, "cities is empty"),
        make_tuple(FakeKind::Company, std::vector{&L::companySuffixes, &L::companyWords}, "companyWords is empty"),
        make_tuple(FakeKind::Company, std::vector{&L::companySuffixes}, "companySuffixes is empty"),
        make_tuple(FakeKind::StreetAddress, std::vector{&L::streetKinds, &L::streets}, "streets is empty"),
        make_tuple(FakeKind::StreetAddress, std::vector{&L::streetKinds}, "streetKinds is empty"),
        make_tuple(FakeKind::City, std::vector{&L::streets, &L::streetKinds, &L::firstNames}, ""),
        make_tuple(FakeKind::StreetAddress, std::vector{&L::cities, &L::lastNames}, "")));

// The format is checked under every kind, not only StreetAddress.
TEST(AddressFormat, MalformedFormatsAreRefusedWithTheQuotedFormat) {
  for (std::string format : {"{Number}", "{num}", "{}", "{number", "number}", "a}b", "{number}}", "{ number}",
                             "{{number}", "{street}{"}) {
    for (FakeKind kind : {FakeKind::StreetAddress, FakeKind::City, FakeKind::FirstName})
      EXPECT_EQ(errorOf(kind, lists(format)), "unsupported address format \"" + format + "\"");
  }
  EXPECT_EQ(errorOf(FakeKind::City, lists("say \"hi\"\t{x}")),
            "unsupported address format \"say \\\"hi\\\"\\t{x}\"");
}

TEST(AddressFormat, PlaceholdersAndLiteralsRenderInOrder) {
  const std::string n = std::to_string(1 + key().below("v", 9999, "number"));
  for (auto [format, rendered] : std::initializer_list<std::pair<std::string, std::string>>{
           {"", ""}, {"{number} {street} {kind}", n + " Elm Road"}, {"{street}{street}", "ElmElm"},
           {"{number}-{number}, {kind}", n + "-" + n + ", Road"}, {"plain text", "plain text"}, {"{kind}.", "Road."},
           {"Flat 3, {street} {kind} {number}", "Flat 3, Elm Road " + n}}) {
    EXPECT_EQ(str(build(FakeKind::StreetAddress, lists(format)).mask(key(), "v")), rendered) << format;
    EXPECT_EQ(errorOf(FakeKind::City, lists(format)), "<built>") << format;
  }
}

// Each part comes from its own list under its own label; a swapped label,
// list or join shows here.
TEST(FakeMask, PartsMatchRecomputedPicksUnderTheirLabels) {
  const FakeLists ten = lists("{number} {street} {kind}", 10);
  auto at = [&](std::string_view v, std::string_view label, const Vec<Text>& list) {
    return str(list[key().below(v, list.size(), label)]);
  };
  auto fake = [&](FakeKind kind, std::string_view v) { return str(build(kind, ten).mask(key(), v)); };
  for (std::string_view v : {"Alice", "Bob", "42", ""}) {
    EXPECT_EQ(fake(FakeKind::FirstName, v), at(v, "first", ten.firstNames));
    EXPECT_EQ(fake(FakeKind::LastName, v), at(v, "last", ten.lastNames));
    EXPECT_EQ(fake(FakeKind::City, v), at(v, "city", ten.cities));
    EXPECT_EQ(fake(FakeKind::Name, v), at(v, "first", ten.firstNames) + " " + at(v, "last", ten.lastNames));
    EXPECT_EQ(fake(FakeKind::Company, v),
              at(v, "company", ten.companyWords) + " " + at(v, "suffix", ten.companySuffixes));
    std::string number = std::to_string(1 + key().below(v, 9999, "number"));
    EXPECT_EQ(fake(FakeKind::StreetAddress, v),
              number + " " + at(v, "street", ten.streets) + " " + at(v, "suffix", ten.streetKinds));
  }
}

TEST(FakeMask, HouseNumbersSpanOneTo9999WithoutLeadingZeros) {
  FakeStrategy fake = build(FakeKind::StreetAddress, lists("{number}"));
  std::set<int> seen;
  for (int i = 0; i < 3000; ++i) {
    std::string n = str(fake.mask(key(), std::to_string(i)));
    ASSERT_FALSE(n.empty());
    EXPECT_NE(n[0], '0') << n;
    seen.insert(std::stoi(n));
  }
  EXPECT_GE(*seen.begin(), 1);
  EXPECT_LE(*seen.rbegin(), 9999);
  EXPECT_GT(seen.size(), 2000u);  // a constant or narrow draw would show
}

// 100,000 values over ten cities; the draw is fixed by the subkey, so the
// statistic is too, and it must sit below the 99.99% quantile (33.72).
TEST(FakeMask, PicksSpreadEvenlyOverTheList) {
  FakeStrategy fake = build(FakeKind::City, lists("", 10));
  std::array<double, 10> counts{};
  for (int i = 0; i < 100000; ++i) ++counts[fake.mask(key(), std::to_string(i))[1] - '0'];
  double chi = 0;
  for (double c : counts) chi += (c - 10000) * (c - 10000) / 10000;
  EXPECT_LT(chi, 33.72);
}

// maxLength counts code points of the whole fake, for every kind.
class MaxLength : public testing::TestWithParam<std::tuple<std::string, uint64_t, std::string>> {};

TEST_P(MaxLength, CutsOnCodePointBoundaries) {
  auto [street, maxLength, expected] = GetParam();
  FakeLists l = lists("{street}");
  l.streets = {toText(street)};
  EXPECT_EQ(str(build(FakeKind::StreetAddress, std::move(l), maxLength).mask(key(), "v")), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, MaxLength,
    testing::Values(make_tuple("\xc3\x9cxa Road", 3, "\xc3\x9cxa"), make_tuple("\xc3\x9cxa Road", 0, ""),
                    make_tuple("\xc3\x9cxa Road", 1, "\xc3\x9c"), make_tuple("\xc3\x9cxa Road", 8, "\xc3\x9cxa Road"),
                    make_tuple("\xe2\x82\xac\xf0\x9f\x98\x80z", 2, "\xe2\x82\xac\xf0\x9f\x98\x80"),
                    make_tuple("\xe2\x82\xac\xf0\x9f\x98\x80z", 1, "\xe2\x82\xac"),
                    make_tuple("abc", UINT64_MAX, "abc")));

TEST(MaxLength, AppliesToEveryKindAndCountsWholeFake) {
  EXPECT_EQ(str(build(FakeKind::Name, lists(""), 5).mask(key(), "v")), "Ada L");
  EXPECT_EQ(str(build(FakeKind::Company, lists(""), 4).mask(key(), "v")), "Acme");
  EXPECT_EQ(str(build(FakeKind::City, lists(""), 0).mask(key(), "v")), "");
}

}  // namespace
}  // namespace morvo
