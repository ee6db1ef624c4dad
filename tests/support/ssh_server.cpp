#include "ssh_server.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace test_support {

namespace {

constexpr const char* server_program = "/usr/sbin/sshd";

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

void keygen(const std::string& path, const std::string& passphrase, const std::string& type = "ed25519") {
  const process_result made =
      run_process({"/usr/bin/ssh-keygen", "-q", "-t", type, "-N", passphrase, "-C", "", "-f", path});
  if (made.exit_code != 0) throw std::runtime_error("ssh-keygen failed: " + made.output);
}

// A port that was free a moment ago.
int free_port() {
  const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(probe);
    throw std::runtime_error("no free port");
  }
  ::close(probe);
  return ntohs(address.sin_port);
}

// Reads the server's log until it says it listens (true) or ends (false); what comes after is
// drained by a thread of its own, so that the server never blocks on a full pipe.
bool listening(int log_fd) {
  std::string seen;
  char chunk[512];
  while (seen.find("Server listening on") == std::string::npos) {
    const ssize_t n = ::read(log_fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    seen.append(chunk, static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

std::optional<std::string> ssh_server::missing_prerequisite() {
  if (access(server_program, X_OK) != 0) return std::string("no OpenSSH server (scripts/setup installs it)");
  if (geteuid() != 0) return std::string("the test server needs root");
  return std::nullopt;
}

ssh_server::ssh_server(ssh_server_settings settings) : settings_(std::move(settings)) {
  mkdir("/run/sshd", 0755);  // the server's own empty folder
  const std::string host_key = dir_.path() + "/host_key";
  keygen(host_key, "", settings_.rsa_host_key ? "rsa" : "ed25519");
  client_key_ = make_key("client_key");
  std::ofstream(dir_.path() + "/authorized_keys") << read_file(client_key_ + ".pub");
  // The server reads the authorized keys as the user who logs in, who may be another than root.
  chmod(dir_.path().c_str(), 0711);
  chmod((dir_.path() + "/authorized_keys").c_str(), 0644);
  const process_result listed = run_process({"/usr/bin/ssh-keygen", "-l", "-f", host_key + ".pub"});
  std::istringstream words(listed.output);
  std::string bits;
  words >> bits >> fingerprint_;

  for (int attempt = 0; attempt < 20; ++attempt) {
    if (start_on(free_port())) {
      known_hosts_ = dir_.write_file(
          "known_hosts", "[127.0.0.1]:" + std::to_string(port_) + " " + read_file(host_key + ".pub"));
      return;
    }
  }
  throw std::runtime_error("the test SSH server did not start");
}

std::string ssh_server::make_key(const std::string& name, const std::string& passphrase) const {
  const std::string path = dir_.path() + "/" + name;
  keygen(path, passphrase);
  return path;
}

bool ssh_server::start_on(int port) {
  const std::string& d = dir_.path();
  // The first value of a keyword counts: the settings' lines come first.
  config_ = dir_.write_file("sshd_config", settings_.extra_config + "\nPort " + std::to_string(port) +
                                               "\n"
                                               "ListenAddress 127.0.0.1\n"
                                               "HostKey " +
                                               d +
                                               "/host_key\n"
                                               "AuthorizedKeysFile " +
                                               d +
                                               "/authorized_keys\n"
                                               "StrictModes no\n"
                                               "PidFile none\n"
                                               "PermitRootLogin yes\n"
                                               "PasswordAuthentication yes\n"
                                               "KbdInteractiveAuthentication no\n"
                                               "UsePAM no\n"
                                               "UseDNS no\n"
                                               "PrintMotd no\n"
                                               "PrintLastLog no\n"
                                               "AcceptEnv PEXPECT_*\n"
                                               // Hundreds of sessions may open at once.
                                               "MaxStartups 1000\n"
                                               "MaxSessions 1000\n"
                                               "Subsystem sftp internal-sftp\n"
                                               "LogLevel INFO\n");
  int log_pipe[2];
  if (pipe2(log_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, log_pipe[1], STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  std::vector<std::string> words{server_program, "-D", "-e", "-f", config_};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, server_program, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(log_pipe[1]);
  if (failed != 0) {
    ::close(log_pipe[0]);
    throw std::runtime_error("cannot start the SSH server");
  }
  if (!listening(log_pipe[0])) {
    ::close(log_pipe[0]);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return false;
  }
  // The log is copied to a file by a thread of its own, so that the server never blocks on a full
  // pipe; the file is opened here, before a test counts its descriptors.
  const int log_fd = log_pipe[0];
  const int log_file =
      ::open((dir_.path() + "/server.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  std::thread([log_fd, log_file] {
    char chunk[4096];
    while (true) {
      const ssize_t n = ::read(log_fd, chunk, sizeof chunk);
      if (n == 0 || (n < 0 && errno != EINTR)) break;
      if (n > 0 && ::write(log_file, chunk, static_cast<std::size_t>(n)) != n) break;
    }
    ::close(log_fd);
    ::close(log_file);
  }).detach();
  pid_ = pid;
  port_ = port;
  return true;
}

std::string ssh_server::log() const {
  return read_file(dir_.path() + "/server.log");
}

std::vector<pid_t> ssh_server::connection_processes() const {
  // Every process's parent, read from /proc once: a walk that asked for each parent's children
  // in turn would scan /proc again for each of hundreds of connections.
  std::multimap<pid_t, pid_t> children_of;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = read_file(entry.path() / "stat");
    const std::size_t after_name = stat.rfind(')');
    if (after_name == std::string::npos) continue;  // gone meanwhile
    std::istringstream fields(stat.substr(after_name + 1));
    char state = 0;
    pid_t parent = 0;
    // A process that has ended but is not collected yet serves nothing.
    if (fields >> state >> parent && state != 'Z') children_of.emplace(parent, std::stoi(name));
  }
  std::vector<pid_t> found;
  std::vector<pid_t> parents{pid_};
  while (!parents.empty()) {
    const pid_t parent = parents.back();
    parents.pop_back();
    const auto [first, last] = children_of.equal_range(parent);
    for (auto child = first; child != last; ++child) {
      found.push_back(child->second);
      parents.push_back(child->second);
    }
  }
  return found;
}

pexpect_custom::ssh_options ssh_server::key_login(std::string command) const {
  pexpect_custom::ssh_options options;
  options.host = "127.0.0.1";
  options.port = port_;
  options.user = "root";
  options.identity_files = {client_key_};
  options.use_agent = false;
  options.known_hosts = known_hosts_;
  options.command = std::move(command);
  options.timeout = 60;
  options.config_file.clear();  // never the real user's
  return options;
}

bool ssh_server::connections_end_within(double seconds) const {
  using clock = std::chrono::steady_clock;
  const clock::time_point deadline =
      clock::now() + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(seconds));
  for (std::vector<pid_t> serving; !(serving = connection_processes()).empty();) {
    // A pidfd turns readable once its process has ended, whoever's child it is.
    std::vector<pollfd> ends;
    for (pid_t pid : serving) {
      const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
      if (fd >= 0) ends.push_back({fd, POLLIN, 0});
    }
    while (!ends.empty()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count();
      if (left <= 0) break;
      const int ready = poll(ends.data(), ends.size(), static_cast<int>(left));
      if (ready == 0) break;
      if (ready < 0) continue;  // a signal
      const auto ended =
          std::partition(ends.begin(), ends.end(), [](const pollfd& end) { return end.revents == 0; });
      for (auto end = ended; end != ends.end(); ++end) ::close(end->fd);
      ends.erase(ended, ends.end());
    }
    for (const pollfd& end : ends) ::close(end.fd);
    if (!ends.empty()) return false;
  }
  return true;
}

ssh_server::~ssh_server() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

std::optional<password_account> test_password_account() {
  const std::string text = trimmed(read_file("/etc/pexpect-ssh-test.password"));
  if (text.empty()) return std::nullopt;
  return password_account{"pexpect-ssh-test", text};
}

}  // namespace test_support
