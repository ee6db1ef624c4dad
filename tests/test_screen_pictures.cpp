// Pictures of screens and recordings: well-formed XML by a real parser, and the pixels a real SVG
// renderer draws at known cells.

#include <gtest/gtest.h>
#include <zlib.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pexpect_custom/command.hpp"
#include "pexpect_custom/recorder.hpp"
#include "pexpect_custom/screen.hpp"
#include "pexpect_custom/svg.hpp"
#include "test_support.hpp"

using namespace pexpect_custom;

namespace {

using rgb = std::array<int, 3>;

// The 8-bit RGB or RGBA, non-interlaced PNG that the renderer writes, decoded.
class png_image {
 public:
  explicit png_image(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    const std::string data = content.str();
    if (data.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) throw std::runtime_error("not a PNG: " + file);
    std::string compressed;
    for (std::size_t at = 8; at + 8 <= data.size();) {
      const std::size_t length = be32(data, at);
      const std::string type = data.substr(at + 4, 4);
      const std::string body = data.substr(at + 8, length);
      if (type == "IHDR") {
        width_ = be32(body, 0);
        height_ = be32(body, 4);
        if (body[8] != 8 || (body[9] != 2 && body[9] != 6) || body[12] != 0)
          throw std::runtime_error("not 8-bit RGB or RGBA");
        channels_ = body[9] == 6 ? 4 : 3;
      }
      if (type == "IDAT") compressed += body;
      at += 12 + length;
    }
    const std::size_t stride = width_ * channels_;
    std::vector<unsigned char> raw((stride + 1) * height_);
    uLongf size = raw.size();
    if (uncompress(raw.data(), &size, reinterpret_cast<const Bytef*>(compressed.data()), compressed.size()) !=
        Z_OK)
      throw std::runtime_error("bad image data");
    unfilter(raw, stride);
  }

  rgb at(std::size_t x, std::size_t y) const {
    const unsigned char* p = &pixels_[(y * width_ + x) * channels_];
    return {p[0], p[1], p[2]};
  }
  std::size_t width() const { return width_; }

 private:
  static std::size_t be32(const std::string& s, std::size_t at) {
    std::size_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
    return v;
  }

  void unfilter(const std::vector<unsigned char>& raw, std::size_t stride) {
    pixels_.assign(stride * height_, 0);
    for (std::size_t y = 0; y < height_; ++y) {
      const unsigned char filter = raw[y * (stride + 1)];
      const unsigned char* line = &raw[y * (stride + 1) + 1];
      unsigned char* out = &pixels_[y * stride];
      const unsigned char* up = y > 0 ? out - stride : nullptr;
      for (std::size_t i = 0; i < stride; ++i) {
        const int a = i >= channels_ ? out[i - channels_] : 0;
        const int b = up ? up[i] : 0;
        const int c = up && i >= channels_ ? up[i - channels_] : 0;
        int predicted = 0;
        if (filter == 1) predicted = a;
        if (filter == 2) predicted = b;
        if (filter == 3) predicted = (a + b) / 2;
        if (filter == 4) {
          const int p = a + b - c;
          const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
          predicted = pa <= pb && pa <= pc ? a : (pb <= pc ? b : c);
        }
        out[i] = static_cast<unsigned char>(line[i] + predicted);
      }
    }
  }

  std::size_t width_ = 0;
  std::size_t height_ = 0;
  std::size_t channels_ = 4;
  std::vector<unsigned char> pixels_;
};

// A program of the machine, by its full path.
std::string tool(const char* name) {
  return which(name).value_or(name);
}

struct rendered {
  std::string svg_file;
  png_image image;
};

rendered render(const test_support::temp_dir& dir, const std::string& svg) {
  const std::string file = dir.write_file("picture.svg", svg);
  const auto parsed = test_support::run_process({tool("xmllint"), "--noout", file});
  EXPECT_EQ(parsed.exit_code, 0) << parsed.output;
  const std::string png = dir.path() + "/picture.png";
  const auto drawn = test_support::run_process({tool("rsvg-convert"), "--format=png", "-o", png, file});
  EXPECT_EQ(drawn.exit_code, 0) << drawn.output;
  return {file, png_image(png)};
}

// What the XPath expression gives for the document.
std::string xpath(const std::string& file, const std::string& expression) {
  std::string value = test_support::run_process({tool("xmllint"), "--xpath", expression, file}).output;
  if (!value.empty() && value.back() == '\n') value.pop_back();
  return value;
}

// The colour near the top left corner of a cell of the default 9x18 cells, where no glyph draws.
rgb cell_colour(const png_image& image, int row, int col) {
  return image.at(col * 9 + 1, row * 18 + 1);
}

}  // namespace

TEST(ScreenPicture, ColoursAttributesAndCursorAtTheirCells) {
  test_support::temp_dir dir;
  screen s(3, 12);
  s.feed("\x1b[41m \x1b[0m\x1b[7mR\x1b[0m\x1b[48;5;21m \x1b[48;2;10;200;30m \x1b[0m\xE6\x97\xA5<&>\"'\r\n");
  s.feed("a  \x1b[1mb\x1b[0m   \x1b[3mc\x1b[4md\x1b[0m\x07\x1b[2;2H");
  // A caller's value stays one attribute's value.
  const auto [file, image] = render(dir, screen_svg(s, {.font_family = "Mono\" onload=\"x\x01"}));
  EXPECT_EQ(image.width(), 12u * 9);
  EXPECT_EQ(xpath(file, "string(/*/@font-family)"), "Mono\" onload=\"x\xEF\xBF\xBD");

  EXPECT_EQ(cell_colour(image, 0, 0), (rgb{0xcd, 0, 0}));        // palette red background
  EXPECT_EQ(cell_colour(image, 0, 1), (rgb{0xd0, 0xd0, 0xd0}));  // reverse: the text colour behind
  EXPECT_EQ(cell_colour(image, 0, 2), (rgb{0, 0, 0xff}));        // 256-colour cube
  EXPECT_EQ(cell_colour(image, 0, 3), (rgb{10, 200, 30}));       // direct colour
  EXPECT_EQ(cell_colour(image, 1, 1), (rgb{0xd0, 0xd0, 0xd0}));  // the cursor's block
  EXPECT_EQ(cell_colour(image, 1, 2), (rgb{0x10, 0x10, 0x10}));  // plain background

  // Every character at its own cell; the blanks between them take no element.
  const std::string row1 = "//*[@id='r1']/*[local-name()='text']";
  EXPECT_EQ(xpath(file, "string(" + row1 + "[2]/@x)"), std::to_string(3 * 9));
  EXPECT_EQ(xpath(file, "string(" + row1 + "[3]/@x)"), std::to_string(7 * 9));
  EXPECT_EQ(xpath(file, "string(" + row1 + "[2]/@font-weight)"), "bold");
  EXPECT_EQ(xpath(file, "string(" + row1 + "[3]/@font-style)"), "italic");
  const std::string row0 = "//*[@id='r0']/*[local-name()='text']";
  EXPECT_EQ(xpath(file, "string(" + row0 + "[2]/@x)"), std::to_string(4 * 9));  // the wide character
  EXPECT_EQ(xpath(file, "string(" + row0 + "[3]/@x)"), std::to_string(6 * 9));  // after its two cells
  EXPECT_EQ(xpath(file, "concat(" + row0 + "[3], " + row0 + "[4], " + row0 + "[5], " + row0 + "[6], " + row0 +
                            "[7])"),
            "<&>\"'");
}

// Frames at their recorded times: each shown from its start to the next frame's, the last one
// kept; a viewer that does not animate shows the last.
TEST(ScreenPicture, RecordingBecomesFramesAtTheirTimes) {
  test_support::temp_dir dir;
  const std::string recording = R"({"version": 2, "width": 4, "height": 2})"
                                "\n[0.5, \"o\", \"\\u001b[41m  \"]\n"
                                "[0.51, \"o\", \"\\u001b[0m\"]\n"
                                "[1.0, \"i\", \"typed\"]\n"
                                "[1.5, \"o\", \"\\u001b[42m  \"]\n";
  struct option_case {
    bool loop;
    std::string repeat;
  };
  for (const auto& [loop, repeat] : {option_case{true, "indefinite"}, option_case{false, "1"}}) {
    std::istringstream in(recording);
    const auto [file, image] = render(dir, recording_svg(in, {.loop = loop, .last_frame_seconds = 2}));
    // A blank start, the red cells (one frame with the reset 10 ms later), the green ones.
    EXPECT_EQ(xpath(file, "count(//*[starts-with(@id,'f')])"), "3");
    EXPECT_EQ(xpath(file, "string(//*[@id='f1']/*[local-name()='animate']/@keyTimes)"),
              "0;0.142857;0.428571");
    EXPECT_EQ(xpath(file, "string(//*[@id='f2']/*[local-name()='animate']/@values)"), "hidden;visible");
    EXPECT_EQ(xpath(file, "string(//*[@id='f2']/*[local-name()='animate']/@repeatCount)"), repeat);
    EXPECT_EQ(cell_colour(image, 0, 0), (rgb{0xcd, 0, 0}));
    EXPECT_EQ(cell_colour(image, 0, 2), (rgb{0, 0xcd, 0}));
  }
}
