#pragma once
// Text forms of field values, as the state report and the call trace show them.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "pexpect_custom/errors.hpp"

namespace pexpect_custom::detail {

/// The absent value: "None".
inline constexpr std::string_view none_text = "None";

/// "True" or "False".
std::string bool_text(bool value);

/// Decimal, with a leading "-" when negative.
std::string integer_text(long long value);

/// At most 12 significant digits, plain or with an exponent, and ".0" appended when the result
/// would otherwise read as an integer: 0.05 -> "0.05", 2.0 -> "2.0", 1e-05 -> "1e-05".
/// Infinities and NaN show as "inf", "-inf" and "nan".
std::string real_text(double value);

/// A real that usually holds a whole number of the caller's choosing (a time-out given as 30):
/// a whole number shows as an integer ("30"), any other value as real_text does.
std::string whole_or_real_text(double value);

/// "[", each element in single quotes separated by ", ", then "]". Inside an element a backslash
/// shows as \\, a single quote as \', a line feed, carriage return and tab as \n, \r and \t, and
/// any other control byte as \xNN (two lower-case hex digits); every other byte is itself.
std::string list_text(const std::vector<std::string>& elements);

/// One element as list_text shows it: in single quotes, with the same escapes.
std::string quoted_text(std::string_view text);

/// The markers by their type names: "pexpect_custom::EOF_" and "pexpect_custom::TIMEOUT".
std::string marker_text(EOF_marker_t);
std::string marker_text(TIMEOUT_marker_t);

/// "0x" followed by the number in lower-case hexadecimal.
std::string hex_text(std::uintptr_t number);
/// The address as hex_text shows it.
std::string address_text(const void* address);

/// An object known only by its type and address: "<type_name object at 0x...>".
std::string object_text(std::string_view type_name, const void* address);

/// The readable name of a type ("pexpect_custom::searcher_re"), or the compiler's own mangled
/// name if it cannot be made readable.
std::string type_name(const std::type_info& type);

/// A function symbol made readable, or the symbol itself if it is not a mangled C++ name.
std::string demangle(const char* symbol);

/// The last `count` bytes of `text` (all of it when shorter).
std::string_view last_bytes(std::string_view text, std::size_t count);

/// The text of a present value through `form`, or "None".
template <typename T, typename Form>
std::string optional_text(const std::optional<T>& value, Form form) {
  return value ? std::string(form(*value)) : std::string(none_text);
}

}  // namespace pexpect_custom::detail
