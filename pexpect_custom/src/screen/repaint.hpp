#pragma once
// Repaints a screen may hold back instead of emulating at once: runs of output made only of
// absolute cursor moves (CUP), printable ASCII, pen changes (SGR) and erasing (EL, ED). Such a
// run changes only cells, the cursor and the pen. Once a later part of it, beginning with a
// cursor move, has rewritten every row of the screen, everything before that part can never
// show again: it is dropped, and only the pen it leaves is emulated.

#include <cstddef>
#include <string>
#include <string_view>

namespace pexpect_custom::detail {

class repaint_tracker {
 public:
  // Where, in the bytes just scanned, the held repaint ends and the next begins.
  struct split {
    // The repaint held before these bytes goes on through all of them.
    bool continues = false;
    // Where the repaint held before ended, as an offset into these bytes; negative when it ended
    // in the unfinished sequence at the end of what is held (so many bytes before them).
    long ended_at = 0;
    // Where the repaint open at their end began (their size when none is open).
    std::size_t open_from = 0;
  };

  // Follows the next bytes of output the emulator is to see, in order.
  split scan(std::string_view bytes);

  // The repaint held so far has gone to the emulator: what follows, even the rest of a sequence
  // it ended with, begins anew.
  void let_go() { open_ = false; }

  // How much of the held repaint `held` may be dropped on a screen of `rows` by `cols`: up to
  // the last cursor move from which on every row is rewritten (0: nothing).
  static std::size_t droppable(std::string_view held, int rows, int cols);

 private:
  enum class parse : unsigned char { ground, escape, escape_intermediate, csi, string, string_escape };

  void element(bool repaints, long start);
  bool csi_repaints(char final_byte);
  void step(unsigned char byte, long at);

  parse parse_ = parse::ground;
  bool osc_ = false;  // the open string is an OSC, which BEL also ends
  // The open CSI: its first byte when it marks a private sequence, its parameters, whether it
  // has intermediates or controls inside.
  char csi_private_ = 0;
  std::string csi_parameters_;
  bool csi_plain_ = true;
  // Offset of the open sequence's start in the bytes being scanned; negative when it began
  // in earlier bytes.
  long sequence_start_ = 0;
  // A repaint is open, from `open_from_` in the bytes being scanned (negative: earlier).
  bool open_ = false;
  long open_from_ = 0;
  long ended_at_ = 0;
  bool ended_ = false;
  // Something was seen after which cursor moves or text may land elsewhere than where a repaint
  // expects them (origin mode, margins left and right, insert mode, double-width lines, a single
  // shift, a repeat of the last character, a sequence cut short): repaints are no longer held.
  bool unsafe_ = false;
};

}  // namespace pexpect_custom::detail
