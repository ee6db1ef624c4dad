#pragma once
// expect_base: reading, sending, pattern matching and the file-like readers over one descriptor.
// spawn (a child on a pseudo-terminal) and fdspawn (a descriptor the caller already has) are
// both built on it; they differ only in what "alive" means and in what they own.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iosfwd>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pexpect_custom/errors.hpp"
#include "pexpect_custom/keys.hpp"
#include "pexpect_custom/pattern.hpp"
#include "pexpect_custom/recorder.hpp"
#include "pexpect_custom/screen.hpp"
#include "pexpect_custom/searcher.hpp"
#include "pexpect_custom/secret.hpp"
#include "pexpect_custom/timeout.hpp"

namespace pexpect_custom {

/// The designed pauses, in seconds: before every send, after closing, after each signal of
/// terminate, and after each chunk the expect loop reads.
namespace defaults {
inline constexpr double delaybeforesend = 0.05;
inline constexpr double delayafterclose = 0.1;
inline constexpr double delayafterterminate = 0.1;
inline constexpr double delayafterread = 0.0001;
}  // namespace defaults

/// A condition over what a screen shows, for expect_screen.
using screen_condition = std::function<bool(const screen&)>;
namespace detail {
/// Where the plain-text filter (see `strip_terminal_sequences`) stands between two reads: in
/// the middle of a control sequence, and how far into it, or not.
struct sequence_position {
  std::uint8_t state = 0;
  std::uint32_t length = 0;
};
}  // namespace detail

/// The reading, sending and expect side shared by spawn and fdspawn.
class expect_base {
 public:
  virtual ~expect_base() = default;

  // ---- fields ----------------------------------------------------------------------------
  /// Searcher of the last expect call.
  std::shared_ptr<searcher_base> searcher;
  /// Compile string patterns case-insensitively.
  bool ignorecase = false;
  /// Bytes before the last match.
  std::optional<std::string> before;
  /// The last match itself, or a marker.
  std::optional<after_value> after;
  /// The last match: a Match, the matched string, or a marker.
  std::optional<match_value> match;
  /// Index of the last matching pattern.
  std::optional<long> match_index;
  /// End of file seen on the descriptor.
  bool flag_eof = false;
  /// The descriptor read from and written to; -1 when none is held.
  int child_fd = -1;
  /// Default time-out of reads and expects, in seconds; nullopt for no limit.
  std::optional<double> timeout = 30;
  /// What `read` and `readline` wait for.
  pattern_entry delimiter{EOF_marker};
  /// Receives every byte read and sent (not owned; flushed after each write); a secret's bytes as
  /// `secret::mask`.
  std::ostream* logfile = nullptr;
  /// Receives every byte read: what the program printed, as it printed it. A secret the program
  /// echoes back is output and shows here (and in `before`); password prompts turn echo off.
  std::ostream* logfile_read = nullptr;
  /// Receives every byte sent; a secret's bytes as `secret::mask`.
  std::ostream* logfile_send = nullptr;
  /// Records the session (not owned; it must outlive its use here): every byte read and every
  /// byte the relay shows as output, every byte sent (a secret as `secret::mask`) and every byte
  /// the relay hands over from the user as input, and every change of the terminal's size made
  /// through the session. Answers the screen sends back to the program are not recorded.
  recorder* recording = nullptr;
  /// Largest single read, in bytes.
  long maxread = 2000;
  /// Bytes read but not yet consumed.
  std::string buffer;
  /// How far back the expect loop searches; nullopt for the whole buffer.
  std::optional<long> searchwindowsize;
  /// Pause before every send, in seconds, so that input never reaches a program before it has
  /// set up its terminal. A spawn ends it early once its program is blocked reading (or polling)
  /// the terminal; elsewhere it is taken in full.
  double delaybeforesend = defaults::delaybeforesend;
  /// Longest wait for the child's end after closing, in seconds (spawn).
  double delayafterclose = defaults::delayafterclose;
  /// Longest wait for the child's end after each signal of `terminate`, in seconds (spawn).
  double delayafterterminate = defaults::delayafterterminate;
  /// Pause after each chunk the expect loop reads, in seconds (default 0.0001). It lets a
  /// producer fill the terminal between reads, so reads come in fewer, larger chunks; it is
  /// taken only before another read, and only when the last read drained the terminal.
  double delayafterread = defaults::delayafterread;
  /// File-like flag, never read.
  bool softspace = false;
  /// Display name.
  std::string name;
  /// File-like, always nullopt.
  std::optional<std::string> encoding;
  /// No descriptor held.
  bool closed = true;
  /// Selects the slow end-of-file check (false on Linux).
  bool irix_hack = false;
  /// Plain text: the expect family (and read, readline and the other readers built on it) sees
  /// the output with its terminal control sequences taken out (CSI, OSC, DCS, APC, PM and SOS
  /// strings, two-byte escapes, charset selections), so `buffer`, `before`, `after` and `match`
  /// hold text. Every other byte is kept: CR, LF, tab, backspace and the other single control
  /// characters, and UTF-8 text. A sequence cut between reads is taken out whole. One that never
  /// ends is given up after 256 bytes (a string after 64 KiB), and what follows is text again.
  /// read_nonblocking, the log sinks, the recording and the screen still get every byte
  /// (interact writes out what `buffer` holds, that is text, before it relays).
  bool strip_terminal_sequences = false;

  /// Whether the other side can still deliver output.
  virtual bool isalive() = 0;

  // ---- reading ----------------------------------------------------------------------------
  /// One bounded wait and one read of at most `size` (at least 1) bytes. Throws EOF_, TIMEOUT,
  /// ExceptionPexpect, or std::logic_error on a closed object or a size below 1.
  std::string read_nonblocking(long size = 1, timeout_arg timeout = -1);
  /// `size` < 0: everything up to `delimiter`; > 0: at most `size` bytes; 0: "" at once.
  std::string read(long size = -1);
  /// One line ending in CR LF, the last unterminated piece, or empty at end of file.
  std::string readline(long size = -1);
  /// Every remaining line.
  std::vector<std::string> readlines(long sizehint = -1);
  /// The next line, or nullopt at end of file.
  std::optional<std::string> next();

  class line_iterator;
  /// Lines until end of file, as by `next()`.
  line_iterator begin();
  line_iterator end();

  // ---- sending and terminal control -------------------------------------------------------
  /// Pauses (see `delaybeforesend`), logs, and makes one write; returns the count written.
  long send(std::string_view s);
  /// Sends `s` and a line feed after a single pause, in one write; logs them as two entries and
  /// returns the total count.
  long sendline(std::string_view s = {});
  /// send() and sendline() of a secret: its bytes go to the program unchanged, while `logfile`,
  /// `logfile_send` and the recording receive `secret::mask` in their place.
  long send(const secret& s);
  long sendline(const secret& s);
  /// Sends the control code of one character ("c" sends 3); returns 0 for a character without one.
  /// Throws std::invalid_argument unless `character` is exactly one byte.
  long sendcontrol(std::string_view character);
  /// Sends the terminal's end-of-file character.
  virtual void sendeof();
  /// Sends the terminal's interrupt character.
  void sendintr();
  /// `send(s)`, result discarded.
  void write(std::string_view s);
  /// `write` of each element.
  void writelines(const std::vector<std::string>& sequence);
  /// Whether the terminal echoes.
  bool getecho() const;
  /// Turns the terminal's echo on or off.
  void setecho(bool state);
  /// Waits until echo goes off; false on time-out.
  bool waitnoecho(timeout_arg timeout = -1);
  /// The descriptor.
  int fileno() const { return child_fd; }
  /// Whether the descriptor is a terminal.
  bool isatty() const;
  /// Does nothing.
  void flush() {}
  /// Retired: always throws ExceptionPexpect.
  [[noreturn]] void setmaxread(long maxread);
  /// Retired: always throws ExceptionPexpect.
  [[noreturn]] void setlog(std::ostream* fileobject);
  /// Whether a read has met end of file.
  bool eof() const { return flag_eof; }
  /// Whether an expect is in progress on this object (a pending_expect, or an asynchronous
  /// expect of the Asio adapter, that has not ended).
  bool expect_in_progress() const noexcept { return expect_pending_; }

  /// Sends the bytes of a named key held with `modifiers`: those of the screen's current keyboard
  /// mode when a screen is attached (the cursor keys differ in application cursor mode), else
  /// those of the normal mode. Returns the count written, as send() does.
  long send_key(key k, key_modifiers modifiers = key_modifiers::none);
  /// Sends a character typed with `modifiers` (Ctrl+C is `send_key(U'c', key_modifiers::ctrl)`).
  long send_key(char32_t character, key_modifiers modifiers = key_modifiers::none);
  /// Sends `text` as a terminal sends pasted text (screen::paste): between the bracketed-paste
  /// markers when the program has turned bracketed paste on, which a screen tells; else, and
  /// without a screen, as typed. Returns the count written, as send() does.
  long send_paste(std::string_view text);

  /// Mouse input, sent in the encoding the program chose (see screen::click, drag and wheel);
  /// cells are counted from 0 as on the screen. Each returns true when it sent the report, and
  /// false, sending nothing, while the program asks for no mouse reports (before it has turned
  /// them on, or after it has turned them off): a terminal then keeps the mouse to itself.
  /// std::logic_error without a screen, which alone knows the program's mouse mode;
  /// std::out_of_range for a cell outside it.
  bool send_click(screen_position at, mouse_button button = mouse_button::left,
                  key_modifiers modifiers = key_modifiers::none);
  bool send_drag(screen_position from, screen_position to, mouse_button button = mouse_button::left,
                 key_modifiers modifiers = key_modifiers::none);
  bool send_wheel(screen_position at, wheel_direction direction, int notches = 1,
                  key_modifiers modifiers = key_modifiers::none);

  // ---- the screen -------------------------------------------------------------------------
  /// Attaches a screen the size of the terminal (24x80 when the descriptor is not a terminal,
  /// each side kept within 1 ... screen::max_size). From then on every byte read, by the expect
  /// family, read, readline and the relay, is also fed to it; bytes read before are not. The
  /// answers it owes the program for queries in the output (cursor position reports, device
  /// attributes) are sent back to the program as a terminal would, without the pause before a
  /// send and without entering the log sinks or the recording, except during interact(), where
  /// the user's own terminal answers. A screen already attached is kept.
  void attach_screen();
  /// Whether a screen is attached.
  bool has_screen() const noexcept { return screen_ != nullptr; }
  /// The attached screen; std::logic_error when none is.
  pexpect_custom::screen& screen();
  const pexpect_custom::screen& screen() const;

  /// Waits until the screen's text (or that of `area`) matches `pattern`, reading as expect
  /// does; true at once when it matches already. On success `match` holds the match, whose
  /// offsets count in that text, `before` every byte read and not yet consumed, and `buffer`
  /// is empty. Time-out (-1: the `timeout` field; nullopt: none) and end of file raise TIMEOUT
  /// and EOF_ as expect does, their message followed by the screen's text. std::logic_error
  /// without a screen; std::out_of_range when `area` does not lie on the screen.
  void expect_screen(const Regex& pattern, timeout_arg timeout = -1,
                     std::optional<screen_area> area = std::nullopt);
  /// The same for plain text: waits until the screen (or `area`) contains `text`.
  void expect_screen_exact(std::string_view text, timeout_arg timeout = -1,
                           std::optional<screen_area> area = std::nullopt);
  /// Waits until `condition` holds for the screen: it is asked at once, and again whenever output
  /// has been read. On success `match` holds the screen's text; the other fields, the time-out
  /// and the errors are those of expect_screen. An exception the condition throws ends the wait
  /// as any failure of an expect does.
  void expect_screen(const screen_condition& condition, timeout_arg timeout = -1);
  /// Waits until the screen has shown the same (every cell's text and attributes, and the
  /// cursor) for `quiet`, counted from the call on, since output may be waiting unread: for a
  /// program that has finished drawing, whatever it draws. Output that leaves the screen as it
  /// was does not count as a change; a `quiet` of 0 or less returns once the terminal holds no
  /// more output. The wait sleeps until output arrives or the quiet time is over. On success
  /// `match` holds the screen's text; the other fields, the time-out (which must be longer than
  /// `quiet` to succeed) and the errors are those of expect_screen.
  void expect_screen_settled(delay_arg quiet, timeout_arg timeout = -1);
  /// The searchers of expect_screen (a pattern or a condition) and expect_screen_exact, for a
  /// pending_expect or expect_any on this session: they look at the screen, not at the bytes
  /// (their errors then carry the state report without the screen's text). std::logic_error
  /// without a screen.
  std::shared_ptr<searcher_base> screen_searcher(const Regex& pattern,
                                                 std::optional<screen_area> area = std::nullopt) const;
  std::shared_ptr<searcher_base> screen_searcher_exact(std::string_view text,
                                                       std::optional<screen_area> area = std::nullopt) const;
  std::shared_ptr<searcher_base> screen_searcher(screen_condition condition) const;

  // ---- patterns and expect ----------------------------------------------------------------
  /// Strings become expressions compiled with dotall (and ignorecase when set); markers and
  /// compiled expressions are kept.
  pattern_list compile_pattern_list(std::nullopt_t) const { return {}; }
  pattern_list compile_pattern_list(const pattern_entry& pattern) const;
  pattern_list compile_pattern_list(const pattern_list& patterns) const;
  pattern_list compile_pattern_list(std::initializer_list<pattern_entry> patterns) const {
    return compile_pattern_list(pattern_list(patterns));
  }

  /// Waits for a regular expression (or marker) to turn up; returns its index.
  long expect(const pattern_list& pattern, timeout_arg timeout = -1,
              std::optional<long> searchwindowsize = -1);
  long expect(std::initializer_list<pattern_entry> pattern, timeout_arg timeout = -1,
              std::optional<long> searchwindowsize = -1);
  long expect(const pattern_entry& pattern, timeout_arg timeout = -1,
              std::optional<long> searchwindowsize = -1);
  long expect(std::nullopt_t, timeout_arg timeout = -1, std::optional<long> searchwindowsize = -1);
  /// Like expect, with a list already made by compile_pattern_list.
  long expect_list(const pattern_list& pattern_list, timeout_arg timeout = -1,
                   std::optional<long> searchwindowsize = -1);
  /// Waits for plain text (no character is special).
  long expect_exact(const pattern_list& pattern_list, timeout_arg timeout = -1,
                    std::optional<long> searchwindowsize = -1);
  long expect_exact(std::initializer_list<pattern_entry> pattern_list, timeout_arg timeout = -1,
                    std::optional<long> searchwindowsize = -1);
  long expect_exact(const pattern_entry& pattern, timeout_arg timeout = -1,
                    std::optional<long> searchwindowsize = -1);
  /// The read-and-search loop all expects end in.
  long expect_loop(std::shared_ptr<searcher_base> searcher, timeout_arg timeout = -1,
                   std::optional<long> searchwindowsize = -1);

  // ---- the last expect's result, read without variant access -------------------------------
  /// Text of group `n` of the last match: 0 is the whole match after either kind of expect,
  /// 1.. the groups of a regular expression. nullopt when the last expect ended without a match
  /// (or at a marker), or the group did not take part or does not exist. Never throws.
  std::optional<std::string> group(std::size_t n) const;
  /// Text of the named group of the last regular-expression match; nullopt as for group(n).
  std::optional<std::string> group(std::string_view name) const;
  /// The text the last expect matched (`after` when it holds text); nullopt otherwise.
  std::optional<std::string> matched_text() const;
  /// `before` as text; empty when it holds nothing.
  std::string before_text() const { return before.value_or(std::string()); }

  // ---- state report -----------------------------------------------------------------------
  /// The 26-line state report.
  std::string str() const;

 protected:
  expect_base() = default;
  expect_base(const expect_base&) = delete;
  expect_base& operator=(const expect_base&) = delete;
  expect_base(expect_base&& other) noexcept;
  /// Takes the other's state; the caller has already released what this object held.
  expect_base& operator=(expect_base&& other) noexcept;

  /// What the state report shows of the object beyond the shared fields.
  struct report_identity {
    const char* class_name;
    std::optional<std::string> command;
    std::optional<std::vector<std::string>> args;
    std::optional<int> exitstatus;
    std::optional<pid_t> pid;
  };
  virtual report_identity identity() const = 0;

  /// The pause before every send: `delaybeforesend` seconds in full.
  virtual void pause_before_send();
  /// The liveness test reads use: unlike a caller's isalive(), it must never block.
  virtual bool alive_without_blocking() { return isalive(); }
  /// A descriptor that becomes readable when the other side ends, or -1.
  virtual int end_notice_fd() { return -1; }
  /// Whether the other side can end with nothing to tell it, no end notice included: waits are
  /// then cut into short naps after which the liveness test looks again.
  virtual bool end_unannounced() { return false; }
  /// One write of `data` to the descriptor, as write(2) returns it.
  virtual long write_to_descriptor(std::string_view data);
  /// One read of at most `size` bytes into `into`, as read(2) returns it (going on after
  /// signals): the count, 0 at end of file, or -1 with errno set. EAGAIN means the descriptor
  /// woke with nothing to read yet, which is not an end.
  virtual long read_from_descriptor(char* into, std::size_t size);
  /// Whether output already waits outside the descriptor (in a transport's own buffer), so that a
  /// read needs no wait on the descriptor first.
  virtual bool input_buffered() { return false; }
  /// The terminal's control character `which` (an index of termios c_cc, such as VEOF or VINTR).
  virtual char terminal_character(int which) const;
  /// Tells the screen and the recording that the terminal is now `rows` by `cols`; nothing when
  /// that is the size they know already.
  void terminal_resized(int rows, int cols);
  /// The terminal's size as (rows, columns), which a newly attached screen takes; 24x80 when the
  /// descriptor is not a terminal.
  virtual std::pair<int, int> terminal_size() const;
  /// Feeds output to the screen and the recording; with `answer`, sends the screen's answers to
  /// the program.
  void show_output(std::string_view chunk, bool answer);

 private:
  friend class pending_expect;

  /// send() and sendline() of `bytes`, with `shown` going to the logs and the recording instead.
  long send_shown(std::string_view bytes, std::string_view shown);
  long sendline_shown(std::string_view bytes, std::string_view shown, bool wipe_copy);
  /// Writes all of `s`, going on after signals; returns the count written.
  long write_all_of(std::string_view s);
  /// Refuses a read on a closed object or of a size below 1 (std::logic_error).
  void check_can_read(long size) const;
  /// One read of at most `size` bytes from the descriptor, which the caller found readable; the
  /// bytes are logged and returned as a view of the landing buffer, valid until the next read.
  /// An empty view when nothing has arrived yet after all. At end of file: sets `flag_eof`,
  /// returns nullopt and points `end_of_file_message` at the message the read's EOF_ carries.
  std::optional<std::string_view> take_chunk(long size, const char*& end_of_file_message);
  /// The expect loop's pause after a read of `got` bytes out of `requested`.
  void pause_after_read(long requested, std::size_t got);
  /// Runs a wait over the screen, adding the screen's text to the message of its TIMEOUT or EOF_.
  void expect_on_screen(const std::function<void()>& wait);

  // Where reads land before they are copied out; kept here rather than on the stack of every
  // read, and only as large as the largest read asked for so far.
  std::vector<char> landing_;
  std::unique_ptr<pexpect_custom::screen> screen_;
  // The terminal size the screen and the recording last heard of; (0, 0) before any.
  std::pair<int, int> known_size_{0, 0};
  // Where the plain-text filter stopped at the end of the last read.
  detail::sequence_position sequence_position_;
  // Set while a pending_expect runs on this object.
  bool expect_pending_ = false;
};

/// Input iterator over the lines of an expect_base (see expect_base::next()).
class expect_base::line_iterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = std::string;
  using difference_type = std::ptrdiff_t;
  using pointer = const std::string*;
  using reference = const std::string&;

  line_iterator() = default;
  explicit line_iterator(expect_base* owner);
  reference operator*() const { return line_; }
  pointer operator->() const { return &line_; }
  line_iterator& operator++();
  void operator++(int) { ++*this; }
  friend bool operator==(const line_iterator& a, const line_iterator& b) { return a.owner_ == b.owner_; }

 private:
  expect_base* owner_ = nullptr;
  std::string line_;
};

/// Writes the state report.
std::ostream& operator<<(std::ostream& out, const expect_base& object);

}  // namespace pexpect_custom
