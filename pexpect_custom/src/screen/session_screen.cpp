// A session's screen and recording: what the program shows, fed by every read, waited on by
// expect_screen, and the keys, mouse reports and pasted text sent in the modes the screen is in.
#include <sys/ioctl.h>

#include <algorithm>
#include <stdexcept>
#include <variant>

#include "pexpect_custom/expect_base.hpp"

namespace pexpect_custom {

namespace {

int screen_rows(int n) {
  return std::clamp(n, 1, screen::max_size);
}

// A terminal narrower than a screen can be (one that was never given a size reports 0) is shown
// on the narrowest screen.
int screen_cols(int n) {
  return std::clamp(n, screen::min_cols, screen::max_size);
}

// Waits for the screen's text to match: the bytes searched are only the reason to look again.
// A match consumes every byte read so far, since all of them are on the screen already.
class screen_text_searcher : public searcher_base {
 public:
  using wanted = std::variant<Regex, std::string, screen_condition>;

  screen_text_searcher(const screen& shown, wanted pattern, std::optional<screen_area> area)
      : shown_(shown), pattern_(std::move(pattern)), area_(area) {}

  long search(std::string_view buffer, long /*freshlen*/, std::optional<long> /*window*/) override {
    const std::string text = area_ ? shown_.text(*area_) : shown_.text();
    if (const auto* expression = std::get_if<Regex>(&pattern_)) {
      std::optional<Match> found = expression->search(text);
      if (!found) return -1;
      match_ = std::move(*found);
    } else if (const auto* wanted_text = std::get_if<std::string>(&pattern_)) {
      if (text.find(*wanted_text) == std::string::npos) return -1;
      match_ = *wanted_text;
    } else {
      if (!std::get<screen_condition>(pattern_)(shown_)) return -1;
      match_ = text;
    }
    start = buffer.size();
    end = buffer.size();
    return 0;
  }

  std::optional<match_value> match_result() const override { return match_; }

  std::string str() const override {
    std::string line = "screen searcher:\n    0: ";
    if (const auto* expression = std::get_if<Regex>(&pattern_)) {
      line += "expression " + expression->pattern();
    } else if (const auto* wanted_text = std::get_if<std::string>(&pattern_)) {
      line += "text " + *wanted_text;
    } else {
      line += "a condition";
    }
    if (area_) {
      line += " in " + std::to_string(area_->rows) + "x" + std::to_string(area_->cols) + " at " +
              std::to_string(area_->top) + "," + std::to_string(area_->left);
    }
    return line;
  }

 private:
  const screen& shown_;
  wanted pattern_;
  std::optional<screen_area> area_;
  std::optional<match_value> match_;
};

}  // namespace

void expect_base::attach_screen() {
  if (screen_) return;
  const auto [rows, cols] = terminal_size();
  known_size_ = {rows, cols};
  screen_ = std::make_unique<pexpect_custom::screen>(screen_rows(rows), screen_cols(cols));
}

std::pair<int, int> expect_base::terminal_size() const {
  winsize size{};
  if (ioctl(child_fd, TIOCGWINSZ, &size) != 0) return {24, 80};
  return {size.ws_row, size.ws_col};
}

pexpect_custom::screen& expect_base::screen() {
  if (!screen_) throw std::logic_error("this session has no screen: call attach_screen() first");
  return *screen_;
}

const pexpect_custom::screen& expect_base::screen() const {
  if (!screen_) throw std::logic_error("this session has no screen: call attach_screen() first");
  return *screen_;
}

void expect_base::show_output(std::string_view chunk, bool answer) {
  if (recording) recording->output(chunk);
  if (!screen_) return;
  screen_->feed(chunk);
  const std::string replies = screen_->take_replies();
  if (!answer || replies.empty()) return;
  // A program that is gone or has closed its terminal asks nothing any more.
  try {
    write_all_of(replies);
  } catch (const SystemError&) {  // NOLINT(bugprone-empty-catch): nobody is left to answer
  }
}

void expect_base::terminal_resized(int rows, int cols) {
  if (std::pair(rows, cols) == known_size_) return;
  known_size_ = {rows, cols};
  if (screen_) screen_->resize(screen_rows(rows), screen_cols(cols));
  if (recording) recording->resize(screen_rows(rows), screen_cols(cols));
}

long expect_base::send_key(key k, key_modifiers modifiers) {
  return send(screen_ ? screen_->key(k, modifiers) : key_sequence(k, modifiers));
}

long expect_base::send_key(char32_t character, key_modifiers modifiers) {
  return send(screen_ ? screen_->key(character, modifiers) : key_sequence(character, modifiers));
}

long expect_base::send_paste(std::string_view text) {
  // A fresh screen has bracketed paste off.
  return send(screen_ ? screen_->paste(text)
                      : pexpect_custom::screen(1, pexpect_custom::screen::min_cols).paste(text));
}

namespace {

// Sends a mouse report unless there is none to send.
bool send_report(expect_base& session, const std::string& report) {
  if (report.empty()) return false;
  session.send(report);
  return true;
}

}  // namespace

bool expect_base::send_click(screen_position at, mouse_button button, key_modifiers modifiers) {
  return send_report(*this, screen().click(at, button, modifiers));
}

bool expect_base::send_drag(screen_position from, screen_position to, mouse_button button,
                            key_modifiers modifiers) {
  return send_report(*this, screen().drag(from, to, button, modifiers));
}

bool expect_base::send_wheel(screen_position at, wheel_direction direction, int notches,
                             key_modifiers modifiers) {
  return send_report(*this, screen().wheel(at, direction, notches, modifiers));
}

std::shared_ptr<searcher_base> expect_base::screen_searcher(const Regex& pattern,
                                                            std::optional<screen_area> area) const {
  return std::make_shared<screen_text_searcher>(screen(), pattern, area);
}

std::shared_ptr<searcher_base> expect_base::screen_searcher_exact(std::string_view text,
                                                                  std::optional<screen_area> area) const {
  return std::make_shared<screen_text_searcher>(screen(), std::string(text), area);
}

std::shared_ptr<searcher_base> expect_base::screen_searcher(screen_condition condition) const {
  return std::make_shared<screen_text_searcher>(screen(), std::move(condition), std::nullopt);
}

void expect_base::expect_screen(const Regex& pattern, timeout_arg limit, std::optional<screen_area> area) {
  auto searcher = screen_searcher(pattern, area);
  expect_on_screen([&] { expect_loop(searcher, limit, std::nullopt); });
}

void expect_base::expect_screen_exact(std::string_view text, timeout_arg limit,
                                      std::optional<screen_area> area) {
  auto searcher = screen_searcher_exact(text, area);
  expect_on_screen([&] { expect_loop(searcher, limit, std::nullopt); });
}

void expect_base::expect_screen(const screen_condition& condition, timeout_arg limit) {
  auto searcher = screen_searcher(condition);
  expect_on_screen([&] { expect_loop(searcher, limit, std::nullopt); });
}

// The error's message gains what the screen showed when the wait gave up.
void expect_base::expect_on_screen(const std::function<void()>& wait) {
  auto with_screen = [this](const ExceptionPexpect& error) {
    return std::string(error.what()) + "\nscreen:\n" + screen_->text();
  };
  try {
    wait();
  } catch (const TIMEOUT& error) {
    throw TIMEOUT(with_screen(error));
  } catch (const EOF_& error) {
    throw EOF_(with_screen(error));
  }
}

}  // namespace pexpect_custom
