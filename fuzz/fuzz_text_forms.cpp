// The text forms of the state report. Reals: at most 12 significant digits, read back as the
// same value to that precision, never mistaken for an integer. Lists of strings: every element
// quoted, no control byte left raw, and the quoted form reads back as the list. Strings: the
// report shows the bytes themselves, the buffers only their last 100, in 26 labelled lines.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "expect/text_form.hpp"
#include "fuzz_check.hpp"
#include "pexpect_custom/spawn.hpp"

namespace {

using namespace pexpect_custom;

double real_from(FuzzedDataProvider& input) {
  // Raw bits half of the time (every NaN, infinity and subnormal), a tame number otherwise.
  if (input.ConsumeBool()) {
    std::uint64_t bits = input.ConsumeIntegral<std::uint64_t>();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
  return static_cast<double>(input.ConsumeIntegralInRange<std::int64_t>(-100000, 100000)) /
         std::pow(10.0, input.ConsumeIntegralInRange(0, 6));
}

void check_real(double value) {
  const std::string text = detail::real_text(value);
  const std::string context = "value " + std::to_string(value) + " text " + fuzz::printable(text);
  if (std::isnan(value)) {
    FUZZ_CHECK(text == "nan" || text == "-nan", context);
    return;
  }
  if (std::isinf(value)) {
    FUZZ_CHECK(text == (value > 0 ? "inf" : "-inf"), context);
    return;
  }
  // Never read as an integer: a point or an exponent is always there.
  FUZZ_CHECK(text.find_first_of(".e") != std::string::npos, context);
  FUZZ_CHECK(text.find_first_not_of("0123456789.e+-") == std::string::npos, context);
  // At most 12 significant digits (the ".0" added to a whole number not counted).
  std::string mantissa = text.substr(0, text.find('e'));
  if (mantissa.size() > 2 && mantissa.compare(mantissa.size() - 2, 2, ".0") == 0)
    mantissa.resize(mantissa.size() - 2);
  std::string digits;
  for (char c : mantissa) {
    if (c >= '0' && c <= '9') digits += c;
  }
  digits.erase(0, digits.find_first_not_of('0'));
  if (mantissa.find('.') != std::string::npos) {
    const auto last = digits.find_last_not_of('0');
    digits.resize(last == std::string::npos ? 0 : last + 1);
  }
  FUZZ_CHECK(digits.size() <= 12, context);
  // Read back, it is the value to within the rounding of the twelfth digit.
  const double back = std::strtod(text.c_str(), nullptr);
  const double allowed = std::max(std::fabs(value) * 1e-11, 2 * std::numeric_limits<double>::denorm_min());
  FUZZ_CHECK(std::fabs(back - value) <= allowed, context + " reads back as " + std::to_string(back));
  FUZZ_CHECK(std::signbit(back) == std::signbit(value) || value == 0, context);

  // The time-out form: whole numbers as integers, exactly; anything else as a real.
  const std::string timeout_text = detail::whole_or_real_text(value);
  if (value == std::trunc(value) && std::fabs(value) < 9007199254740992.0) {
    FUZZ_CHECK(timeout_text.find_first_not_of("-0123456789") == std::string::npos, "timeout " + timeout_text);
    FUZZ_CHECK(static_cast<double>(std::strtoll(timeout_text.c_str(), nullptr, 10)) == value,
               "timeout " + timeout_text);
  } else {
    FUZZ_CHECK(timeout_text == text, "timeout " + timeout_text);
  }
}

// Reads a list's text form back into the list; nullopt when it is not well formed.
std::optional<std::vector<std::string>> read_list(const std::string& text) {
  std::vector<std::string> list;
  std::size_t at = 0;
  auto expect = [&](std::string_view word) {
    if (text.compare(at, word.size(), word) != 0) return false;
    at += word.size();
    return true;
  };
  if (!expect("[")) return std::nullopt;
  if (expect("]")) return at == text.size() ? std::optional(list) : std::nullopt;
  while (true) {
    if (!expect("'")) return std::nullopt;
    std::string element;
    while (at < text.size() && text[at] != '\'') {
      char c = text[at++];
      if (c != '\\') {
        element += c;
        continue;
      }
      if (at >= text.size()) return std::nullopt;
      char escaped = text[at++];
      switch (escaped) {
        case '\\':
          element += '\\';
          break;
        case '\'':
          element += '\'';
          break;
        case 'n':
          element += '\n';
          break;
        case 'r':
          element += '\r';
          break;
        case 't':
          element += '\t';
          break;
        case 'x': {
          if (at + 2 > text.size()) return std::nullopt;
          element += static_cast<char>(std::stoi(text.substr(at, 2), nullptr, 16));
          at += 2;
          break;
        }
        default:
          return std::nullopt;
      }
    }
    if (!expect("'")) return std::nullopt;
    list.push_back(element);
    if (expect("]")) return at == text.size() ? std::optional(list) : std::nullopt;
    if (!expect(", ")) return std::nullopt;
  }
}

void check_list(const std::vector<std::string>& list) {
  const std::string text = detail::list_text(list);
  const std::string context = "list " + fuzz::printable(list) + "\ntext " + fuzz::printable(text);
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    FUZZ_CHECK(byte >= 0x20 && byte != 0x7f, context);
  }
  FUZZ_CHECK(read_list(text) == list, context);
}

// The report of an object that never started, with fields set from the input.
void check_report(FuzzedDataProvider& input) {
  spawn object(std::nullopt);
  object.buffer = input.ConsumeRandomLengthString(300);
  object.before = input.ConsumeRandomLengthString(300);
  if (input.ConsumeBool()) object.after = after_value(input.ConsumeRandomLengthString(300));
  object.timeout = input.ConsumeBool() ? std::optional<double>(real_from(input)) : std::nullopt;
  object.delaybeforesend = real_from(input);
  object.delayafterclose = real_from(input);
  object.delayafterterminate = real_from(input);
  const std::string report = object.str();

  auto tail = [](const std::string& s) { return s.size() > 100 ? s.substr(s.size() - 100) : s; };
  const std::string buffer_tail = tail(object.buffer);
  const std::string before_tail = tail(*object.before);
  const std::string after_text = object.after ? std::get<std::string>(*object.after) : "None";
  const std::string middle = "\nbuffer (last 100 chars): " + buffer_tail +
                             "\nbefore (last 100 chars): " + before_tail + "\nafter: " + after_text +
                             "\nmatch: None\n";
  const std::string timeout_line =
      "\ntimeout: " + (object.timeout ? detail::whole_or_real_text(*object.timeout) : std::string("None")) +
      "\n";
  const std::string ending = "\ndelaybeforesend: " + detail::real_text(object.delaybeforesend) +
                             "\ndelayafterclose: " + detail::real_text(object.delayafterclose) +
                             "\ndelayafterterminate: " + detail::real_text(object.delayafterterminate);
  const std::string context = "report " + fuzz::printable(report);
  FUZZ_CHECK(report.find(middle) != std::string::npos, context + "\nwithout " + fuzz::printable(middle));
  FUZZ_CHECK(report.find(timeout_line) != std::string::npos, context);
  FUZZ_CHECK(report.size() >= ending.size() &&
                 report.compare(report.size() - ending.size(), ending.size(), ending) == 0,
             context);
  // 26 lines, plus one for every line feed that a shown string brings along.
  std::size_t carried = 0;
  for (const std::string* shown : {&buffer_tail, &before_tail, &after_text}) {
    for (char c : *shown) carried += c == '\n';
  }
  std::size_t line_feeds = 0;
  for (char c : report) line_feeds += c == '\n';
  FUZZ_CHECK(line_feeds == 25 + carried, context);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  switch (input.ConsumeIntegralInRange(0, 2)) {
    case 0:
      for (int i = 0; i < 4 && input.remaining_bytes() > 0; ++i) check_real(real_from(input));
      break;
    case 1: {
      std::vector<std::string> list;
      while (input.remaining_bytes() > 0 && list.size() < 8)
        list.push_back(input.ConsumeRandomLengthString(16));
      check_list(list);
      break;
    }
    default:
      check_report(input);
  }
  return 0;
}
