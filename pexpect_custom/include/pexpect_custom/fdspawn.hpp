#pragma once
// fdspawn: expect over a descriptor the caller already has (a socket, a pipe, a serial device).

#include <iosfwd>
#include <optional>
#include <string_view>

#include "pexpect_custom/expect_base.hpp"

namespace pexpect_custom {

/// Whether an fdspawn closes its descriptor when it is destroyed.
enum class fd_ownership {
  borrowed,  ///< the caller keeps the descriptor; only an explicit close() closes it
  owned,     ///< handed over: the fdspawn closes it when destroyed
};

/// Keyword-style construction arguments:
/// ```cpp
/// int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);  // then connect() it
/// fdspawn stream(fd, {.timeout = 5, .ownership = fd_ownership::owned});
/// ```
struct fdspawn_options {
  std::optional<double> timeout = 30;
  long maxread = 2000;
  std::optional<long> searchwindowsize = std::nullopt;
  std::ostream* logfile = nullptr;
  fd_ownership ownership = fd_ownership::borrowed;
  /// Attach a screen (see expect_base::attach_screen).
  bool screen = false;
  /// Sets the `recording` field.
  recorder* recording = nullptr;
  /// Sets the `strip_terminal_sequences` field: expect on the output's text.
  bool strip_terminal_sequences = false;
};

/// Reading, sending, expect and the file-like readers over an existing descriptor. There is no
/// child process: "alive" means the descriptor is open and has not reached end of file.
class fdspawn : public expect_base {
 public:
  /// Wraps `fd`, which must be open (SystemError otherwise). It is made close-on-exec.
  explicit fdspawn(int fd, std::optional<double> timeout = 30, long maxread = 2000,
                   std::optional<long> searchwindowsize = std::nullopt, std::ostream* logfile = nullptr,
                   fd_ownership ownership = fd_ownership::borrowed);
  /// The same with keyword-style options.
  fdspawn(int fd, fdspawn_options options);

  fdspawn(fdspawn&& other) noexcept;
  fdspawn& operator=(fdspawn&& other) noexcept;
  /// Closes the descriptor if it is owned and still open; never throws.
  ~fdspawn() override;

  /// Who closes the descriptor at destruction.
  fd_ownership ownership = fd_ownership::borrowed;

  /// The descriptor is open and has not reached end of file.
  bool isalive() override;
  /// On a terminal, sends its end-of-file character; on a socket, shuts down the sending side;
  /// anything else has no end-of-file signal and throws std::logic_error.
  void sendeof() override;
  /// Closes the descriptor (whoever owns it) and marks the object closed. A second call does
  /// nothing.
  void close();

 private:
  report_identity identity() const override;
  long write_to_descriptor(std::string_view data) override;
  void release() noexcept;

  bool socket_ = false;
};

}  // namespace pexpect_custom
