// File transfer over a session's connection: an SFTP channel beside the command's, opened for one
// upload or download and closed after it.
#include <fcntl.h>
#include <libssh/sftp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "io/unique_fd.hpp"
#include "ssh/ssh_connection.hpp"

namespace pexpect_custom {

namespace {

struct sftp_closer {
  void operator()(sftp_session sftp) const noexcept { sftp_free(sftp); }
};
struct remote_file_closer {
  void operator()(sftp_file file) const noexcept { sftp_close(file); }
};
struct attributes_closer {
  void operator()(sftp_attributes attributes) const noexcept { sftp_attributes_free(attributes); }
};
using sftp_handle = std::unique_ptr<sftp_session_struct, sftp_closer>;
using remote_file = std::unique_ptr<sftp_file_struct, remote_file_closer>;
using remote_attributes = std::unique_ptr<sftp_attributes_struct, attributes_closer>;

constexpr std::size_t block_size = std::size_t{64} * 1024;  // libssh cuts larger writes into pieces anyway

std::string sftp_cause(sftp_session sftp, ssh_session session) {
  switch (sftp_get_error(sftp)) {
    case SSH_FX_NO_SUCH_FILE:
    case SSH_FX_NO_SUCH_PATH:
      return "no such file";
    case SSH_FX_PERMISSION_DENIED:
      return "permission denied";
    case SSH_FX_FILE_ALREADY_EXISTS:
      return "file already exists";
    default:
      return detail::error_text(session);
  }
}

std::string local_cause() {
  return std::strerror(errno);
}

sftp_handle open_sftp(ssh_session session) {
  sftp_handle sftp(sftp_new(session));
  if (!sftp) detail::fail("cannot open a file transfer channel: " + detail::error_text(session));
  if (sftp_init(sftp.get()) != SSH_OK) {
    detail::fail("the server refused file transfer: " + detail::error_text(session));
  }
  return sftp;
}

void report(const transfer_progress& progress, std::uint64_t done, std::uint64_t total) {
  if (progress) progress(done, total);
}

}  // namespace

namespace detail {

void upload_file(ssh_link& connection, const std::string& local_path, const std::string& remote_path,
                 const transfer_progress& progress) {
  ssh_session session = connection.session.get();
  const std::string& host = connection.options.host;
  const std::string what = "cannot upload " + local_path + " to " + host + ":" + remote_path + ": ";
  detail::unique_fd local(::open(local_path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat status {};
  if (!local || fstat(local.get(), &status) != 0) detail::fail(what + local_cause());
  const sftp_handle sftp = open_sftp(session);
  const mode_t mode = status.st_mode & 07777;
  remote_file file(sftp_open(sftp.get(), remote_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode));
  if (!file) detail::fail(what + sftp_cause(sftp.get(), session));
  const auto total = static_cast<std::uint64_t>(status.st_size);
  std::vector<char> block(block_size);
  std::uint64_t done = 0;
  report(progress, done, total);
  while (true) {
    const ssize_t n = ::read(local.get(), block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) detail::fail(what + local_cause());
    if (n == 0) break;
    if (sftp_write(file.get(), block.data(), static_cast<std::size_t>(n)) != n) {
      detail::fail(what + sftp_cause(sftp.get(), session));
    }
    done += static_cast<std::uint64_t>(n);
    report(progress, done, total);
  }
  // The mode given at creation passed through the server's umask, and an existing file kept its own.
  if (sftp_chmod(sftp.get(), remote_path.c_str(), mode) != SSH_OK) {
    detail::fail(what + sftp_cause(sftp.get(), session));
  }
}

void download_file(ssh_link& connection, const std::string& remote_path, const std::string& local_path,
                   const transfer_progress& progress) {
  ssh_session session = connection.session.get();
  const std::string& host = connection.options.host;
  const std::string what = "cannot download " + host + ":" + remote_path + " to " + local_path + ": ";
  const sftp_handle sftp = open_sftp(session);
  remote_attributes attributes(sftp_stat(sftp.get(), remote_path.c_str()));
  if (!attributes) detail::fail(what + sftp_cause(sftp.get(), session));
  remote_file file(sftp_open(sftp.get(), remote_path.c_str(), O_RDONLY, 0));
  if (!file) detail::fail(what + sftp_cause(sftp.get(), session));
  const mode_t mode = attributes->permissions & 07777;
  detail::unique_fd local(::open(local_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
  if (!local) detail::fail(what + local_cause());
  const std::uint64_t total = attributes->size;
  std::vector<char> block(block_size);
  std::uint64_t done = 0;
  report(progress, done, total);
  while (true) {
    const ssize_t n = sftp_read(file.get(), block.data(), block.size());
    if (n < 0) detail::fail(what + sftp_cause(sftp.get(), session));
    if (n == 0) break;
    for (ssize_t written = 0; written < n;) {
      const ssize_t w = ::write(local.get(), block.data() + written, static_cast<std::size_t>(n - written));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) detail::fail(what + local_cause());
      written += w;
    }
    done += static_cast<std::uint64_t>(n);
    report(progress, done, total);
  }
  if (fchmod(local.get(), mode) != 0) detail::fail(what + local_cause());
}

}  // namespace detail

void ssh_spawn::upload(const std::string& local_path, const std::string& remote_path,
                       const transfer_progress& progress) {
  if (!channel_) throw std::logic_error("upload() on a closed ssh session.");
  detail::upload_file(*channel_->connection, local_path, remote_path, progress);
}

void ssh_spawn::download(const std::string& remote_path, const std::string& local_path,
                         const transfer_progress& progress) {
  if (!channel_) throw std::logic_error("download() on a closed ssh session.");
  detail::download_file(*channel_->connection, remote_path, local_path, progress);
}

}  // namespace pexpect_custom
