// The virtual terminal screen, the keys it encodes, recordings and their replay, and snapshots.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "pexpect_custom/keys.hpp"
#include "pexpect_custom/recorder.hpp"
#include "pexpect_custom/screen.hpp"
#include "pexpect_custom/snapshot.hpp"
#include "test_support.hpp"

using namespace pexpect_custom;
using json = nlohmann::json;

namespace {

screen fed(std::vector<std::string> chunks, int rows = 24, int cols = 80) {
  screen s(rows, cols);
  for (const auto& chunk : chunks) s.feed(chunk);
  return s;
}

std::vector<json> lines_of(const std::string& recording) {
  std::vector<json> lines;
  std::istringstream in(recording);
  for (std::string line; std::getline(in, line);) lines.push_back(json::parse(line));
  return lines;
}

}  // namespace

// ---- rendering ------------------------------------------------------------------------------

TEST(ScreenText, RendersWhatAUserSees) {
  struct row_case {
    const char* name;
    std::vector<std::string> chunks;
    std::string text;
    int rows = 24;
  };
  const std::vector<row_case> cases = {
      {"lines", {"one\r\ntwo"}, "one\ntwo"},
      {"cursor move overwrites", {"hello\x1b[1;1HJ"}, "Jello"},
      {"erase to end of line", {"abcdef\x1b[1;4H\x1b[K"}, "abc"},
      {"erase display", {"one\r\ntwo\x1b[2J"}, ""},
      {"backspace then overwrite", {"abc\bX"}, "abX"},
      {"inner blanks kept, trailing empty rows dropped", {"a\tb\r\n\r\nc\r\n\r\n"}, "a       b\n\nc"},
      {"scrolls at the bottom", {"1\r\n2\r\n3\r\n4"}, "2\n3\n4", 3},
      {"UTF-8 split between feeds", {"gr\xC3", "\xBCn \xE6\x97", "\xA5"}, "gr\xC3\xBCn \xE6\x97\xA5"},
      {"escape sequence split between feeds", {"xy\x1b[", "1;1Hz"}, "zy"},
      {"double-width characters", {"\xE6\x97\xA5\xE6\x9C\xAC!"}, "\xE6\x97\xA5\xE6\x9C\xAC!"},
      {"a repeat before any character ends", {"\x1b[3bx"}, "   x"},
      {"parameters past the sixteenth are left out",
       {"\x1b[1" + std::string(40, ';'), std::string(40, ':') + "1mbold\x1b[m \x1b[" + std::string(20, ';') +
                                             "Hx\x1b'[" + std::string(40, ';') + "m"},
       "xold"},
      {"a repeat after a character", {"ab\x1b[2bc"}, "abbbc"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fed(c.chunks, c.rows).text(), c.text) << c.name;
  }
}

TEST(ScreenText, RowsCursorAndBounds) {
  screen s = fed({"top\r\n  mid  \x1b[3;5H"}, 5, 10);
  EXPECT_EQ(s.row(0), "top");
  EXPECT_EQ(s.row(1), "  mid");
  EXPECT_EQ(s.row(4), "");
  EXPECT_EQ(s.cursor(), (screen_position{2, 4}));
  EXPECT_THROW(s.row(5), std::out_of_range);
  EXPECT_THROW(s.row(-1), std::out_of_range);
  EXPECT_THROW(s.cell(0, 10), std::out_of_range);
  EXPECT_THROW(screen(0, 80), std::out_of_range);
  EXPECT_THROW(screen(24, screen::max_size + 1), std::out_of_range);
  // One column cannot hold a double-width character (the emulator wrote past its row).
  EXPECT_THROW(screen(24, 1), std::out_of_range);
  screen narrowest = fed({"\xE6\x97\xA5\xE6\x97\xA5x"}, 3, screen::min_cols);
  EXPECT_EQ(narrowest.row(0), "\xE6\x97\xA5");
}

TEST(ScreenCell, Attributes) {
  screen s = fed({"\x1b[1mB\x1b[0m\x1b[7mR\x1b[0m\x1b[4mU\x1b[0m\x1b[31;42mC\x1b[0m",
                  "\x1b[38;2;10;20;30mT\x1b[0mN\xE6\x97\xA5"});
  const screen_cell bold = s.cell(0, 0);
  EXPECT_EQ(bold.text, "B");
  EXPECT_TRUE(bold.bold);
  EXPECT_FALSE(bold.reverse);
  EXPECT_TRUE(s.cell(0, 1).reverse);
  EXPECT_TRUE(s.cell(0, 2).underline);
  EXPECT_EQ(s.cell(0, 3).foreground, colour::indexed(1));
  EXPECT_EQ(s.cell(0, 3).background, colour::indexed(2));
  EXPECT_EQ(s.cell(0, 4).foreground, colour::rgb(10, 20, 30));
  const screen_cell plain = s.cell(0, 5);
  EXPECT_FALSE(plain.bold || plain.underline || plain.italic || plain.reverse);
  EXPECT_EQ(plain.foreground, colour());
  EXPECT_EQ(plain.background, colour());
  EXPECT_EQ(s.cell(0, 6).text, "\xE6\x97\xA5");
  EXPECT_EQ(s.cell(0, 7).text, "");  // the right half of the wide character
  EXPECT_EQ(s.cell(0, 8).text, "");
}

TEST(ScreenModes, AlternateScreenTitleAndReplies) {
  screen s;
  s.feed("main\x1b]2;my title\x07");
  EXPECT_EQ(s.title(), "my title");
  EXPECT_FALSE(s.alternate_screen());
  s.feed("\x1b[?1049h");
  EXPECT_TRUE(s.alternate_screen());
  EXPECT_EQ(s.text(), "");
  s.feed("full screen");
  s.feed("\x1b[?1049l");
  EXPECT_FALSE(s.alternate_screen());
  EXPECT_EQ(s.text(), "main");

  s.feed("\x1b[2;3H\x1b[6n");
  EXPECT_EQ(s.take_replies(), "\x1b[2;3R");
  EXPECT_EQ(s.take_replies(), "");

  std::string queries;
  for (int i = 0; i < 20000; ++i) queries += "\x1b[6n";
  s.feed(queries);
  const std::string kept = s.take_replies();
  EXPECT_LE(kept.size(), 64u * 1024);
  EXPECT_EQ(kept.size() % 6, 0u);  // whole answers only
}

TEST(ScreenModes, WhatTheProgramTurnedOnAndLeftOn) {
  struct mode_case {
    const char* output;
    std::vector<std::string> left_on;
    mouse_tracking mouse = mouse_tracking::none;
    mouse_encoding encoding = mouse_encoding::x10;
  };
  const std::vector<mode_case> cases = {
      {"", {}},
      {"\x1b[?1049h\x1b[?25l", {"alternate screen", "hidden cursor"}},
      {"\x1b[?1h\x1b=\x1b[?2004h", {"application cursor keys", "application keypad", "bracketed paste"}},
      {"\x1b[?1000h", {"mouse reporting"}, mouse_tracking::clicks},
      {"\x1b[?1002h\x1b[?1006h", {"mouse reporting"}, mouse_tracking::drag, mouse_encoding::sgr},
      {"\x1b[?1003h\x1b[?1005h", {"mouse reporting"}, mouse_tracking::any_motion, mouse_encoding::utf8},
      {"\x1b[?1000h\x1b[?1015h", {"mouse reporting"}, mouse_tracking::clicks, mouse_encoding::urxvt},
      // A program that turns everything off again on its way out.
      {"\x1b[?1049h\x1b[?25l\x1b[?1h\x1b=\x1b[?2004h\x1b[?1002h\x1b[?1006h"
       "\x1b[?1049l\x1b[?25h\x1b[?1l\x1b>\x1b[?2004l\x1b[?1002l\x1b[?1006l",
       {}},
  };
  for (const auto& c : cases) {
    screen s;
    s.feed(c.output);
    const terminal_modes modes = s.modes();
    EXPECT_EQ(modes.left_on(), c.left_on) << c.output;
    EXPECT_EQ(modes.restored(), c.left_on.empty()) << c.output;
    EXPECT_EQ(modes.mouse, c.mouse) << c.output;
    if (c.mouse != mouse_tracking::none) {
      EXPECT_EQ(modes.encoding, c.encoding) << c.output;
    }
    // Asking changes nothing the program would see.
    EXPECT_EQ(s.modes(), modes) << c.output;
    EXPECT_EQ(s.take_replies(), "") << c.output;
  }
}

// Rows and columns count from 0 on the screen and from 1 in the reports.
TEST(ScreenMouse, ReportsInTheProgramsModeAndEncoding) {
  const auto ctrl = key_modifiers::ctrl;
  struct mouse_case {
    const char* modes;
    std::function<std::string(screen&)> act;
    std::string bytes;
  };
  auto click = [](screen_position at, mouse_button b = mouse_button::left,
                  key_modifiers m = key_modifiers::none) {
    return [=](screen& s) { return s.click(at, b, m); };
  };
  auto drag = [](screen_position from, screen_position to) {
    return [=](screen& s) { return s.drag(from, to); };
  };
  auto wheel = [](screen_position at, wheel_direction d, int n) {
    return [=](screen& s) { return s.wheel(at, d, n); };
  };
  const std::vector<mouse_case> cases = {
      {"", click({3, 10}), ""},
      {"\x1b[?1000h\x1b[?1000l", click({3, 10}), ""},
      {"\x1b[?1000h", click({3, 10}), "\x1b[M +$\x1b[M#+$"},
      {"\x1b[?1000h\x1b[?1006h", click({3, 10}), "\x1b[<0;11;4M\x1b[<0;11;4m"},
      {"\x1b[?1000h\x1b[?1006h", click({0, 0}, mouse_button::right, ctrl), "\x1b[<18;1;1M\x1b[<18;1;1m"},
      {"\x1b[?1000h", click({0, 0}, mouse_button::middle, ctrl), "\x1b[M1!!\x1b[M3!!"},
      // Columns past 94 need two bytes in the UTF-8 form.
      {"\x1b[?1000h\x1b[?1005h", click({0, 99}), "\x1b[M \xc2\x84!\x1b[M#\xc2\x84!"},
      {"\x1b[?1000h\x1b[?1006h", drag({1, 1}, {2, 5}), "\x1b[<0;2;2M\x1b[<0;6;3m"},
      {"\x1b[?1002h\x1b[?1006h", drag({1, 1}, {2, 5}), "\x1b[<0;2;2M\x1b[<32;6;3M\x1b[<0;6;3m"},
      {"\x1b[?1003h\x1b[?1006h", click({4, 4}), "\x1b[<35;5;5M\x1b[<0;5;5M\x1b[<0;5;5m"},
      {"\x1b[?1000h\x1b[?1006h", wheel({0, 2}, wheel_direction::down, 2), "\x1b[<65;3;1M\x1b[<65;3;1M"},
      {"\x1b[?1000h", wheel({0, 2}, wheel_direction::up, 1), "\x1b[M`#!"},
  };
  for (const auto& c : cases) {
    screen s(24, 100);
    s.feed(c.modes);
    s.modes();  // the encoding probe must not disturb the next report
    EXPECT_EQ(c.act(s), c.bytes) << c.modes;
  }
  screen s;
  s.feed("\x1b[?1000h");
  EXPECT_THROW(s.click({24, 0}), std::out_of_range);
  EXPECT_THROW(s.drag({0, 0}, {0, 80}), std::out_of_range);
  EXPECT_THROW(s.wheel({0, 0}, wheel_direction::up, 0), std::invalid_argument);
}

TEST(ScreenPaste, BracketedWhenAskedAndNeverEndedByTheText) {
  screen s;
  EXPECT_EQ(s.paste("one\r\n  two\n"), "one\r  two\r");
  s.feed("\x1b[?2004h");
  EXPECT_EQ(s.paste("a\nb"), "\x1b[200~a\rb\x1b[201~");
  // An end marker in the text, even one that forms as another is removed, would end the paste
  // early and let the rest be taken as typed commands.
  EXPECT_EQ(s.paste("x\x1b[201~:q!\n"), "\x1b[200~x:q!\r\x1b[201~");
  EXPECT_EQ(s.paste("\x1b[20\x1b[201~1~y"), "\x1b[200~y\x1b[201~");
}

TEST(ScreenResize, KeepsWhatFitsAndChecksTheSize) {
  screen s = fed({"0123456789\r\nsecond\r\nthird"}, 4, 20);
  s.resize(2, 5);  // the rows above the cursor's go, as on a terminal
  EXPECT_EQ(s.rows(), 2);
  EXPECT_EQ(s.cols(), 5);
  EXPECT_EQ(s.text(), "secon\nthird");
  s.feed("\x1b[2;1H\x1b[2Kwider");
  s.resize(3, 30);
  s.feed(" and wider");
  EXPECT_EQ(s.text(), "secon\nwider and wider");
  EXPECT_THROW(s.resize(3, 0), std::out_of_range);
  EXPECT_EQ(s.cols(), 30);
}

// Plain text takes a shorter way through the screen than text with escape sequences (an SGR
// reset that changes nothing sends the reference the long way); both must end the same.
// The colours of every cell, as text, to compare two screens by.
std::string colours_of(const screen& s) {
  std::string colours;
  for (int r = 0; r < s.rows(); ++r) {
    for (int c = 0; c < s.cols(); ++c) {
      const screen_cell cell = s.cell(r, c);
      colours += std::to_string(cell.foreground.index) + "/" + std::to_string(cell.background.index) +
                 (cell.bold ? "b " : " ");
    }
  }
  return colours;
}

TEST(ScreenFeed, PlainTextEndsAsThroughTheEmulator) {
  std::mt19937 random(7);
  const std::string pieces[] = {
      "word ",      "x",      "\r\n",       "\n",           "\r",
      "\t",         "\b",     "\x1b[1;31m", "\x1b[44m",     "\x1b[m",
      "\x1b[0;32m", "\x1b[K", "\xc3\xa9",   "\xe7\x95\x8c", "longer text than a row "};
  for (auto [rows, cols] : {std::pair{3, 7}, {5, 10}, {24, 80}}) {
    std::string text;
    while (text.size() < 200000) text += pieces[random() % std::size(pieces)];
    // Line feeds without carriage returns carry the column from line to line, over more text
    // than is held back at once.
    std::string tail = "\r\n";
    for (int i = 0; i < 25000; ++i) tail += "ab\n";
    screen reference(rows, cols);
    reference.feed("\x1b[?7h" + text);  // a mode sequence: the emulator takes everything at once
    const std::string reference_text = reference.text();
    reference.feed(tail);
    for (std::size_t chunk : {std::size_t{4096}, std::size_t{70000}, text.size()}) {
      screen plain(rows, cols);
      for (std::size_t at = 0; at < text.size(); at += chunk) {
        plain.feed(std::string_view(text).substr(at, chunk));
      }
      EXPECT_EQ(plain.text(), reference_text) << rows << "x" << cols << " in chunks of " << chunk;
      plain.feed(tail);
      EXPECT_EQ(plain.text(), reference.text()) << rows << "x" << cols << " in chunks of " << chunk;
      EXPECT_EQ(plain.cursor(), reference.cursor()) << rows << "x" << cols << " in chunks of " << chunk;
      EXPECT_EQ(colours_of(plain), colours_of(reference)) << rows << "x" << cols << " in chunks of " << chunk;
      // Read only at the end, so that the pen the text leaves is carried across what scrolls off.
      screen unread(rows, cols);
      for (std::size_t at = 0; at < text.size(); at += chunk) {
        unread.feed(std::string_view(text).substr(at, chunk));
      }
      unread.feed(tail);
      EXPECT_EQ(colours_of(unread), colours_of(reference))
          << rows << "x" << cols << " in chunks of " << chunk;
    }
  }
}

// Megabytes fed at once, held back or not, in which nothing scrolls off whole (line feeds
// without carriage returns): the emulator gets them in pieces it can take.
TEST(ScreenFeed, MegabytesAtOnce) {
  std::string lines;
  while (lines.size() < (std::size_t{5} << 20))
    lines += "line \xc3\xa9 " + std::to_string(lines.size()) + "\n";
  for (const std::string& first : {std::string(), std::string("\x1b[?7h")}) {
    screen s(24, 80);
    s.feed(first);
    s.feed(lines);
    EXPECT_EQ(s.cursor().row, 23);
    EXPECT_NE(s.text().find("line \xc3\xa9 "), std::string::npos);
  }
}

// Repaints in place (cursor moves, text, colours, erasing) with now and then something else, fed
// in chunks of several sizes, against the emulator fed all of it as it comes.
TEST(ScreenFeed, RepaintsEndAsThroughTheEmulator) {
  std::mt19937 random(11);
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  const std::string others[] = {"\r\n",      "\n",       "\x1b[?25l", "\x1b]0;t\x07",
                                "\x1b[2;3r", "\xc3\xa9", "\b",        "\x1b[r"};
  for (auto [rows, cols] : {std::pair{3, 7}, {24, 80}}) {
    auto move = [&](int row, int col) {
      return "\x1b[" + std::to_string(row) + ";" + std::to_string(col) + "H";
    };
    std::string output;
    while (output.size() < 300000) {
      const int kind = pick(40);
      if (kind < 1) {  // a whole frame, row by row
        for (int r = 1; r <= rows; ++r)
          output += move(r, 1) + std::string(pick(cols + 1), 'a' + pick(26)) + "\x1b[K";
      } else if (kind < 7) {  // one row rewritten, by text that fills it or by erasing the rest
        output += move(1 + pick(rows), 1) + "\x1b[3" + std::to_string(pick(8)) + "m";
        output += pick(3) ? std::string(pick(cols), 'A' + pick(26)) + "\x1b[K" : std::string(cols, '=');
      } else if (kind < 13) {
        output += move(pick(rows + 2), pick(cols + 2));
      } else if (kind < 21) {
        output += std::string(pick(cols + 3), 'a' + pick(26));
      } else if (kind < 27) {
        output += "\x1b[" + std::to_string(pick(2)) + ";4" + std::to_string(pick(8)) + "m";
      } else if (kind < 37) {
        output += "\x1b[" + std::to_string(pick(3)) + (pick(2) ? "K" : "J");
      } else if (kind < 38) {
        output += "\x1b[H\x1b[2J";
      } else {
        output += others[pick(std::size(others))];
      }
    }
    for (std::size_t chunk : {std::size_t{1000}, std::size_t{4096}, std::size_t{70000}}) {
      screen reference(rows, cols), read_often(rows, cols), read_once(rows, cols);
      reference.feed("\x1b[4h\x1b[4l");  // after insert mode, a screen emulates everything as it comes
      for (std::size_t at = 0; at < output.size(); at += chunk) {
        for (screen* s : {&reference, &read_often, &read_once})
          s->feed(std::string_view(output).substr(at, chunk));
        if (at % (2 * chunk) == 0) {
          EXPECT_EQ(colours_of(read_often), colours_of(reference)) << rows << "x" << cols << " at " << at;
          EXPECT_EQ(read_often.text(), reference.text()) << rows << "x" << cols << " at " << at;
        }
      }
      for (const screen* s : {&read_often, &read_once}) {
        EXPECT_EQ(s->text(), reference.text()) << rows << "x" << cols << " in chunks of " << chunk;
        EXPECT_EQ(s->cursor(), reference.cursor()) << rows << "x" << cols << " in chunks of " << chunk;
        EXPECT_EQ(colours_of(*s), colours_of(reference)) << rows << "x" << cols << " in chunks of " << chunk;
      }
    }
  }
}

// ---- keys -----------------------------------------------------------------------------------

TEST(Keys, NamedKeysInBothCursorModes) {
  struct key_case {
    key k;
    key_modifiers mods;
    bool application;
    std::string bytes;
  };
  const auto none = key_modifiers::none;
  const std::vector<key_case> cases = {
      {key::up, none, false, "\x1b[A"},
      {key::up, none, true, "\x1bOA"},
      {key::left, none, true, "\x1bOD"},
      {key::home, none, false, "\x1b[H"},
      {key::end, none, true, "\x1bOF"},
      {key::right, key_modifiers::ctrl, false, "\x1b[1;5C"},
      {key::right, key_modifiers::ctrl, true, "\x1b[1;5C"},
      {key::page_up, none, false, "\x1b[5~"},
      {key::page_down, none, true, "\x1b[6~"},
      {key::insert, none, false, "\x1b[2~"},
      {key::delete_key, none, false, "\x1b[3~"},
      {key::f1, none, false, "\x1bOP"},
      {key::f4, none, false, "\x1bOS"},
      {key::f5, none, false, "\x1b[15~"},
      {key::f12, none, false, "\x1b[24~"},
      {key::enter, none, false, "\r"},
      {key::tab, none, false, "\t"},
      {key::tab, key_modifiers::shift, false, "\x1b[Z"},
      {key::backspace, none, false, "\x7f"},
      {key::escape, none, false, "\x1b"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(key_sequence(c.k, c.mods, c.application), c.bytes)
        << static_cast<int>(c.k) << " application " << c.application;
  }
}

TEST(Keys, CharactersWithModifiers) {
  const auto ctrl = key_modifiers::ctrl;
  const auto alt = key_modifiers::alt;
  EXPECT_EQ(key_sequence(U'c', ctrl), "\x03");
  EXPECT_EQ(key_sequence(U'C', ctrl), "\x03");
  EXPECT_EQ(key_sequence(U'm', ctrl), "\r");
  EXPECT_EQ(key_sequence(U'I', ctrl | alt), "\x1b\t");
  EXPECT_EQ(key_sequence(U'x', alt), "\x1bx");
  EXPECT_EQ(key_sequence(U'\u00e9'), "\xC3\xA9");
  EXPECT_EQ(key_sequence(U'1', ctrl), "\x1b[49;5u");
}

TEST(Keys, ScreenFollowsTheProgramsCursorMode) {
  screen s;
  EXPECT_FALSE(s.application_cursor_keys());
  s.feed("\x1b[?1h");
  EXPECT_TRUE(s.application_cursor_keys());
  EXPECT_EQ(s.key(key::down), "\x1bOB");
  EXPECT_EQ(s.take_replies(), "");  // key bytes are not answers to the program
  s.feed("\x1b[?1l");
  EXPECT_FALSE(s.application_cursor_keys());
  EXPECT_EQ(s.key(key::down), "\x1b[B");
}

// ---- recordings -----------------------------------------------------------------------------

TEST(Recording, ReplayGivesTheSameScreen) {
  const std::vector<std::string> output = {"\x1b[2J\x1b[H", "menu:\r\n  \x1b[7mfirst\x1b[0m\r\n  second",
                                           "\x1b[2;3H\x1b[K\xE2\x86", "\x92 chosen", "\x1b[?1049h"};
  std::ostringstream file;
  screen live(6, 30);
  {
    recorder rec(file, 6, 30, "xterm-256color");
    for (const auto& chunk : output) {
      rec.output(chunk);
      live.feed(chunk);
      rec.input("j");
    }
    rec.resize(8, 40);
    live.resize(8, 40);
    rec.output("\x1b[?1049l");
    live.feed("\x1b[?1049l");
  }
  const auto lines = lines_of(file.str());
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0]["version"], 2);
  EXPECT_EQ(lines[0]["width"], 30);
  EXPECT_EQ(lines[0]["height"], 6);
  EXPECT_TRUE(lines[0]["timestamp"].is_number_integer());
  EXPECT_EQ(lines[0]["env"]["TERM"], "xterm-256color");
  double previous = 0;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    EXPECT_GE(lines[i][0].get<double>(), previous);
    previous = lines[i][0].get<double>();
  }

  std::istringstream in(file.str());
  screen replayed = replay(in);
  EXPECT_EQ(replayed.text(), live.text());
  EXPECT_EQ(replayed.text(), "menu:\n  \xE2\x86\x92 chosen\n  second");
  EXPECT_EQ(replayed.cursor(), live.cursor());
  EXPECT_EQ(replayed.rows(), 8);
  EXPECT_EQ(replayed.cols(), 40);
}

TEST(Recording, EveryLineIsValidJsonAndTextIsKept) {
  std::ostringstream file;
  const std::string text = "caf\xC3\xA9 \xF0\x9F\x98\x80 \xE2\x82\xAC";
  std::mt19937 random(18);
  std::string noise(4096, '\0');
  for (char& byte : noise) byte = static_cast<char>(random());
  {
    recorder rec(file, 24, 80);
    for (char byte : text) rec.output(std::string(1, byte));
    rec.input(noise);
    rec.output("\xFF\xE2\x82");  // invalid, then a character the recording ends in the middle of
  }
  std::string output;
  std::vector<json> lines;
  ASSERT_NO_THROW(lines = lines_of(file.str()));
  for (std::size_t i = 1; i < lines.size(); ++i) {
    if (lines[i][1] == "o") output += lines[i][2].get<std::string>();
  }
  EXPECT_EQ(output, text + "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Recording, MalformedRecordingsAreRefused) {
  const char* header = "{\"version\": 2, \"width\": 80, \"height\": 24}\n";
  const std::vector<std::string> bad = {
      "",
      "not json\n",
      "{\"version\": 1, \"width\": 80, \"height\": 24}\n",
      "{\"version\": 2, \"width\": 0, \"height\": 24}\n",
      "{\"version\": 2, \"width\": 18446744073709551615, \"height\": 24}\n",
      "{\"version\": 2, \"width\": \"80\", \"height\": 24}\n",
      std::string(header) + "[0.5, \"o\"]\n",
      std::string(header) + "[0.5, \"r\", \"80y24\"]\n",
      std::string(header) + "[0.5, \"r\", \"80x99999999999\"]\n",
  };
  for (const auto& recording : bad) {
    std::istringstream in(recording);
    screen s;
    EXPECT_THROW(replay(in, s), std::logic_error) << recording;
  }
}

// ---- snapshots ------------------------------------------------------------------------------

TEST(Snapshot, MatchesIgnoringTrailingBlanksAndReportsRows) {
  screen s = fed({"title\r\nbody\r\n\r\nend"});
  EXPECT_EQ(screen_snapshot_diff("title  \nbody\n\nend\n\n", s), std::nullopt);
  EXPECT_EQ(screen_snapshot_diff("title\r\nbody\r\n\r\nend\r\n", s), std::nullopt);

  const auto diff = screen_snapshot_diff("title\nBODY\n\nend\nmore", s);
  ASSERT_TRUE(diff);
  EXPECT_EQ(*diff,
            "screen differs from the snapshot in 2 rows (- expected, + actual):\n"
            "    0 |title\n"
            "-   1 |BODY\n"
            "+   1 |body\n"
            "    2 |\n"
            "    3 |end\n"
            "-   4 |more\n"
            "+   4 |\n");
}

namespace {

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Sets PEXPECT_UPDATE_SNAPSHOTS for one scope.
struct updating_snapshots {
  updating_snapshots() { setenv("PEXPECT_UPDATE_SNAPSHOTS", "1", 1); }
  ~updating_snapshots() { unsetenv("PEXPECT_UPDATE_SNAPSHOTS"); }
};

}  // namespace

// A golden file written from a screen holds all of it: read back, it matches that screen, and a
// change of one cell's character, attributes or the cursor is found at that cell.
TEST(Snapshot, GoldenFileHoldsTheScreenAndReportsTheChangedCells) {
  test_support::temp_dir dir;
  const std::string golden = dir.path() + "/golden/menu.txt";
  const snapshot_options all{.attributes = true, .cursor = true};
  const std::vector<std::string> output = {
      "\x1b[1mTitle\x1b[0m  |pipe|\r\n\xE6\x97\xA5\xE6\x9C\xAC \x1b[7m[ OK ]\x1b[0m  \r\n",
      "\x1b[38;5;208mo\x1b[38;2;1;2;3mr\x1b[0m\x1b[4mu \x1b[0m\x1b[42m  \x1b[0m\x1b[3;4H"};
  screen s = fed(output, 4, 16);

  const snapshot_result missing = check_snapshot(s, golden, all);
  EXPECT_FALSE(missing);
  EXPECT_NE(missing.message.find("does not exist"), std::string::npos) << missing.message;
  EXPECT_TRUE(std::filesystem::exists(dir.path() + "/golden/menu.actual.svg"));
  {
    updating_snapshots update;
    const snapshot_result written = check_snapshot(s, golden, all);
    EXPECT_TRUE(written) << written.message;
    EXPECT_EQ(written.message, "snapshot " + golden + " written");
  }
  EXPECT_EQ(read_text(golden), snapshot_text(s, all));
  EXPECT_NE(read_text(golden).find("|\xE6\x97\xA5\xE6\x9C\xAC [ OK ]     |\n"), std::string::npos);
  const snapshot_result same = check_snapshot(s, golden, all);
  EXPECT_TRUE(same) << same.message;
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/golden/menu.actual.svg"));

  struct change_case {
    const char* name;
    std::string output;
    std::string marked;  // a line of the report
  };
  const std::vector<change_case> changes = {
      {"a character after a wide one", "\x1b[2;6HX\x1b[3;4H",
       "-   1 |\xE6\x97\xA5\xE6\x9C\xAC [ OK ]     |\n"
       "+   1 |\xE6\x97\xA5\xE6\x9C\xAC X OK ]     |\n"
       "            ^\n"},
      {"attributes only", "\x1b[1;2H\x1b[4mi\x1b[3;4H",
       "+   0 |abaaa...........|\n"
       "        ^\n"},
      {"the cursor", "\x1b[1;1H", "cursor: expected 2,3, actual 0,0\n"},
  };
  for (const auto& change : changes) {
    screen changed = fed(output, 4, 16);
    changed.feed(change.output);
    const snapshot_result differs = check_snapshot(changed, golden, all);
    EXPECT_FALSE(differs) << change.name;
    EXPECT_NE(differs.message.find(change.marked), std::string::npos) << change.name << "\n"
                                                                      << differs.message;
    EXPECT_TRUE(std::filesystem::exists(dir.path() + "/golden/menu.expected.svg")) << change.name;
  }
  screen changed = fed(output, 4, 16);
  changed.feed("\x1b[4;1Hmore");
  updating_snapshots update;
  EXPECT_EQ(check_snapshot(changed, golden, all).message, "snapshot " + golden + " updated");
  EXPECT_EQ(read_text(golden), snapshot_text(changed, all));
}

TEST(Snapshot, MalformedGoldenFilesFailNamingTheLine) {
  test_support::temp_dir dir;
  const screen s = fed({"ab"}, 2, 4);
  const std::vector<std::pair<std::string, std::string>> files = {
      {"", "line 1: missing the header"},
      {"screen 2x4 colours\n|ab  |\n|    |\n", "line 1: unknown option"},
      {"screen 2x4\n|ab  |\n", "line 3: missing row"},
      {"screen 2x4\n|ab  |\n    |\n", "line 3: not a framed row"},
      {"screen 2x4 attributes\n|ab  |\n|    |\nattributes\n|a...|\n|....|\nlegend\n", "line 5: the symbol"},
      {"screen 2x4 attributes\n|ab  |\n|    |\nattributes\n|a..|\n|....|\nlegend\na bold\n",
       "line 5: an attribute row of another width"},
      {"screen 2x4\n|ab  |\n|    |\ncursor 1,1\n", "line 4: more than the snapshot holds"},
      {"screen 2x4 cursor\n|ab  |\n|    |\ncursor 2,0\n", "line 4: a cursor outside the screen"},
  };
  for (const auto& [content, why] : files) {
    const std::string path = dir.write_file("bad.txt", content);
    const snapshot_result result = check_snapshot(s, path);
    EXPECT_FALSE(result) << content;
    EXPECT_NE(result.message.find(why), std::string::npos) << result.message;
  }
}
