#pragma once
// Keeping a child's terminal the size of the user's while a relay runs.

#include <signal.h>

#include "io/unique_fd.hpp"

namespace pexpect_custom::detail {

/// While it lives, SIGWINCH makes `wake_fd()` readable (the handler only writes a byte to a
/// pipe, so a resize between two waits is never lost), and `follow()` copies the user's window
/// size to the child's terminal. The previous SIGWINCH disposition comes back when it goes.
/// One relay at a time can follow the window.
class window_follower {
 public:
  window_follower(int user_fd, int child_fd);
  ~window_follower();
  window_follower(const window_follower&) = delete;
  window_follower& operator=(const window_follower&) = delete;

  /// Readable once the user's window has changed.
  int wake_fd() const { return wake_read_.get(); }
  /// Takes the pending notices and copies the current size.
  void follow();
  /// Copies the current size only if a notice is pending. A relay calls it before it hands the
  /// user's input on: a resize signalled before the input was typed may have been noted after
  /// the wait that found the input, and the child must see the new size first.
  void catch_up();

 private:
  void copy_size() const;

  int user_fd_;
  int child_fd_;
  unique_fd wake_read_;
  unique_fd wake_write_;
  bool installed_ = false;
  struct sigaction previous_ {};
};

}  // namespace pexpect_custom::detail
