#pragma once
// secret: bytes to send, such as a password, that no log, recording or report ever shows.

#include <cstddef>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

namespace pexpect_custom {

/// Bytes to send that must not be seen: `send` and `sendline` of a secret, on every kind of
/// session, and a secret answer of `run`, write the bytes unchanged to the program, while
/// `logfile`, `logfile_send`, the recording and every report or error text show only
/// `secret::mask`. The mask is the same whatever the length, so it tells nothing of it either.
///
/// The bytes live in storage of the secret's own, which is overwritten with zeros when the
/// secret is destroyed or assigned over, and so is the caller's string when one is moved in.
/// That is best effort: copies made elsewhere (by the caller, by the kernel's terminal queue, by
/// a transport's buffers) are out of its reach. What the program itself prints is output, not a
/// send: a program that echoes what it reads shows the secret in `logfile_read` and `before`;
/// password prompts turn echo off and so never do.
/// ```cpp
/// spawn child("passwd");
/// child.expect("(?i)password: ");
/// std::string typed = "correct horse";
/// child.sendline(secret(std::move(typed)));   // `typed` is wiped
/// std::cout << secret("x") << '\n';            // prints ********
/// ```
/// There is no default constructor and no conversion from a string, so a secret is always
/// written out as one.
class secret {
 public:
  /// What is shown in place of a secret's bytes.
  static constexpr std::string_view mask = "********";

  /// A copy of `bytes`.
  explicit secret(std::string_view bytes);
  explicit secret(const char* bytes) : secret(std::string_view(bytes)) {}
  /// Takes `bytes` and overwrites the string's storage with zeros (it is left empty).
  explicit secret(std::string&& bytes);

  secret(const secret& other);
  /// The other is left empty.
  secret(secret&& other) noexcept;
  secret& operator=(const secret& other);
  secret& operator=(secret&& other) noexcept;
  /// Overwrites the bytes with zeros.
  ~secret();

  /// The bytes themselves, for whoever sends them; valid until the secret changes or goes.
  std::string_view reveal() const noexcept { return {bytes_.get(), size_}; }
  bool empty() const noexcept { return size_ == 0; }

 private:
  void wipe() noexcept;

  std::unique_ptr<char[]> bytes_;
  std::size_t size_ = 0;
};

/// Writes `secret::mask`, never the bytes.
std::ostream& operator<<(std::ostream& out, const secret& value);

}  // namespace pexpect_custom
