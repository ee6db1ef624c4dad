#pragma once
// An OpenSSH server for the tests: its own host key, an authorized client key and a known-hosts
// file made for the run in a temporary folder, listening on 127.0.0.1 only.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "pexpect_custom/ssh_spawn.hpp"
#include "test_support.hpp"

namespace test_support {

/// What a test server offers beyond the usual.
struct ssh_server_settings {
  /// Lines added to the server's configuration (for example `KexAlgorithms ...`).
  std::string extra_config;
  /// Serve an RSA host key instead of an Ed25519 one.
  bool rsa_host_key = false;
};

class ssh_server {
 public:
  /// Whether a server can be started here (the server program exists and we run as root).
  static std::optional<std::string> missing_prerequisite();

  /// Starts the server and returns once it accepts connections.
  explicit ssh_server(ssh_server_settings settings = {});
  /// Stops the server.
  ~ssh_server();
  ssh_server(const ssh_server&) = delete;
  ssh_server& operator=(const ssh_server&) = delete;

  int port() const { return port_; }
  /// The client's private key (no passphrase), authorized for every account.
  const std::string& client_key() const { return client_key_; }
  /// A known-hosts file that holds the server's key.
  const std::string& known_hosts() const { return known_hosts_; }
  /// The server's key as "SHA256:..." fingerprint.
  const std::string& host_fingerprint() const { return fingerprint_; }
  /// The folder the run's files live in.
  const std::string& folder() const { return dir_.path(); }
  /// Makes a new key pair in the folder; returns the private key's path.
  std::string make_key(const std::string& name, const std::string& passphrase = "") const;
  /// What the server has logged so far.
  std::string log() const;
  /// The processes that serve the connections (the server's descendants).
  std::vector<pid_t> connection_processes() const;
  /// Options of a key login as root to this server, with its known-hosts file, running `command`
  /// (empty: a login shell); neither the agent nor the real user's configuration is used.
  pexpect_custom::ssh_options key_login(std::string command = {}) const;
  /// Waits until no process serves a connection any more; false when some still do after
  /// `seconds`.
  bool connections_end_within(double seconds) const;

 private:
  bool start_on(int port);

  ssh_server_settings settings_;
  temp_dir dir_;
  std::string client_key_;
  std::string known_hosts_;
  std::string fingerprint_;
  std::string config_;
  int port_ = 0;
  pid_t pid_ = -1;
};

/// The test account for password logins that scripts/setup makes, and its password; nullopt
/// when this machine has none.
struct password_account {
  std::string user;
  std::string password;
};
std::optional<password_account> test_password_account();

}  // namespace test_support
