#pragma once
// A cell's character made safe for a text file or an XML document.

#include <string>
#include <string_view>

namespace pexpect_custom::detail {

/// `cell_text` (UTF-8) with every code point that may not stand in a text file or an XML
/// document replaced by U+FFFD: control characters, surrogates, U+FFFE, U+FFFF and bytes that
/// are not UTF-8. "" stays "".
std::string safe_glyph(std::string_view cell_text);

}  // namespace pexpect_custom::detail
