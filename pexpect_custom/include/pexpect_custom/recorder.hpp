#pragma once
// Recordings of terminal sessions in the asciicast v2 format, and their replay into a screen.

#include <chrono>
#include <iosfwd>
#include <string>
#include <string_view>

namespace pexpect_custom {

class screen;

/// Writes a session as an asciicast v2 recording: a header line (the terminal's width and height,
/// the start time, TERM) and then one line per event, [seconds since the start, code, data], with
/// the code "o" for output, "i" for input and "r" for a resize. Each line is flushed as it is
/// written. Event data is text: a multi-byte UTF-8 character split between two calls is held back
/// until it is complete, and bytes that are not UTF-8 are written as U+FFFD, so every line is
/// valid JSON. Times come from a monotonic clock. Not copyable.
class recorder {
 public:
  /// Starts a recording on `sink` (not owned; it must outlive the recorder) of a terminal of
  /// `rows` by `cols`, writing the header at once.
  recorder(std::ostream& sink, int rows, int cols, std::string term = "xterm");
  /// Writes what is still held back of an incomplete character.
  ~recorder();
  recorder(const recorder&) = delete;
  recorder& operator=(const recorder&) = delete;

  /// Records bytes the program wrote to the terminal.
  void output(std::string_view bytes);
  /// Records bytes sent to the program.
  void input(std::string_view bytes);
  /// Records a change of the terminal's size.
  void resize(int rows, int cols);

 private:
  void record(std::string_view code, std::string& held, std::string_view bytes);
  void write_event(std::string_view code, const std::string& data);

  std::ostream& sink_;
  std::chrono::steady_clock::time_point start_;
  std::string held_output_;
  std::string held_input_;
};

/// Feeds the output and resize events of an asciicast v2 recording into `target`, after giving it
/// the recording's size; input events and unknown codes are skipped. A recording that is not
/// valid asciicast v2 raises std::logic_error naming its line.
void replay(std::istream& recording, screen& target);
/// The screen a recording leaves behind.
screen replay(std::istream& recording);

}  // namespace pexpect_custom
