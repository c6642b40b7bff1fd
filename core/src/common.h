// Vocabulary shared by every unit of the core: owned texts and vectors on
// the scalable allocator, the outcome of masking one value, and the internal-error check.
#pragma once

#include <oneapi/tbb/scalable_allocator.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace morvo {

using u128 = unsigned __int128;

// Owned memory of the module comes from oneTBB's scalable allocator, so that
// a block can be freed cheaply on a thread other than the one that allocated
// it. It is used through its explicit interface only: nothing here replaces
// malloc or operator new for the host process.
//
// A build for the sanitizers may define MORVO_SYSTEM_ALLOCATOR to take that
// memory from malloc instead, so that AddressSanitizer sees every block (it
// cannot see inside the scalable allocator's own pools).
#ifdef MORVO_SYSTEM_ALLOCATOR
template <class T>
using Allocator = std::allocator<T>;
inline void* rawAllocate(size_t bytes) { return std::malloc(bytes); }
inline void* rawAllocateZeroed(size_t bytes) { return std::calloc(1, bytes); }
inline void rawFree(void* p) { std::free(p); }
#else
template <class T>
using Allocator = tbb::scalable_allocator<T>;
inline void* rawAllocate(size_t bytes) { return scalable_malloc(bytes); }
inline void* rawAllocateZeroed(size_t bytes) { return scalable_calloc(1, bytes); }
inline void rawFree(void* p) { scalable_free(p); }
#endif
template <class T>
using Vec = std::vector<T, Allocator<T>>;
using Text = std::basic_string<char, std::char_traits<char>, Allocator<char>>;

inline Text toText(std::string_view s) { return Text(s.data(), s.size()); }

// The module does not mask this value; the Python layer does.
struct Fallback {
  bool operator==(const Fallback&) const = default;
};
// This value must not be masked; the Python layer raises the message.
struct Refused {
  Text message;
  bool operator==(const Refused&) const = default;
};
// What a strategy operation gives for one value.
template <class T>
using Outcome = std::variant<T, Fallback, Refused>;

// A broken invariant: a programming error, never a user-visible outcome. The
// binding turns it into the module's internal-error exception.
struct InternalError : std::logic_error {
  using std::logic_error::logic_error;
};

[[noreturn]] void fail(const char* message);
inline void check(bool ok, const char* message) {
  if (!ok) fail(message);
}

// The too-long refusal shared by the key and fpe strategies.
Text tooLongMessage(std::string_view strategy);
inline constexpr uint64_t IDENTIFIER_LIMIT = 256;

// True when every byte is below 0x80; whole words at a time.
bool isAscii(std::string_view s);

}  // namespace morvo

namespace morvo {
// The quoted form of a user text in messages: in double quotes, with a
// backslash before '"' and '\', \n \r \t \0 for those characters, and other
// non-printable characters as \u{hex}. The text is UTF-8.
Text quoted(std::string_view text);
}  // namespace morvo
