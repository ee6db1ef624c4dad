// Sending input to the child and controlling its terminal.
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <ostream>

#include "io/clock.hpp"
#include "io/wipe.hpp"
#include "pexpect_custom/expect_base.hpp"

namespace pexpect_custom {

namespace {

void log_to(std::ostream* sink, std::string_view data) {
  if (!sink) return;
  sink->write(data.data(), static_cast<std::streamsize>(data.size()));
  sink->flush();
}

termios terminal_attributes(int fd) {
  termios attributes{};
  if (tcgetattr(fd, &attributes) != 0) throw_terminal_error();
  return attributes;
}

// The byte `sendcontrol` sends for a lower-cased character, or -1 when it has none.
int control_code(unsigned char c) {
  if (c >= 'a' && c <= 'z') return c - 96;
  switch (c) {
    case '@':
    case '`':
      return 0;
    case '[':
    case '{':
      return 27;
    case '\\':
    case '|':
      return 28;
    case ']':
    case '}':
      return 29;
    case '^':
    case '~':
      return 30;
    case '_':
      return 31;
    case '?':
      return 127;
    default:
      return -1;
  }
}

// Overwrites a string that held a secret when it goes out of scope, however that happens.
class wiped_on_exit {
 public:
  wiped_on_exit(std::string& text, bool wipe) : text_(text), wipe_(wipe) {}
  wiped_on_exit(const wiped_on_exit&) = delete;
  wiped_on_exit& operator=(const wiped_on_exit&) = delete;
  ~wiped_on_exit() {
    if (wipe_) detail::wipe_bytes(text_.data(), text_.size());
  }

 private:
  std::string& text_;
  bool wipe_;
};

}  // namespace

void expect_base::pause_before_send() {
  detail::sleep_seconds(delaybeforesend, "delaybeforesend");
}

long expect_base::send(std::string_view s) {
  return send_shown(s, s);
}

long expect_base::send(const secret& s) {
  return send_shown(s.reveal(), secret::mask);
}

long expect_base::send_shown(std::string_view bytes, std::string_view shown) {
  pause_before_send();
  log_to(logfile, shown);
  log_to(logfile_send, shown);
  if (recording) recording->input(shown);
  return write_all_of(bytes);
}

long expect_base::sendline(std::string_view s) {
  return sendline_shown(s, s, false);
}

long expect_base::sendline(const secret& s) {
  return sendline_shown(s.reveal(), secret::mask, true);
}

// One pause and one write for the text and its line end; the logs still see them as two entries.
// The joined copy of a secret is wiped once written, or once the write has failed.
long expect_base::sendline_shown(std::string_view bytes, std::string_view shown, bool wipe_copy) {
  pause_before_send();
  constexpr std::string_view line_end = "\n";
  log_to(logfile, shown);
  log_to(logfile_send, shown);
  log_to(logfile, line_end);
  log_to(logfile_send, line_end);
  std::string line;
  line.reserve(bytes.size() + line_end.size());
  line.append(bytes).append(line_end);
  const wiped_on_exit wiper(line, wipe_copy);
  if (recording && wipe_copy) recording->input(std::string(shown).append(line_end));
  if (recording && !wipe_copy) recording->input(line);
  return write_all_of(line);
}

// A blocking write stops part-way when a signal interrupts it after some bytes have gone; the
// rest is written too, so that a signal never cuts what is sent short. A failure after part of
// it has gone returns the length of that part, as write() itself does.
long expect_base::write_all_of(std::string_view s) {
  std::size_t done = 0;
  do {
    const long written = write_to_descriptor(s.substr(done));
    if (written < 0) {
      if (errno == EINTR) continue;
      if (done > 0) break;
      throw_system_error();
    }
    done += static_cast<std::size_t>(written);
  } while (done < s.size());
  return static_cast<long>(done);
}

long expect_base::sendcontrol(std::string_view character) {
  if (character.size() != 1) {
    throw std::invalid_argument("sendcontrol() expects exactly one character, got " +
                                std::to_string(character.size()));
  }
  int code = control_code(static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(character[0]))));
  if (code < 0) return 0;
  char byte = static_cast<char>(code);
  return send(std::string_view(&byte, 1));
}

void expect_base::sendeof() {
  char byte = terminal_character(VEOF);
  send(std::string_view(&byte, 1));
}

void expect_base::sendintr() {
  char byte = terminal_character(VINTR);
  send(std::string_view(&byte, 1));
}

char expect_base::terminal_character(int which) const {
  return static_cast<char>(terminal_attributes(child_fd).c_cc[which]);
}

void expect_base::write(std::string_view s) {
  send(s);
}

void expect_base::writelines(const std::vector<std::string>& sequence) {
  for (const auto& s : sequence) write(s);
}

bool expect_base::getecho() const {
  return (terminal_attributes(child_fd).c_lflag & ECHO) != 0;
}

void expect_base::setecho(bool state) {
  termios attributes = terminal_attributes(child_fd);
  if (state)
    attributes.c_lflag |= ECHO;
  else
    attributes.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  if (tcsetattr(child_fd, TCSANOW, &attributes) != 0) throw_terminal_error();
}

bool expect_base::waitnoecho(timeout_arg limit) {
  std::optional<double> wait_timeout = detail::checked_timeout(limit.resolve(timeout));
  double end_time = wait_timeout ? detail::now() + *wait_timeout : 0;
  while (true) {
    if (!getecho()) return true;
    if (wait_timeout && *wait_timeout < 0) return false;
    if (wait_timeout) wait_timeout = end_time - detail::now();
    detail::sleep_seconds(0.1);
  }
}

long expect_base::write_to_descriptor(std::string_view data) {
  return ::write(child_fd, data.data(), data.size());
}

bool expect_base::isatty() const {
  return ::isatty(child_fd) == 1;
}

void expect_base::setmaxread(long) {
  throw ExceptionPexpect(
      "This method is no longer supported or allowed. Just assign a value to the maxread member variable.");
}

void expect_base::setlog(std::ostream*) {
  throw ExceptionPexpect(
      "This method is no longer supported or allowed. Just assign a value to the logfile member variable.");
}

}  // namespace pexpect_custom
