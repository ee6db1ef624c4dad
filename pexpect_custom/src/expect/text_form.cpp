#include "expect/text_form.hpp"

#include <cxxabi.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace pexpect_custom::detail {

namespace {

// Enough for 12 significant digits, a sign, a point and a three-digit exponent.
constexpr std::size_t real_capacity = 32;
constexpr int significant_digits = 12;

bool reads_as_integer(std::string_view text) {
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string hex_byte(unsigned char byte) {
  constexpr std::string_view digits = "0123456789abcdef";
  return {'\\', 'x', digits[byte >> 4], digits[byte & 0xf]};
}

std::string quoted_element(std::string_view element) {
  std::string quoted = "'";
  for (char c : element) {
    auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\\':
        quoted += "\\\\";
        break;
      case '\'':
        quoted += "\\'";
        break;
      case '\n':
        quoted += "\\n";
        break;
      case '\r':
        quoted += "\\r";
        break;
      case '\t':
        quoted += "\\t";
        break;
      default:
        quoted += (byte < 0x20 || byte == 0x7f) ? hex_byte(byte) : std::string(1, c);
    }
  }
  return quoted + "'";
}

struct free_deleter {
  void operator()(char* p) const { std::free(p); }
};

}  // namespace

std::string bool_text(bool value) {
  return value ? "True" : "False";
}

std::string integer_text(long long value) {
  return std::to_string(value);
}

std::string real_text(double value) {
  char digits[real_capacity];
  // to_chars is independent of the process's locale, unlike printf's "%.12g".
  auto result =
      std::to_chars(digits, digits + sizeof digits, value, std::chars_format::general, significant_digits);
  std::string text(digits, result.ptr);
  if (reads_as_integer(text)) text += ".0";
  return text;
}

std::string whole_or_real_text(double value) {
  // Whole numbers below 2^53 convert to an integer without loss.
  constexpr double exact_limit = 9007199254740992.0;
  if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < exact_limit) {
    return integer_text(static_cast<long long>(value));
  }
  return real_text(value);
}

std::string list_text(const std::vector<std::string>& elements) {
  std::string text = "[";
  for (std::size_t i = 0; i < elements.size(); ++i) {
    if (i > 0) text += ", ";
    text += quoted_element(elements[i]);
  }
  return text + "]";
}

std::string marker_text(EOF_marker_t) {
  return "pexpect_custom::EOF_";
}
std::string marker_text(TIMEOUT_marker_t) {
  return "pexpect_custom::TIMEOUT";
}

std::string hex_text(std::uintptr_t number) {
  char digits[2 * sizeof number];
  auto result = std::to_chars(digits, digits + sizeof digits, number, 16);
  return "0x" + std::string(digits, result.ptr);
}

std::string address_text(const void* address) {
  return hex_text(reinterpret_cast<std::uintptr_t>(address));
}

std::string object_text(std::string_view type_name, const void* address) {
  // Built by appending: g++ 12 at -O3 warns falsely (-Wrestrict) on "<" + std::string&&.
  std::string text = "<";
  text.append(type_name).append(" object at ").append(address_text(address)).append(">");
  return text;
}

std::string type_name(const std::type_info& type) {
  return demangle(type.name());
}

std::string demangle(const char* symbol) {
  int status = 0;
  std::unique_ptr<char, free_deleter> readable(abi::__cxa_demangle(symbol, nullptr, nullptr, &status));
  return status == 0 && readable ? std::string(readable.get()) : std::string(symbol);
}

std::string_view last_bytes(std::string_view text, std::size_t count) {
  return text.size() > count ? text.substr(text.size() - count) : text;
}

std::string quoted_text(std::string_view text) {
  return quoted_element(text);
}

}  // namespace pexpect_custom::detail
