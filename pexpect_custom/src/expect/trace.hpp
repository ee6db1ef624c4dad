#pragma once
// Call traces for ExceptionPexpect::get_trace(): raw return addresses are captured when an error
// is made, and turned into text only when the trace is asked for.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pexpect_custom::detail {

/// Return addresses of the current call stack, outermost first, without the capturing function's
/// own frame. Cheap (no symbol look-up) and never throws: empty when memory runs out.
std::vector<void*> capture_trace() noexcept;

/// One call frame as a trace entry shows it.
struct trace_frame {
  /// The source file or, where that is unknown, the object file holding the code.
  std::string source_file;
  /// Line number in `source_file`, where known.
  std::optional<long> line;
  /// Offset of the calling instruction inside the object file; shown when `line` is unknown.
  std::uintptr_t offset = 0;
  /// Readable function name, "??" where unknown.
  std::string function = "??";
  /// Text of the source line, where known.
  std::optional<std::string> source_line;
};

/// Names the object file and function of each captured address, keeping the order.
std::vector<trace_frame> symbolize(const std::vector<void*>& addresses);

/// One entry per frame kept by filter_not_pexpect, in the given order, each ending in a line feed:
///   File "<file>", line <N>, in <function>      (or "offset 0x<hex>" in place of "line <N>")
/// followed, where the source line is known, by that line indented on a line of its own.
std::string format_frames(const std::vector<trace_frame>& frames);

/// The text of a captured trace, without the frames of the capture itself and of the error
/// constructors at its inner end.
std::string format_trace(const std::vector<void*>& addresses);

/// false for a frame whose source file name contains "pexpect" directly followed by a source-file
/// extension (such as "pexpect.cpp" or "pexpect.h"); true otherwise, so the library's own files
/// ("pexpect_custom/...") are kept.
bool filter_not_pexpect(const trace_frame& item);

}  // namespace pexpect_custom::detail
