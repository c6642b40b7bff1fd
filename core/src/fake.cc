// Placeholder until this unit is built; every entry point is an internal error.
#include "fake.h"
namespace morvo {
std::variant<FakeStrategy, Text> FakeStrategy::make(FakeKind, FakeLists, std::optional<uint64_t>) { fail("fake not built"); }
Text FakeStrategy::mask(const KeyedHash&, std::string_view) const { fail("fake not built"); }
}  // namespace morvo
