#include "pexpect_custom/recorder.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>
#include <istream>
#include <nlohmann/json.hpp>
#include <ostream>
#include <stdexcept>

#include "pexpect_custom/screen.hpp"
#include "screen/replay_events.hpp"
#include "screen/utf8_tail.hpp"

namespace pexpect_custom {

namespace {

using json = nlohmann::json;

std::string dump(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

[[noreturn]] void bad_line(std::size_t number, const std::string& why) {
  throw std::logic_error("recording line " + std::to_string(number) + ": " + why);
}

// A width or height, checked before it is narrowed to an int.
int checked_size(long long value, std::size_t number) {
  if (value < 1 || value > screen::max_size) {
    bad_line(number, "a size outside 1 ... " + std::to_string(screen::max_size));
  }
  return static_cast<int>(value);
}

// A screen is at least min_cols wide: a narrower recording is shown at that width.
int shown_width(int width) {
  return std::max(width, screen::min_cols);
}

int size_in_text(std::string_view text, std::size_t number) {
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size())
    bad_line(number, "a size that is not a number");
  return checked_size(value, number);
}

int size_in_json(const json& value, std::size_t number) {
  if (!value.is_number_integer()) bad_line(number, "no width or height");
  if (value.is_number_unsigned()) {  // every value above the limit is as wrong as the next
    return checked_size(static_cast<long long>(std::min<unsigned long long>(value.get<unsigned long long>(),
                                                                            screen::max_size + 1)),
                        number);
  }
  return checked_size(value.get<long long>(), number);
}

void apply_header(const json& header, std::size_t number, screen& target) {
  if (!header.is_object() || header.value("version", json()) != 2)
    bad_line(number, "not an asciicast v2 header");
  target.resize(size_in_json(header.value("height", json()), number),
                shown_width(size_in_json(header.value("width", json()), number)));
}

void apply_event(const json& event, std::size_t number, screen& target) {
  if (!event.is_array() || event.size() < 3 || !event[0].is_number() || !event[1].is_string() ||
      !event[2].is_string()) {
    bad_line(number, "not an event [time, code, data]");
  }
  const auto& code = event[1].get_ref<const std::string&>();
  const auto& data = event[2].get_ref<const std::string&>();
  if (code == "o") target.feed(data);
  if (code == "r") {
    const std::size_t x = data.find('x');
    if (x == std::string::npos) bad_line(number, "a resize event without COLSxROWS");
    const std::string_view size = data;
    target.resize(size_in_text(size.substr(x + 1), number),
                  shown_width(size_in_text(size.substr(0, x), number)));
  }
}

}  // namespace

recorder::recorder(std::ostream& sink, int rows, int cols, std::string term)
    : sink_(sink), start_(std::chrono::steady_clock::now()) {
  const json header = {{"version", 2},
                       {"width", cols},
                       {"height", rows},
                       {"timestamp", static_cast<long long>(std::time(nullptr))},
                       {"env", {{"TERM", std::move(term)}}}};
  sink_ << dump(header) << '\n';
  sink_.flush();
}

recorder::~recorder() {
  try {
    if (!held_output_.empty()) write_event("o", held_output_);
    if (!held_input_.empty()) write_event("i", held_input_);
  } catch (...) {  // NOLINT(bugprone-empty-catch): a destructor must not throw; the sink reports its state
  }
}

void recorder::output(std::string_view bytes) {
  record("o", held_output_, bytes);
}

void recorder::input(std::string_view bytes) {
  record("i", held_input_, bytes);
}

void recorder::resize(int rows, int cols) {
  write_event("r", std::to_string(cols) + "x" + std::to_string(rows));
}

void recorder::record(std::string_view code, std::string& held, std::string_view bytes) {
  held.append(bytes);
  const std::size_t keep = detail::incomplete_utf8_tail(held);
  if (held.size() == keep) return;
  std::string complete = held.substr(0, held.size() - keep);
  held.erase(0, held.size() - keep);
  write_event(code, complete);
}

void recorder::write_event(std::string_view code, const std::string& data) {
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start_;
  const double seconds = std::round(elapsed.count() * 1e6) / 1e6;
  sink_ << dump(json::array({seconds, code, data})) << '\n';
  sink_.flush();
}

void replay(std::istream& recording, screen& target) {
  detail::replay_events(recording, target, {});
}

void detail::replay_events(std::istream& recording, screen& target,
                           const std::function<void(double)>& after_event) {
  std::string line;
  std::size_t number = 0;
  bool header_seen = false;
  while (std::getline(recording, line)) {
    ++number;
    if (line.empty()) continue;
    const json parsed = json::parse(line, nullptr, false);
    if (parsed.is_discarded()) bad_line(number, "not JSON");
    if (header_seen) {
      apply_event(parsed, number, target);
      if (after_event) after_event(parsed[0].get<double>());
    } else {
      apply_header(parsed, number, target);
      header_seen = true;
    }
  }
  if (!header_seen) bad_line(number + 1, "no header");
}

screen replay(std::istream& recording) {
  screen result;
  replay(recording, result);
  return result;
}

}  // namespace pexpect_custom
