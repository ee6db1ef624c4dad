// Holding back repaints: following the emulator's parse of the output, and finding how much of
// a held repaint every row has been rewritten since.
#include "screen/repaint.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

namespace pexpect_custom::detail {

namespace {

constexpr char esc = '\x1b';

bool all_digits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The numeric parameters of a CSI, a missing one as 0; beyond the sixteenth they are not kept.
struct numbers {
  std::array<long, 16> values{};
  std::size_t count = 1;

  explicit numbers(std::string_view parameters) {
    for (char c : parameters) {
      if (c == ';' || c == ':') {
        if (count < values.size()) values[count++] = 0;
      } else if (values[count - 1] < 100000) {
        values[count - 1] = values[count - 1] * 10 + (c - '0');
      }
    }
  }
  long operator[](std::size_t i) const { return values[i]; }
  std::size_t size() const { return count; }
  bool contains(long wanted) const {
    const auto end = values.begin() + static_cast<long>(count);
    return std::find(values.begin(), end, wanted) != end;
  }
};

bool is_printable(unsigned char byte) {
  return byte >= 0x20 && byte <= 0x7e;
}

}  // namespace

// One element of output has ended: text, a control, or a whole sequence that began at `start`.
void repaint_tracker::element(bool repaints, long start) {
  if (repaints && !unsafe_) {
    // A sequence begun in earlier bytes that were not held has reached the emulator in part:
    // a repaint can only begin after it.
    if (!open_ && start >= 0) {
      open_ = true;
      open_from_ = start;
    }
    return;
  }
  if (open_ && !ended_ && open_from_ < 0) {
    ended_ = true;
    ended_at_ = start;
  }
  open_ = false;
}

// Whether a CSI that ends with `final_byte` belongs in a repaint; notes the sequences after
// which repaints cannot be held.
bool repaint_tracker::csi_repaints(char final_byte) {
  const numbers values(csi_parameters_);
  if (csi_private_ == '?' && final_byte == 'h' &&
      (values.contains(3) || values.contains(6) || values.contains(69))) {
    unsafe_ = true;  // 132 columns, origin mode, left and right margins
  }
  if (csi_private_ == 0 && final_byte == 'h' && values.contains(4)) unsafe_ = true;  // insert mode
  if (final_byte == 'b') unsafe_ = true;  // repeats the last character, whichever it was
  if (csi_private_ != 0 || !csi_plain_) return false;
  const bool digits = all_digits(csi_parameters_);
  switch (final_byte) {
    case 'm':
      return true;
    case 'K':
    case 'J':
      return digits && values.size() == 1 && values[0] <= 2;
    case 'H':
    case 'f':
      return values.size() <= 2 && csi_parameters_.find(':') == std::string::npos;
    default:
      return false;
  }
}

void repaint_tracker::step(unsigned char byte, long at) {
  const bool abandons = byte == 0x18 || byte == 0x1a;  // CAN, SUB
  switch (parse_) {
    case parse::ground:
      if (byte == esc) {
        parse_ = parse::escape;
        sequence_start_ = at;
      } else {
        element(is_printable(byte), at);
      }
      return;
    case parse::string:
      if (byte == esc) {
        parse_ = parse::string_escape;
      } else if (osc_ && byte == 0x07) {
        parse_ = parse::ground;
        element(false, sequence_start_);
      } else if (abandons) {
        unsafe_ = true;
      }
      return;
    case parse::string_escape:
      if (byte != '\\') unsafe_ = true;  // an escape that cuts a string short
      parse_ = parse::ground;
      element(false, sequence_start_);
      return;
    default:
      break;
  }
  // An escape or CSI sequence: a control inside it is carried out, anything else unexpected is
  // left to the emulator from here on.
  if (byte == esc || byte >= 0x80 || abandons) {
    unsafe_ = true;
    parse_ = parse::ground;
    element(false, sequence_start_);
    if (byte == esc) step(byte, at);
    return;
  }
  if (byte < 0x20 || byte == 0x7f) {
    csi_plain_ = false;
    return;
  }
  if (parse_ == parse::escape) {
    if (byte == '[') {
      parse_ = parse::csi;
      csi_private_ = 0;
      csi_parameters_.clear();
      csi_plain_ = true;
    } else if (byte == ']' || byte == 'P' || byte == 'X' || byte == '^' || byte == '_') {
      parse_ = parse::string;
      osc_ = byte == ']';
    } else if (byte < 0x30) {
      if (byte == '#') unsafe_ = true;  // double-width and double-height lines
      parse_ = parse::escape_intermediate;
    } else {
      if (byte == 'N' || byte == 'O') unsafe_ = true;  // a single shift of the next character
      parse_ = parse::ground;
      element(false, sequence_start_);
    }
    return;
  }
  if (parse_ == parse::escape_intermediate) {
    if (byte >= 0x30) {
      parse_ = parse::ground;
      element(false, sequence_start_);
    }
    return;
  }
  // The CSI's parameters, intermediates and final byte.
  if (byte >= 0x40) {
    parse_ = parse::ground;
    element(csi_repaints(static_cast<char>(byte)), sequence_start_);
  } else if (byte >= 0x30) {
    if (byte >= 0x3c && csi_parameters_.empty() && csi_private_ == 0) {
      csi_private_ = static_cast<char>(byte);
    } else if (csi_parameters_.size() < 64) {
      csi_parameters_.push_back(static_cast<char>(byte));
    } else {
      csi_plain_ = false;
    }
  } else {
    csi_plain_ = false;  // an intermediate byte
  }
}

repaint_tracker::split repaint_tracker::scan(std::string_view bytes) {
  const bool held = open_;
  ended_ = false;
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    const bool text = parse_ == parse::ground && is_printable(static_cast<unsigned char>(bytes[at]));
    step(static_cast<unsigned char>(bytes[at]), static_cast<long>(at));
    // The rest of a run of text changes nothing here.
    while (text && at + 1 < bytes.size() && is_printable(static_cast<unsigned char>(bytes[at + 1]))) ++at;
  }
  // An unsafe sequence ends whatever repaint is open, from its start.
  if (unsafe_ && open_)
    element(false, parse_ == parse::ground ? static_cast<long>(bytes.size()) : sequence_start_);
  split result;
  result.continues = held && !ended_;
  result.ended_at = ended_ ? ended_at_ : 0;
  result.open_from = open_ && !result.continues ? static_cast<std::size_t>(open_from_) : bytes.size();
  if (result.continues) result.open_from = 0;
  // Offsets count from the start of the next bytes from here on.
  const auto size = static_cast<long>(bytes.size());
  sequence_start_ -= size;
  open_from_ -= size;
  return result;
}

}  // namespace pexpect_custom::detail

namespace pexpect_custom::detail {

namespace {

// The rows of the screen rewritten since a cursor move, and where the cursor stands.
class coverage {
 public:
  coverage(int rows, int cols) : rows_(rows), cols_(cols), covered_(static_cast<std::size_t>(rows)) {}

  void restart() {
    std::fill(covered_.begin(), covered_.end(), false);
    count_ = 0;
    text_ = false;
  }
  bool complete() const { return count_ == rows_ && text_; }

  void cover(int row) {
    if (row < 0 || row >= rows_ || covered_[static_cast<std::size_t>(row)]) return;
    covered_[static_cast<std::size_t>(row)] = true;
    ++count_;
  }
  void cover_rows(int from, int to) {
    for (int r = from; r < to; ++r) cover(r);
  }

  void move(long row, long col) {
    row_ = static_cast<int>(std::clamp(row, 1L, static_cast<long>(rows_))) - 1;
    col_ = static_cast<int>(std::clamp(col, 1L, static_cast<long>(cols_))) - 1;
    phantom_ = false;
    filling_ = col_ == 0;
  }
  // A character written at the cursor; false when it wraps to the next row (which may scroll).
  bool write() {
    if (phantom_) return false;
    text_ = true;
    if (col_ < cols_ - 1) {
      ++col_;
    } else {
      phantom_ = true;
      if (filling_) cover(row_);
    }
    return true;
  }
  void erase_line(long how) {
    if ((how == 0 && filling_) || how == 2) cover(row_);
    filling_ = false;
  }
  void erase_display(long how) {
    if (how == 2) cover_rows(0, rows_);
    if (how == 0) cover_rows(row_ + (filling_ ? 0 : 1), rows_);
    if (how == 1) cover_rows(0, row_);
    filling_ = false;
  }

 private:
  int rows_, cols_;
  std::vector<bool> covered_;
  int count_ = 0;
  bool text_ = false;
  int row_ = 0, col_ = 0;
  bool phantom_ = false;
  bool filling_ = false;  // only text and pen changes since a move to the row's first column
};

}  // namespace

std::size_t repaint_tracker::droppable(std::string_view held, int rows, int cols) {
  coverage since(rows, cols);
  std::size_t best = 0;
  std::optional<std::size_t> candidate;  // the cursor move coverage is counted from
  bool cursor_known = false;
  std::size_t at = 0;
  while (at < held.size()) {
    const std::size_t start = at;
    if (held[at] != esc) {
      ++at;
      if (cursor_known && !since.write()) {
        cursor_known = false;
        candidate.reset();
      }
    } else {
      // A whole CSI (a repaint holds no other sequence), or the unfinished one it ends with.
      std::size_t end = at + 2;
      while (end < held.size() && static_cast<unsigned char>(held[end]) < 0x40) ++end;
      if (at + 1 >= held.size() || held[at + 1] != '[' || end >= held.size()) break;
      const char final_byte = held[end];
      const numbers values(held.substr(at + 2, end - at - 2));
      at = end + 1;
      if (final_byte == 'H' || final_byte == 'f') {
        since.move(values[0], values.size() > 1 ? values[1] : 1);
        cursor_known = true;
        if (!candidate) {
          candidate = start;
          since.restart();
        }
      } else if (cursor_known && final_byte == 'K') {
        since.erase_line(values[0]);
      } else if (cursor_known && final_byte == 'J') {
        since.erase_display(values[0]);
      }
    }
    if (candidate && since.complete()) {
      best = *candidate;
      candidate.reset();
    }
  }
  return best;
}

}  // namespace pexpect_custom::detail
