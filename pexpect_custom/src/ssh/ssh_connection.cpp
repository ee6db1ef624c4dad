// A connection that several sessions share: opened like a session's, without a channel; each
// session holds it as long as it runs.
#include "pexpect_custom/ssh_connection.hpp"

#include <stdexcept>

#include "ssh/ssh_connection.hpp"

namespace pexpect_custom {

namespace {

std::shared_ptr<detail::ssh_link> open_connection(const ssh_options& options) {
  detail::ssh_opening opening(options, detail::opening_kind::connection);
  detail::open_blocking(opening);
  return opening.connection();
}

}  // namespace

ssh_connection::ssh_connection(const ssh_options& options) : link_(open_connection(options)) {}

ssh_connection::ssh_connection(ssh_connection&& other) noexcept = default;
ssh_connection& ssh_connection::operator=(ssh_connection&& other) noexcept = default;
ssh_connection::~ssh_connection() = default;

const detail::ssh_link& ssh_connection::link() const {
  if (!link_) throw std::logic_error("use of a closed ssh_connection.");
  return *link_;
}

const std::string& ssh_connection::host() const {
  return link().options.host;
}

int ssh_connection::port() const {
  return link().options.port.value_or(22);
}

const std::string& ssh_connection::user() const {
  return link().user;
}

void ssh_connection::upload(const std::string& local_path, const std::string& remote_path,
                            const transfer_progress& progress) {
  link();
  detail::upload_file(*link_, local_path, remote_path, progress);
}

void ssh_connection::download(const std::string& remote_path, const std::string& local_path,
                              const transfer_progress& progress) {
  link();
  detail::download_file(*link_, remote_path, local_path, progress);
}

void ssh_connection::close() {
  link_.reset();
}

}  // namespace pexpect_custom
