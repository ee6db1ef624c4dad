// Golden files and pictures of screens fed arbitrary output. A screen's golden text reads back
// as the same text and matches the screen it came from; its picture holds no control byte and
// no markup that the screen's text brought in. Arbitrary text read as a golden file is either
// refused with std::logic_error or rebuilt into a screen.
#include <fuzzer/FuzzedDataProvider.h>

#include <stdexcept>
#include <string>

#include "fuzz_check.hpp"
#include "pexpect_custom/screen.hpp"
#include "pexpect_custom/snapshot.hpp"
#include "pexpect_custom/svg.hpp"
#include "screen/golden.hpp"

namespace {

using namespace pexpect_custom;

void check_screen(FuzzedDataProvider& input) {
  // Two columns at least: libvterm writes past the end of a row one column wide when a
  // double-width character comes.
  screen shown(input.ConsumeIntegralInRange(1, 6), input.ConsumeIntegralInRange(2, 24));
  const snapshot_options options{.attributes = input.ConsumeBool(), .cursor = input.ConsumeBool()};
  shown.feed(input.ConsumeRemainingBytesAsString());
  const std::string text = snapshot_text(shown, options);
  const detail::golden_screen read = detail::parse_golden(text);
  FUZZ_CHECK(detail::golden_text(read) == text, "golden text " + fuzz::printable(text));
  const screen rebuilt = detail::screen_of(read);
  FUZZ_CHECK(rebuilt.rows() == shown.rows() && rebuilt.cols() == shown.cols(), "rebuilt size");

  const std::string svg = screen_svg(shown);
  for (const char c : svg) {
    FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 || c == '\n',
               "a control byte in " + fuzz::printable(svg));
  }
  // Each cell's text stands alone in its element: only the tags the picture is made of open one.
  for (std::size_t at = svg.find('<'); at != std::string::npos; at = svg.find('<', at + 1)) {
    const std::string tag = svg.substr(at + 1, 4);
    FUZZ_CHECK(tag == "?xml" || tag.rfind("svg", 0) == 0 || tag.rfind("/svg", 0) == 0 || tag == "rect" ||
                   tag.rfind("defs", 0) == 0 || tag.rfind("/def", 0) == 0 || tag.rfind("g ", 0) == 0 ||
                   tag.rfind("/g>", 0) == 0 || tag.rfind("use ", 0) == 0 || tag.rfind("text", 0) == 0 ||
                   tag.rfind("/tex", 0) == 0,
               "an unexpected tag " + fuzz::printable(tag));
  }
}

void check_file(const std::string& text) {
  detail::golden_screen read;
  try {
    read = detail::parse_golden(text);
  } catch (const std::logic_error&) {
    return;
  }
  const screen rebuilt = detail::screen_of(read);
  FUZZ_CHECK(rebuilt.rows() == read.rows && rebuilt.cols() == read.cols, "rebuilt size");
  detail::parse_golden(detail::golden_text(read));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  if (input.ConsumeBool()) {
    check_screen(input);
  } else {
    check_file(input.ConsumeRemainingBytesAsString());
  }
  return 0;
}
