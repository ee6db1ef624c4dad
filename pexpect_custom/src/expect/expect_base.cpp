#include "pexpect_custom/expect_base.hpp"

namespace pexpect_custom {

expect_base::expect_base(expect_base&& other) noexcept {
  *this = std::move(other);
}

// A moved-from object holds no descriptor, so only the new owner ever closes it. The caller has
// already let go of whatever this object held.
expect_base& expect_base::operator=(expect_base&& other) noexcept {
  if (this == &other) return *this;
  searcher = std::move(other.searcher);
  ignorecase = other.ignorecase;
  before = std::move(other.before);
  after = std::move(other.after);
  match = std::move(other.match);
  match_index = other.match_index;
  flag_eof = other.flag_eof;
  child_fd = std::exchange(other.child_fd, -1);
  timeout = other.timeout;
  delimiter = std::move(other.delimiter);
  logfile = other.logfile;
  logfile_read = other.logfile_read;
  logfile_send = other.logfile_send;
  maxread = other.maxread;
  buffer = std::move(other.buffer);
  strip_terminal_sequences = other.strip_terminal_sequences;
  sequence_position_ = other.sequence_position_;
  searchwindowsize = other.searchwindowsize;
  delaybeforesend = other.delaybeforesend;
  delayafterclose = other.delayafterclose;
  delayafterterminate = other.delayafterterminate;
  delayafterread = other.delayafterread;
  softspace = other.softspace;
  name = std::move(other.name);
  encoding = std::move(other.encoding);
  closed = std::exchange(other.closed, true);
  irix_hack = other.irix_hack;
  landing_ = std::move(other.landing_);
  recording = std::exchange(other.recording, nullptr);
  screen_ = std::move(other.screen_);
  known_size_ = other.known_size_;
  return *this;
}

}  // namespace pexpect_custom
