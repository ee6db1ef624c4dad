// Screens drawn as SVG. Each row is drawn once into <defs> and every frame places the rows it
// shows with <use>, so an animation repeats only the rows that changed. Every character stands
// at its own x: viewers differ in the advance of their glyphs, so no run of text is left to the
// font to lay out.
#include "pexpect_custom/svg.hpp"

#include <algorithm>
#include <charconv>
#include <map>
#include <utility>
#include <vector>

#include "pexpect_custom/screen.hpp"
#include "screen/glyph.hpp"
#include "screen/replay_events.hpp"

namespace pexpect_custom {

namespace {

std::string hex(int r, int g, int b) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text = "#";
  for (const int v : {r, g, b}) {
    text += digits[(v >> 4) & 0xF];
    text += digits[v & 0xF];
  }
  return text;
}

// The colours of the 256-colour palette: 16 basic ones, a 6x6x6 cube and 24 greys.
std::string palette_colour(int index) {
  static const char* const basic[16] = {"#000000", "#cd0000", "#00cd00", "#cdcd00", "#0000ee", "#cd00cd",
                                        "#00cdcd", "#e5e5e5", "#7f7f7f", "#ff0000", "#00ff00", "#ffff00",
                                        "#5c5cff", "#ff00ff", "#00ffff", "#ffffff"};
  if (index < 16) return basic[index];
  if (index >= 232) {
    const int grey = 8 + 10 * (index - 232);
    return hex(grey, grey, grey);
  }
  const int cube = index - 16;
  auto level = [](int step) { return step == 0 ? 0 : 55 + 40 * step; };
  return hex(level(cube / 36), level(cube / 6 % 6), level(cube % 6));
}

// `fallback` for the terminal's own colour.
std::string colour_value(const colour& c, const std::string& fallback) {
  switch (c.kind) {
    case colour::kinds::indexed:
      return palette_colour(c.index);
    case colour::kinds::rgb:
      return hex(c.red, c.green, c.blue);
    default:
      return fallback;
  }
}

std::string escaped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// An attribute value given by the caller: escaped, and made of characters XML allows.
std::string attribute(std::string_view value) {
  return escaped(detail::safe_glyph(value));
}

// Fixed notation with at most six decimals (the shortest form for values too large for it).
std::string number(double value) {
  char text[64];
  auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 6);
  if (result.ec != std::errc()) result = std::to_chars(text, text + sizeof text, value);  // too large
  std::string written(text, result.ptr);
  if (written.find('e') != std::string::npos || written.find('.') == std::string::npos) return written;
  written.erase(written.find_last_not_of('0') + 1);
  if (written.back() == '.') written.pop_back();
  return written;
}

// How one cell is drawn: its colours once reverse video is applied.
struct cell_look {
  std::string glyph;  // "" for nothing to draw
  std::string fill;
  std::string background;  // "" for the terminal's own
  bool bold = false;
  bool italic = false;
  bool underline = false;
  int width = 1;
};

cell_look look_of(const screen_cell& cell, const svg_options& options) {
  cell_look look;
  look.glyph = detail::safe_glyph(cell.text);
  if (look.glyph == " ") look.glyph.clear();
  // Bold text in one of the eight basic colours is drawn in its bright twin, as terminals do.
  colour text = cell.foreground;
  if (cell.bold && text.kind == colour::kinds::indexed && text.index < 8) text.index += 8;
  look.fill = colour_value(text, options.foreground);
  look.background = colour_value(cell.background, "");
  if (cell.reverse) {
    std::string under = look.background.empty() ? options.background : look.background;
    look.background = std::exchange(look.fill, std::move(under));
  }
  look.bold = cell.bold;
  look.italic = cell.italic;
  look.underline = cell.underline;
  look.width = cell.width;
  return look;
}

class svg_writer {
 public:
  explicit svg_writer(const svg_options& options) : options_(options) {
    if (options_.cell_width < 1) options_.cell_width = 1;
    if (options_.cell_height < 1) options_.cell_height = 1;
  }

  // Adds a frame showing `shown` from `seconds` on, or extends the last one when the screen
  // looks the same or the frame began less than frame_interval before.
  void add_frame(const screen& shown, double seconds) {
    rows_ = std::max(rows_, shown.rows());
    cols_ = std::max(cols_, shown.cols());
    std::string frame;
    for (int r = 0; r < shown.rows(); ++r) {
      frame += "<use xlink:href=\"#r" + std::to_string(row_id(shown, r)) + "\" y=\"" +
               std::to_string(r * options_.cell_height) + "\"/>";
    }
    if (options_.cursor) frame += cursor(shown);
    if (!frames_.empty() && frames_.back().content == frame) return;
    // A recording whose times go back still gives frames in order.
    if (!frames_.empty()) seconds = std::max(seconds, frames_.back().start);
    if (!frames_.empty() && seconds - frames_.back().start < options_.frame_interval) {
      frames_.back().content = std::move(frame);
      if (frames_.size() > 1 && frames_[frames_.size() - 2].content == frames_.back().content)
        frames_.pop_back();
      return;
    }
    frames_.push_back({seconds, std::move(frame)});
  }

  std::string document() const {
    const int width = cols_ * options_.cell_width;
    const int height = rows_ * options_.cell_height;
    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" width=\"" +
           std::to_string(width) + "\" height=\"" + std::to_string(height) + "\" viewBox=\"0 0 " +
           std::to_string(width) + " " + std::to_string(height) + "\" font-family=\"" +
           attribute(options_.font_family) + "\" font-size=\"" + number(options_.cell_height * 5.0 / 6) +
           "\">\n";
    svg += "<rect width=\"" + std::to_string(width) + "\" height=\"" + std::to_string(height) + "\" fill=\"" +
           attribute(options_.background) + "\"/>\n<defs>\n";
    for (const auto& row : row_defs_) svg += row + "\n";
    svg += "</defs>\n";
    for (std::size_t i = 0; i < frames_.size(); ++i) svg += frame_group(i);
    return svg + "</svg>\n";
  }

 private:
  struct frame {
    double start = 0;
    std::string content;
  };

  int row_id(const screen& shown, int r) {
    std::string drawing = row_drawing(shown, r);
    const auto [at, added] = row_ids_.try_emplace(std::move(drawing), static_cast<int>(row_defs_.size()));
    if (added) row_defs_.push_back("<g id=\"r" + std::to_string(at->second) + "\">" + at->first + "</g>");
    return at->second;
  }

  // Backgrounds first (a run of cells of one colour as one rectangle), then underlines, then
  // each character at its cell.
  std::string row_drawing(const screen& shown, int r) const {
    const int cols = shown.cols();
    std::vector<cell_look> looks;
    looks.reserve(static_cast<std::size_t>(cols));
    for (int c = 0; c < cols; ++c) looks.push_back(look_of(shown.cell(r, c), options_));
    std::string backgrounds, lines, glyphs;
    for (int c = 0; c < cols;) {
      const cell_look& look = looks[c];
      int end = c + 1;
      while (end < cols && looks[end].background == look.background) ++end;
      if (!look.background.empty()) backgrounds += rect(c, end - c, 0, options_.cell_height, look.background);
      c = end;
    }
    for (int c = 0; c < cols; ++c) {
      const cell_look& look = looks[c];
      if (look.width == 0) continue;
      if (look.underline) {
        lines += rect(c, look.width, options_.cell_height - 2, 1, look.fill);
      }
      if (!look.glyph.empty()) glyphs += glyph(c, look, look.fill);
    }
    return backgrounds + lines + glyphs;
  }

  std::string rect(int col, int cells, int y, int height, const std::string& fill) const {
    return "<rect x=\"" + std::to_string(col * options_.cell_width) + "\" y=\"" + std::to_string(y) +
           "\" width=\"" + std::to_string(cells * options_.cell_width) + "\" height=\"" +
           std::to_string(height) + "\" fill=\"" + attribute(fill) + "\"/>";
  }

  std::string glyph(int col, const cell_look& look, const std::string& fill) const {
    std::string text = "<text x=\"" + std::to_string(col * options_.cell_width) + "\" y=\"" +
                       std::to_string(options_.cell_height - options_.cell_height / 4) + "\" fill=\"" +
                       attribute(fill) + "\"";
    if (look.bold) text += " font-weight=\"bold\"";
    if (look.italic) text += " font-style=\"italic\"";
    return text + ">" + escaped(look.glyph) + "</text>";
  }

  // The cursor's cell in reverse video: a block of its text colour, its character drawn in its
  // background's colour.
  std::string cursor(const screen& shown) const {
    // A position libvterm reports just off the screen is shown at the nearest cell.
    screen_position at = shown.cursor();
    at = {std::clamp(at.row, 0, shown.rows() - 1), std::clamp(at.col, 0, shown.cols() - 1)};
    const cell_look look = look_of(shown.cell(at.row, at.col), options_);
    std::string block = "<g transform=\"translate(0 " + std::to_string(at.row * options_.cell_height) +
                        ")\">" + rect(at.col, std::max(look.width, 1), 0, options_.cell_height, look.fill);
    if (!look.glyph.empty()) {
      block += glyph(at.col, look, look.background.empty() ? options_.background : look.background);
    }
    return block + "</g>";
  }

  std::string frame_group(std::size_t i) const {
    const bool last = i + 1 == frames_.size();
    std::string group =
        "<g id=\"f" + std::to_string(i) + "\" visibility=\"" + (last ? "visible" : "hidden") + "\">";
    if (frames_.size() > 1) group += animation(i);
    return group + frames_[i].content + "</g>\n";
  }

  // Shows frame i from its start to the next frame's, within one run of the whole recording.
  std::string animation(std::size_t i) const {
    const double total = frames_.back().start + std::max(options_.last_frame_seconds, 0.001);
    const double start = frames_[i].start;
    std::string values = start > 0 ? "hidden;visible" : "visible";
    std::string times = "0";
    if (start > 0) times.append(";").append(number(start / total));
    if (i + 1 < frames_.size()) {
      values += ";hidden";
      times.append(";").append(number(frames_[i + 1].start / total));
    }
    return "<animate attributeName=\"visibility\" calcMode=\"discrete\" dur=\"" + number(total) +
           "s\" values=\"" + values + "\" keyTimes=\"" + times + "\" " +
           (options_.loop ? "repeatCount=\"indefinite\"" : "repeatCount=\"1\" fill=\"freeze\"") + "/>";
  }

  svg_options options_;
  int rows_ = 0;
  int cols_ = 0;
  std::map<std::string, int> row_ids_;
  std::vector<std::string> row_defs_;
  std::vector<frame> frames_;
};

}  // namespace

std::string screen_svg(const screen& shown, const svg_options& options) {
  svg_writer writer(options);
  writer.add_frame(shown, 0);
  return writer.document();
}

std::string recording_svg(std::istream& recording, const svg_options& options) {
  svg_writer writer(options);
  screen shown;
  bool started = false;
  detail::replay_events(recording, shown, [&](double seconds) {
    if (!started) writer.add_frame(screen(shown.rows(), shown.cols()), 0);
    started = true;
    writer.add_frame(shown, seconds);
  });
  if (!started) writer.add_frame(shown, 0);
  return writer.document();
}

}  // namespace pexpect_custom
