// The golden file form:
//
//   screen 3x10 attributes cursor
//   |Name: ab  |
//   |          |
//   |[ OK ]    |
//   attributes
//   |aaaaa.....|
//   |..........|
//   |bbbbbb....|
//   legend
//   a bold
//   b reverse fg=2
//   cursor 2,2
//
// Rows stand between two "|", so trailing blanks show. The map gives each cell a symbol, "." for
// plain cells; the legend names each symbol's attributes: bold, italic, underline, reverse,
// fg= and bg= with a palette index (0-255) or #rrggbb.
#include "screen/golden.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <stdexcept>

#include "screen/glyph.hpp"
#include "screen/utf8_tail.hpp"

namespace pexpect_custom::detail {

namespace {

std::string colour_word(const colour& c) {
  if (c.kind == colour::kinds::indexed) return std::to_string(c.index);
  char text[8];
  std::snprintf(text, sizeof text, "#%02x%02x%02x", c.red, c.green, c.blue);
  return text;
}

std::string look_of(const screen_cell& cell) {
  std::string words;
  auto add = [&words](const std::string& word) { words += (words.empty() ? "" : " ") + word; };
  if (cell.bold) add("bold");
  if (cell.italic) add("italic");
  if (cell.underline) add("underline");
  if (cell.reverse) add("reverse");
  if (cell.foreground.kind != colour::kinds::terminal_default) add("fg=" + colour_word(cell.foreground));
  if (cell.background.kind != colour::kinds::terminal_default) add("bg=" + colour_word(cell.background));
  return words;
}

std::string utf8(char32_t c) {
  std::string text;
  if (c < 0x80) {
    text += static_cast<char>(c);
  } else {
    text += static_cast<char>(0xC0 | (c >> 6));
    text += static_cast<char>(0x80 | (c & 0x3F));
  }
  return text;
}

// The map's symbols: letters and digits, then the Latin letters of U+00C0 ... U+024F (all of
// them one column wide), leaving out the multiplication and division signs.
std::string symbol(std::size_t n) {
  static const std::string ascii = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  if (n < ascii.size()) return std::string(1, ascii[n]);
  char32_t c = 0xC0 + static_cast<char32_t>(n - ascii.size());
  if (c >= 0xD7) ++c;
  if (c >= 0xF7) ++c;
  if (c > 0x24F) throw std::length_error("the screen has too many different attributes for a snapshot");
  return utf8(c);
}

// The characters of `text`, each a UTF-8 sequence (or a stray byte).
std::vector<std::string> code_points(std::string_view text) {
  std::vector<std::string> points;
  while (!text.empty()) {
    const std::size_t length =
        std::max<std::size_t>(1, utf8_sequence_length(static_cast<unsigned char>(text[0])));
    points.emplace_back(text.substr(0, std::min(length, text.size())));
    text.remove_prefix(std::min(length, text.size()));
  }
  return points;
}

[[noreturn]] void bad_line(std::size_t number, const std::string& why) {
  throw std::logic_error("line " + std::to_string(number) + ": " + why);
}

class line_reader {
 public:
  explicit line_reader(const std::string& text) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      line.erase(line.find_last_not_of(" \t\r") + 1);
      lines_.push_back(std::move(line));
    }
    while (!lines_.empty() && lines_.back().empty()) lines_.pop_back();
  }

  bool done() const { return next_ >= lines_.size(); }
  std::size_t number() const { return next_ + 1; }
  const std::string& peek() const { return lines_[next_]; }

  const std::string& take(const char* what) {
    if (done()) bad_line(number(), std::string("missing ") + what);
    return lines_[next_++];
  }

  // The inside of a framed row.
  std::string framed(const char* what) {
    const std::string& line = take(what);
    if (line.size() < 2 || line.front() != '|' || line.back() != '|')
      bad_line(number() - 1, std::string("not a framed ") + what);
    return line.substr(1, line.size() - 2);
  }

  void word(const std::string& expected) {
    if (take(expected.c_str()) != expected) bad_line(number() - 1, "expected \"" + expected + "\"");
  }

 private:
  std::vector<std::string> lines_;
  std::size_t next_ = 0;
};

void read_header(line_reader& in, golden_screen& golden) {
  std::istringstream words(in.take("the header"));
  std::string first;
  char x = 0;
  words >> first >> golden.rows >> x >> golden.cols;
  if (first != "screen" || x != 'x' || !words || golden.rows < 1 || golden.cols < 1 ||
      golden.rows > screen::max_size || golden.cols > screen::max_size) {
    bad_line(1, "not a header \"screen ROWSxCOLS [attributes] [cursor]\"");
  }
  for (std::string option; words >> option;) {
    if (option == "attributes")
      golden.options.attributes = true;
    else if (option == "cursor")
      golden.options.cursor = true;
    else
      bad_line(1, "unknown option \"" + option + "\"");
  }
}

void read_attributes(line_reader& in, golden_screen& golden) {
  in.word("attributes");
  std::vector<std::size_t> map_lines;
  for (int r = 0; r < golden.rows; ++r) {
    map_lines.push_back(in.number());
    golden.map.push_back(in.framed("attribute row"));
  }
  in.word("legend");
  std::map<std::string, std::string> legend{{".", ""}};
  while (!in.done() && in.peek().rfind("cursor ", 0) != 0) {
    const std::string& entry = in.take("a legend entry");
    const std::size_t blank = entry.find(' ');
    if (blank == std::string::npos) bad_line(in.number() - 1, "a legend entry without attributes");
    golden.legend.push_back(entry);
    legend[entry.substr(0, blank)] = entry.substr(blank + 1);
  }
  for (int r = 0; r < golden.rows; ++r) {
    std::vector<std::string> looks;
    for (const std::string& point : code_points(golden.map[r])) {
      const auto found = legend.find(point);
      if (found == legend.end()) bad_line(map_lines[r], "the symbol \"" + point + "\" is not in the legend");
      looks.push_back(found->second);
    }
    if (static_cast<int>(looks.size()) != golden.cols)
      bad_line(map_lines[r], "an attribute row of another width");
    golden.looks.push_back(std::move(looks));
  }
}

void read_cursor(line_reader& in, golden_screen& golden) {
  std::istringstream words(in.take("the cursor"));
  std::string first;
  screen_position at;
  char comma = 0;
  words >> first >> at.row >> comma >> at.col;
  if (first != "cursor" || comma != ',' || !words) bad_line(in.number() - 1, "not \"cursor ROW,COL\"");
  if (at.row < 0 || at.row >= golden.rows || at.col < 0 || at.col >= golden.cols) {
    bad_line(in.number() - 1, "a cursor outside the screen");
  }
  golden.cursor = at;
}

// The SGR parameters that give a cell the attributes `look` names.
std::string sgr_of(const std::string& look) {
  std::string parameters = "0";
  std::istringstream words(look);
  for (std::string word; words >> word;) {
    if (word == "bold")
      parameters += ";1";
    else if (word == "italic")
      parameters += ";3";
    else if (word == "underline")
      parameters += ";4";
    else if (word == "reverse")
      parameters += ";7";
    else if (word.size() > 3 && (word.rfind("fg=", 0) == 0 || word.rfind("bg=", 0) == 0)) {
      const std::string value = word.substr(3);
      const std::string base = word[0] == 'f' ? ";38" : ";48";
      unsigned red = 0, green = 0, blue = 0;
      if (value[0] == '#' && std::sscanf(value.c_str(), "#%2x%2x%2x", &red, &green, &blue) == 3) {
        parameters +=
            base + ";2;" + std::to_string(red) + ";" + std::to_string(green) + ";" + std::to_string(blue);
      } else {
        parameters += base + ";5;" + std::to_string(std::clamp(std::atoi(value.c_str()), 0, 255));
      }
    }
  }
  return "\x1b[" + parameters + "m";
}

std::string cursor_to(int row, int col) {
  return "\x1b[" + std::to_string(row + 1) + ";" + std::to_string(col + 1) + "H";
}

}  // namespace

std::string golden_glyph(const screen_cell& cell) {
  if (cell.width == 0) return "";
  const std::string glyph = safe_glyph(cell.text);
  return glyph.empty() ? " " : glyph;
}

golden_screen golden_of(const screen& shown, snapshot_options options) {
  golden_screen golden;
  golden.rows = shown.rows();
  golden.cols = shown.cols();
  golden.options = options;
  std::map<std::string, std::string> symbols;  // attributes -> symbol
  for (int r = 0; r < golden.rows; ++r) {
    std::string text, map;
    std::vector<std::string> looks;
    for (int c = 0; c < golden.cols; ++c) {
      const screen_cell cell = shown.cell(r, c);
      text += golden_glyph(cell);
      if (!options.attributes) continue;
      looks.push_back(look_of(cell));
      if (looks.back().empty()) {
        map += '.';
        continue;
      }
      auto [at, added] = symbols.try_emplace(looks.back(), "");
      if (added) {
        at->second = symbol(golden.legend.size());
        golden.legend.push_back(at->second + " " + at->first);
      }
      map += at->second;
    }
    golden.text.push_back(std::move(text));
    if (!options.attributes) continue;
    golden.map.push_back(std::move(map));
    golden.looks.push_back(std::move(looks));
  }
  if (options.cursor) {
    // libvterm can report a position just off the screen after some sequences; a terminal shows
    // the cursor at the nearest cell.
    const screen_position at = shown.cursor();
    golden.cursor =
        screen_position{std::clamp(at.row, 0, golden.rows - 1), std::clamp(at.col, 0, golden.cols - 1)};
  }
  return golden;
}

std::string golden_text(const golden_screen& golden) {
  std::string text = "screen " + std::to_string(golden.rows) + "x" + std::to_string(golden.cols);
  if (golden.options.attributes) text += " attributes";
  if (golden.options.cursor) text += " cursor";
  text += "\n";
  for (const auto& row : golden.text) text += "|" + row + "|\n";
  if (golden.options.attributes) {
    text += "attributes\n";
    for (const auto& row : golden.map) text += "|" + row + "|\n";
    text += "legend\n";
    for (const auto& entry : golden.legend) text += entry + "\n";
  }
  if (golden.cursor)
    text += "cursor " + std::to_string(golden.cursor->row) + "," + std::to_string(golden.cursor->col) + "\n";
  return text;
}

golden_screen parse_golden(const std::string& text) {
  line_reader in(text);
  golden_screen golden;
  read_header(in, golden);
  for (int r = 0; r < golden.rows; ++r) golden.text.push_back(in.framed("row"));
  if (golden.options.attributes) read_attributes(in, golden);
  if (golden.options.cursor) read_cursor(in, golden);
  if (!in.done()) bad_line(in.number(), "more than the snapshot holds");
  return golden;
}

screen screen_of(const golden_screen& golden) {
  screen shown(golden.rows, golden.cols);
  shown.feed("\x1b[?7l");  // a row longer than the screen must not wrap into the next, nor scroll
  for (int r = 0; r < golden.rows; ++r) shown.feed(cursor_to(r, 0) + safe_glyph(golden.text[r]));
  for (int r = 0; r < static_cast<int>(golden.looks.size()); ++r) {
    for (int c = 0; c < golden.cols; ++c) {
      const std::string& look = golden.looks[r][c];
      if (look.empty()) continue;
      const std::string glyph = golden_glyph(shown.cell(r, c));
      if (!glyph.empty()) shown.feed(cursor_to(r, c) + sgr_of(look) + glyph + "\x1b[0m");
    }
  }
  if (golden.cursor) shown.feed(cursor_to(golden.cursor->row, golden.cursor->col));
  return shown;
}

}  // namespace pexpect_custom::detail
