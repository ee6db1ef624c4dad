// Checking a screen against its golden file: the comparison, its report, the pictures beside a
// failing file and the update switch.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "pexpect_custom/snapshot.hpp"
#include "pexpect_custom/svg.hpp"
#include "screen/golden.hpp"

namespace pexpect_custom {

namespace {

namespace fs = std::filesystem;

bool update_requested() {
  const char* value = std::getenv("PEXPECT_UPDATE_SNAPSHOTS");
  return value != nullptr && *value != '\0' && std::string_view(value) != "0";
}

std::string row_line(char mark, int row, const std::string& inside) {
  std::string number = std::to_string(row);
  std::string line(1, mark);
  line.append(number.size() < 4 ? 4 - number.size() : 0, ' ');
  return line + number + " |" + inside + "|\n";
}

// "^" under each cell for which `differs` holds, as many as the cell's columns.
template <typename Differs>
std::string carets(const screen& shown, int row, int cols, Differs differs) {
  std::string line(7, ' ');
  for (int c = 0; c < cols; ++c) {
    const int width = row < shown.rows() && c < shown.cols() ? shown.cell(row, c).width : 1;
    if (width == 0) continue;
    line.append(static_cast<std::size_t>(width), differs(c) ? '^' : ' ');
  }
  line.erase(line.find_last_not_of(' ') + 1);
  return line + "\n";
}

std::string cell_glyph(const screen& shown, int row, int col) {
  if (row >= shown.rows() || col >= shown.cols()) return "";
  return detail::golden_glyph(shown.cell(row, col));
}

// The report of every difference between the snapshot and the screen; "" when there is none.
class comparison {
 public:
  comparison(const detail::golden_screen& expected, const screen& expected_screen,
             const detail::golden_screen& actual, const screen& actual_screen)
      : want_(expected), want_screen_(expected_screen), got_(actual), got_screen_(actual_screen) {}

  std::string report() const { return header() + text() + attributes() + cursor(); }

 private:
  std::string header() const {
    const auto want = detail::golden_text(want_);
    const auto got = detail::golden_text(got_);
    const std::string first_want = want.substr(0, want.find('\n'));
    const std::string first_got = got.substr(0, got.find('\n'));
    if (first_want == first_got) return "";
    return "-" + first_want + "\n+" + first_got + "\n";
  }

  std::string text() const {
    const int rows = std::max(want_.rows, got_.rows);
    const int cols = std::max(want_.cols, got_.cols);
    std::string lines;
    bool differs = false;
    for (int r = 0; r < rows; ++r) {
      const std::string want = r < want_.rows ? want_.text[r] : "";
      const std::string got = r < got_.rows ? got_.text[r] : "";
      if (want == got) {
        lines += row_line(' ', r, got);
        continue;
      }
      differs = true;
      lines += row_line('-', r, want) + row_line('+', r, got);
      lines += carets(got_screen_, r, cols,
                      [&](int c) { return cell_glyph(want_screen_, r, c) != cell_glyph(got_screen_, r, c); });
    }
    return differs ? lines : "";
  }

  std::string look(const detail::golden_screen& golden, int row, int col) const {
    if (row >= static_cast<int>(golden.looks.size()) || col >= golden.cols) return "";
    return golden.looks[row][col];
  }

  std::string attributes() const {
    if (!want_.options.attributes || !got_.options.attributes) return "";
    const int rows = std::max(want_.rows, got_.rows);
    const int cols = std::max(want_.cols, got_.cols);
    std::string lines;
    for (int r = 0; r < rows; ++r) {
      auto differs = [&](int c) { return look(want_, r, c) != look(got_, r, c); };
      bool any = false;
      for (int c = 0; c < cols && !any; ++c) any = differs(c);
      if (!any) continue;
      lines += row_line('-', r, r < want_.rows ? want_.map[r] : "") +
               row_line('+', r, r < got_.rows ? got_.map[r] : "");
      std::string marks(7, ' ');
      for (int c = 0; c < cols; ++c) marks += differs(c) ? '^' : ' ';
      marks.erase(marks.find_last_not_of(' ') + 1);
      lines += marks + "\n";
    }
    if (lines.empty()) return "";
    return "attributes (- expected, + actual):\n" + lines + "expected legend: " + joined(want_.legend) +
           "\nactual legend:   " + joined(got_.legend) + "\n";
  }

  static std::string joined(const std::vector<std::string>& entries) {
    std::string text;
    for (const auto& entry : entries) text += (text.empty() ? "" : "; ") + entry;
    return text.empty() ? "(none)" : text;
  }

  std::string cursor() const {
    if (!want_.cursor || !got_.cursor || *want_.cursor == *got_.cursor) return "";
    auto at = [](screen_position p) { return std::to_string(p.row) + "," + std::to_string(p.col); };
    return "cursor: expected " + at(*want_.cursor) + ", actual " + at(*got_.cursor) + "\n";
  }

  const detail::golden_screen& want_;
  const screen& want_screen_;
  const detail::golden_screen& got_;
  const screen& got_screen_;
};

// Writes `content` to `path` through a file beside it, so that a reader never sees half of it.
// The cause of a failure, or "".
std::string write_file(const fs::path& path, const std::string& content) {
  std::error_code error;
  if (path.has_parent_path()) fs::create_directories(path.parent_path(), error);
  if (error) return path.parent_path().string() + ": " + error.message();
  const fs::path partial = path.string() + ".partial";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out << content;
    out.flush();
    if (!out) {
      const int cause = errno;
      fs::remove(partial, error);
      return path.string() + ": [Errno " + std::to_string(cause) + "] " + std::strerror(cause);
    }
  }
  fs::rename(partial, path, error);
  if (error) {
    std::error_code ignored;
    fs::remove(partial, ignored);
    return path.string() + ": " + error.message();
  }
  return "";
}

// The file's text; nullopt when it does not exist, `problem` set when it cannot be read.
std::optional<std::string> read_file(const fs::path& path, std::string& problem) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    const int cause = errno;
    if (cause == ENOENT) return std::nullopt;
    problem = "cannot read it: [Errno " + std::to_string(cause) + "] " + std::strerror(cause);
    return std::nullopt;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

fs::path picture_path(const fs::path& golden, const char* which) {
  fs::path picture = golden;
  return picture.replace_extension(std::string(".") + which + ".svg");
}

class golden_check {
 public:
  golden_check(const screen& shown, const std::string& path, snapshot_options options)
      : shown_(shown), path_(path), actual_(detail::golden_of(shown, options)) {}

  snapshot_result run() {
    std::string problem;
    const std::optional<std::string> stored = read_file(path_, problem);
    if (!problem.empty()) return fail(problem, nullptr);
    if (!stored) return update_requested() ? update("written") : fail("it does not exist", nullptr);
    detail::golden_screen expected;
    try {
      expected = detail::parse_golden(*stored);
    } catch (const std::logic_error& error) {
      return update_requested() ? update("rewritten")
                                : fail(std::string("it is not a snapshot: ") + error.what(), nullptr);
    }
    const screen expected_screen = detail::screen_of(expected);
    const std::string differences = comparison(expected, expected_screen, actual_, shown_).report();
    if (differences.empty()) return pass();
    if (update_requested()) return update("updated");
    return fail("the screen differs (- expected, + actual):\n" + differences, &expected_screen,
                expected.cursor.has_value());
  }

 private:
  snapshot_result pass() const {
    std::error_code ignored;
    fs::remove(picture_path(path_, "expected"), ignored);
    fs::remove(picture_path(path_, "actual"), ignored);
    return {true, ""};
  }

  snapshot_result update(const char* done) const {
    const std::string problem = write_file(path_, detail::golden_text(actual_));
    if (!problem.empty()) return {false, "snapshot " + path_.string() + " could not be written: " + problem};
    snapshot_result result = pass();
    result.message = "snapshot " + path_.string() + " " + done;
    return result;
  }

  // The expected screen is drawn when the file could be read, with the cursor when it holds one.
  snapshot_result fail(const std::string& why, const screen* expected, bool expected_cursor = false) const {
    std::string message = "snapshot " + path_.string() + ": " + why;
    if (message.back() != '\n') message += "\n";
    if (!expected) message += "the screen:\n" + detail::golden_text(actual_);
    message += "pictures:";
    std::error_code ignored;
    if (expected) {
      message += picture(*expected, "expected", expected_cursor);
    } else {
      fs::remove(picture_path(path_, "expected"), ignored);
    }
    message += picture(shown_, "actual", true);
    message += "\nto accept the screen, run again with PEXPECT_UPDATE_SNAPSHOTS=1\n";
    return {false, message};
  }

  std::string picture(const screen& drawn, const char* which, bool with_cursor) const {
    const fs::path file = picture_path(path_, which);
    const std::string problem = write_file(file, screen_svg(drawn, {.cursor = with_cursor}));
    std::string named = " ";
    if (problem.empty()) return named.append(file.string());
    return named.append("(not written: ").append(problem).append(")");
  }

  const screen& shown_;
  fs::path path_;
  detail::golden_screen actual_;
};

}  // namespace

std::string snapshot_text(const screen& shown, snapshot_options options) {
  return detail::golden_text(detail::golden_of(shown, options));
}

snapshot_result check_snapshot(const screen& shown, const std::string& path, snapshot_options options) {
  return golden_check(shown, path, options).run();
}

}  // namespace pexpect_custom
