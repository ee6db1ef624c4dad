// Remote sessions against a real OpenSSH server on 127.0.0.1: authentication, host keys, a shell
// driven through prompts, exit codes and signals, window changes, bulk output, many sessions.
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#ifdef PEXPECT_TEST_ASIO
#include <asio/bind_cancellation_slot.hpp>
#include <asio/bind_executor.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/use_future.hpp>

#include "pexpect_custom/asio.hpp"
#endif
#include "pexpect_custom/expect_any.hpp"
#include "pexpect_custom/pending_expect.hpp"
#include "pexpect_custom/pending_ssh_connect.hpp"
#include "pexpect_custom/run.hpp"
#include "pexpect_custom/spawn.hpp"
#include "pexpect_custom/ssh_spawn.hpp"
#include "ssh_server.hpp"
#include "test_support.hpp"

using namespace pexpect_custom;
using test_support::ssh_server;

namespace {

class Ssh : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto missing = ssh_server::missing_prerequisite()) GTEST_SKIP() << *missing;
    server.emplace();
  }

  // Key login as root with the server's known-hosts file.
  ssh_options key_login(std::string command = {}) const { return server->key_login(std::move(command)); }

  // A command that prints "ready" and then stays quiet, with a keepalive every half second.
  ssh_options quiet_with_keepalive() const {
    ssh_options options = key_login("echo ready; exec sleep 300");
    options.keepalive_interval = 0.5;
    options.keepalive_count = 3;
    return options;
  }

  std::optional<ssh_server> server;
};

// The longer cases, which CTest runs with a label of their own.
class SshScale : public Ssh {};

// A listening socket on loopback that never answers; closing it leaves a port that refuses.
struct silent_listener {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int port = 0;
  silent_listener() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(fd, 4);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
  }
  ~silent_listener() { ::close(fd); }
};

std::string file_text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Opens all the sessions at once, stepping each whenever poll finds any socket ready.
std::vector<ssh_spawn> open_side_by_side(const std::vector<ssh_options>& all) {
  std::vector<pending_ssh_connect> pending(all.begin(), all.end());
  std::vector<std::optional<ssh_spawn>> opened(all.size());
  for (std::size_t left = all.size(); left > 0;) {
    std::vector<pollfd> sockets;
    double wait = 60;
    for (std::size_t i = 0; i < all.size(); ++i) {
      if (opened[i]) continue;
      if (pending[i].step()) {
        opened[i].emplace(pending[i].take());
        --left;
        continue;
      }
      const short events = static_cast<short>(POLLIN | (pending[i].wants_write() ? POLLOUT : 0));
      for (int fd : pending[i].watch_fds()) sockets.push_back({fd, events, 0});
      wait = std::min(wait, pending[i].seconds_left());
    }
    if (left > 0) poll(sockets.data(), sockets.size(), static_cast<int>(wait * 1000) + 1);
  }
  std::vector<ssh_spawn> sessions;
  for (std::optional<ssh_spawn>& session : opened) sessions.push_back(std::move(*session));
  return sessions;
}

// The failure of the constructor, which the stepped opening must raise alike.
std::string failure_of(const ssh_options& options) {
  std::string stepped = "(no failure)";
  try {
    open_side_by_side({options});
  } catch (const ExceptionPexpect& error) {
    stepped = error.what();
  }
  try {
    ssh_spawn session(options);
  } catch (const ExceptionPexpect& error) {
    EXPECT_EQ(stepped, error.what());
    return error.what();
  }
  return "(no failure)";
}

TEST_F(Ssh, ShellDrivenThroughPromptsWithEnvironment) {
  ssh_options options = key_login();
  options.env = {{"PEXPECT_GREETING", "hello from afar"}};
  ssh_spawn shell(options);
  shell.sendline("PS1='remote''> '");  // the echoed line does not hold the prompt
  shell.expect_exact("remote> ");
  shell.sendline("echo $((2 + 3))");
  std::string got;  // the read without expect: bounded waits that may wake with nothing to read
  while (got.find("remote> ", got.find("5\r\n")) == std::string::npos)
    got += shell.read_nonblocking(1000, 30);
  shell.sendline("echo \"[$PEXPECT_GREETING]\"; echo $((6 * 7))");
  shell.expect_exact("[hello from afar]");
  shell.expect("\\r\\n42\\r\\n");
  shell.expect_exact("remote> ");
  EXPECT_TRUE(shell.isalive());
  shell.sendline("exit 0");
  EXPECT_EQ(shell.expect({EOF_marker}), 0);
  EXPECT_THROW(shell.read_nonblocking(1000, 30), EOF_);
  EXPECT_EQ(shell.wait(), 0);
  EXPECT_FALSE(shell.isalive());
}

// Each end reported by the remote side: an exit code, a signal, and a terminate() of a command
// that would run on.
TEST_F(Ssh, ExitCodeAndSignalOfTheRemoteCommand) {
  struct row {
    const char* command;
    std::optional<int> exitstatus;
    std::optional<int> signalstatus;
  };
  for (const row& r :
       {row{"echo bye; exit 3", 3, std::nullopt}, row{"kill -TERM $$", std::nullopt, SIGTERM}}) {
    SCOPED_TRACE(r.command);
    ssh_spawn session(key_login(r.command));
    session.expect({EOF_marker});
    session.wait();
    EXPECT_EQ(session.exitstatus, r.exitstatus);
    EXPECT_EQ(session.signalstatus, r.signalstatus);
    EXPECT_NE(session.str().find("exitstatus: " + (r.exitstatus ? std::to_string(*r.exitstatus) : "None")),
              std::string::npos);
    // The end comes just after the end of file: a close() right after it still collects it.
    ssh_spawn closed_at_once(key_login(r.command));
    closed_at_once.expect({EOF_marker});
    closed_at_once.close();
    EXPECT_EQ(closed_at_once.exitstatus, r.exitstatus);
    EXPECT_EQ(closed_at_once.signalstatus, r.signalstatus);
  }
  ssh_spawn endless(key_login("echo started; exec sleep 300"));
  endless.expect_exact("started");
  EXPECT_TRUE(endless.terminate(true));
  EXPECT_FALSE(endless.isalive());
}

// The remote terminal's size reaches the server and the session's screen alike.
TEST_F(Ssh, WindowChangeIsSeenRemotely) {
  ssh_options options = key_login("stty size; read line; stty size; printf '\\033[33;1Hcorner'; read line");
  options.dimensions = {30, 90};
  options.screen = true;
  ssh_spawn session(options);
  EXPECT_EQ(session.getwinsize(), std::make_pair(30, 90));
  EXPECT_EQ(session.screen().rows(), 30);
  session.expect_exact("30 90");
  session.setwinsize(33, 101);
  EXPECT_EQ(session.getwinsize(), std::make_pair(33, 101));
  EXPECT_EQ(session.screen().cols(), 101);
  session.sendline();
  session.expect_exact("33 101");
  session.expect_screen_exact("corner", 30, screen_area::row(32));
  session.sendline();
  session.expect({EOF_marker});
}

TEST_F(Ssh, OneMebibyteOfOutputArrivesByteForByte) {
  std::string data(1 << 20, '\0');
  std::mt19937 random(19);
  for (char& byte : data) byte = static_cast<char>(random());
  const std::string path = server->folder() + "/payload";
  std::ofstream(path, std::ios::binary) << data;
  ssh_options options = key_login("stty raw -echo; cat " + path);
  options.maxread = 65536;
  ssh_spawn session(options);
  session.expect({EOF_marker});
  EXPECT_TRUE(session.before_text() == data) << "got " << session.before_text().size() << " bytes";
}

TEST_F(Ssh, PasswordLoginKeepsThePasswordOutOfLogsAndReports) {
  const std::optional<test_support::password_account> account = test_support::test_password_account();
  if (!account) GTEST_SKIP() << "no test account with a password (scripts/setup makes it as root)";
  ssh_options options = key_login("id -un; read line");
  options.identity_files.clear();
  options.user = account->user;
  options.password = account->password;
  std::ostringstream sent;
  options.logfile_send = &sent;
  ssh_spawn session(options);
  session.expect_exact(account->user);
  session.sendline("done");
  session.expect({EOF_marker});
  EXPECT_EQ(sent.str(), "done\n");
  EXPECT_EQ(session.str().find(account->password), std::string::npos);

  options.password = account->password + "-wrong";
  const std::string refused = failure_of(options);
  EXPECT_NE(refused.find("authentication as " + account->user), std::string::npos) << refused;
  EXPECT_NE(refused.find("tried: password"), std::string::npos) << refused;
  EXPECT_EQ(refused.find(*options.password), std::string::npos) << refused;
}

// The key held by the user's agent logs in when no key file is given; without an agent the
// error says nothing was tried.
TEST_F(Ssh, AgentLogin) {
  const std::string socket_path = server->folder() + "/agent.sock";
  spawn agent("ssh-agent", {"-D", "-a", socket_path}, {.timeout = 30});
  agent.expect_exact("SSH_AUTH_SOCK=");
  const char* saved = std::getenv("SSH_AUTH_SOCK");
  const std::optional<std::string> earlier = saved ? std::optional<std::string>(saved) : std::nullopt;
  setenv("SSH_AUTH_SOCK", socket_path.c_str(), 1);
  const auto [added, status] =
      run("ssh-add " + server->client_key(), {.timeout = 30, .withexitstatus = true});
  EXPECT_EQ(status, 0) << added;
  ssh_options options = key_login("echo through the agent");
  options.identity_files.clear();
  options.use_agent = true;
  {
    ssh_spawn session(options);
    session.expect_exact("through the agent");
  }
  unsetenv("SSH_AUTH_SOCK");
  const std::string refused = failure_of(options);
  EXPECT_NE(refused.find("tried: nothing the server accepts"), std::string::npos) << refused;
  if (earlier) setenv("SSH_AUTH_SOCK", earlier->c_str(), 1);
  agent.close(true);
}

TEST_F(Ssh, KeyWithAPassphrase) {
  const std::string phrase = "a phrase only the test knows";
  const std::string key = server->make_key("locked_key", phrase);
  std::ofstream(server->folder() + "/authorized_keys", std::ios::app) << file_text(key + ".pub");
  ssh_options options = key_login("echo unlocked");
  options.identity_files = {key};
  options.passphrase = phrase;
  ssh_spawn session(options);
  session.expect_exact("unlocked");

  options.passphrase = "not " + phrase;
  const std::string refused = failure_of(options);
  EXPECT_NE(refused.find("publickey " + key + " (cannot be read or decrypted)"), std::string::npos)
      << refused;
  EXPECT_EQ(refused.find(*options.passphrase), std::string::npos) << refused;
}

// What the session refuses, and that no descriptor is left behind by any of the failures.
TEST_F(Ssh, FailuresSayWhatFailedAndLeakNothing) {
  const std::set<int> fds_before = test_support::open_fds();

  ssh_options changed = key_login("true");
  const std::string other_key = server->make_key("other_host_key");
  changed.known_hosts = server->folder() + "/changed_known_hosts";
  std::ofstream(changed.known_hosts) << "[127.0.0.1]:" << server->port() << " "
                                     << file_text(other_key + ".pub");
  std::string message = failure_of(changed);
  EXPECT_NE(message.find("has changed"), std::string::npos) << message;
  EXPECT_NE(message.find(server->host_fingerprint()), std::string::npos) << message;
  changed.accept_new_host_key = true;  // never overrides a changed key
  EXPECT_NE(failure_of(changed).find("has changed"), std::string::npos);

  ssh_options unknown = key_login("true");
  unknown.known_hosts = server->folder() + "/empty_known_hosts";
  message = failure_of(unknown);
  EXPECT_NE(message.find("is unknown"), std::string::npos) << message;
  EXPECT_NE(message.find(server->host_fingerprint()), std::string::npos) << message;
  unknown.accept_new_host_key = true;
  { ssh_spawn accepted(unknown); }
  unknown.accept_new_host_key = false;
  { ssh_spawn known_now(unknown); }

  ssh_options stranger = key_login("true");
  stranger.identity_files = {server->make_key("unauthorized_key")};
  message = failure_of(stranger);
  EXPECT_NE(message.find("failed; tried: publickey " + stranger.identity_files[0]), std::string::npos)
      << message;
  EXPECT_NE(message.find("the server accepts: publickey, password"), std::string::npos) << message;

  int closed_port;
  {
    silent_listener listener;
    closed_port = listener.port;
    ssh_options silent = key_login();
    silent.port = listener.port;
    silent.connect_timeout = 0.5;
    EXPECT_THROW(ssh_spawn{silent}, TIMEOUT);
    EXPECT_THROW(open_side_by_side({silent}), TIMEOUT);
  }
  ssh_options refused = key_login();
  refused.port = closed_port;
  message = failure_of(refused);
  EXPECT_NE(message.find("cannot connect to 127.0.0.1 port " + std::to_string(closed_port)),
            std::string::npos)
      << message;
  EXPECT_NE(message.find("refused"), std::string::npos) << message;

  EXPECT_EQ(test_support::open_fds(), fds_before);
}

TEST_F(Ssh, FiftySessionsFromOneThread) {
  constexpr int count = 50;
  std::vector<ssh_spawn> sessions =
      open_side_by_side(std::vector<ssh_options>(count, key_login("read name; echo \"hello, $name\"")));
  for (int i = 0; i < count; ++i) sessions[static_cast<std::size_t>(i)].sendline("n" + std::to_string(i));

  std::vector<std::size_t> waiting(count);
  for (std::size_t i = 0; i < waiting.size(); ++i) waiting[i] = i;
  while (!waiting.empty()) {
    std::vector<expect_request> requests;
    for (std::size_t i : waiting) requests.push_back(on(sessions[i], {"hello, n(\\d+)\\r\\n"}));
    const expect_any_result done = expect_any(requests, 120);
    const std::size_t which = waiting[done.session];
    EXPECT_EQ(sessions[which].group(1), std::to_string(which));
    waiting.erase(waiting.begin() + static_cast<long>(done.session));
  }
  for (ssh_spawn& session : sessions) EXPECT_EQ(session.wait(), 0);
}

// The configuration completes what the caller left open, and what the caller gives wins; a
// proxy is refused and `StrictHostKeyChecking no` never accepts a changed key.
TEST_F(Ssh, ConfigurationCompletesTheOptions) {
  const std::string port = std::to_string(server->port());
  const std::string changed_hosts = server->folder() + "/config_changed_known_hosts";
  std::ofstream(changed_hosts) << "[127.0.0.1]:" << port << " "
                               << file_text(server->make_key("config_other_host_key") + ".pub");
  const std::string fleet = "Host fleet-*\n  HostName 127.0.0.1\n  Port " + port +
                            "\n  User root\n  IdentityFile " + server->client_key() +
                            "\n  UserKnownHostsFile " + server->known_hosts() + "\n  ConnectTimeout 20\n";
  struct row {
    const char* name;
    std::string config;
    std::optional<int> port;
    const char* failure;  // nullptr: the session opens
  };
  const row rows[] = {
      {"everything from the file", fleet, std::nullopt, nullptr},
      {"the caller's port wins", "Host fleet-*\n  Port 1\n" + fleet, server->port(), nullptr},
      {"the file's wrong port is used", "Host fleet-*\n  Port 1\n" + fleet, std::nullopt, "port 1:"},
      {"a non-matching block is skipped", "Host other !fleet-*\n  Port 1\n" + fleet, std::nullopt, nullptr},
      {"proxy jump, through the server to itself",
       "Host fleet-*\n  ProxyJump root@127.0.0.1:" + port + "\n" + fleet + "Host 127.0.0.1\n  IdentityFile " +
           server->client_key() + "\n  UserKnownHostsFile " + server->known_hosts() + "\n",
       std::nullopt, nullptr},
      {"proxy command", "Host *\n  ProxyCommand nc %h %p\n" + fleet, std::nullopt, "ProxyCommand"},
      {"unknown host, checking off",
       "Host fleet-*\n  StrictHostKeyChecking no\n  UserKnownHostsFile " + server->folder() +
           "/config_new_known_hosts\n" + fleet,
       std::nullopt, nullptr},
      {"changed key, checking off",
       "Host fleet-*\n  StrictHostKeyChecking no\n  UserKnownHostsFile " + changed_hosts + "\n" + fleet,
       std::nullopt, "has changed"},
  };
  ssh_options missing = key_login("true");
  missing.config_file = server->folder() + "/no_such_config";  // no error
  { ssh_spawn session(missing); }
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    ssh_options options;
    options.host = "fleet-7";
    options.port = r.port;
    options.use_agent = false;
    options.command = "echo configured as $(id -un)";
    options.config_file = server->folder() + "/client_config";
    std::ofstream(options.config_file) << r.config;
    if (r.failure) {
      EXPECT_NE(failure_of(options).find(r.failure), std::string::npos) << failure_of(options);
      continue;
    }
    ssh_spawn session(options);
    session.expect_exact("configured as root");
    EXPECT_EQ(session.host, "127.0.0.1");
    EXPECT_EQ(session.port, server->port());
  }
}

// Without a terminal the bytes go through unchanged and the end of input is the channel's own.
TEST_F(Ssh, ExecWithoutTerminalIsByteExact) {
  std::string data(16 << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 7 + i / 256) & 0xff);
  ssh_options options = key_login("cat");
  options.pty = false;
  options.maxread = 1 << 20;
  options.delaybeforesend = 0;
  ssh_spawn session(options);
  std::string got;
  auto take_all = [&](double wait) {
    try {
      while (true) got += session.read_nonblocking(1 << 20, wait);
    } catch (const TIMEOUT&) {
    }
  };
  constexpr std::size_t chunk = 256 << 10;
  for (std::size_t at = 0; at < data.size(); at += chunk) {
    session.send(std::string_view(data).substr(at, chunk));
    take_all(0);
  }
  session.sendeof();
  EXPECT_EQ(session.expect({EOF_marker}), 0);
  got += session.before_text();
  EXPECT_EQ(got.size(), data.size());
  EXPECT_TRUE(got == data);
  EXPECT_EQ(session.wait(), 0);
}

// Standard error comes apart, or merged when asked; a screen needs the terminal.
TEST_F(Ssh, StandardErrorApartOrMerged) {
  for (bool merge : {false, true}) {
    SCOPED_TRACE(merge ? "merged" : "apart");
    ssh_options options = key_login("printf 'to out\\n'; printf 'to err\\n' >&2; exit 4");
    options.pty = false;
    options.merge_stderr = merge;
    ssh_spawn session(options);
    session.expect({EOF_marker});
    EXPECT_EQ(session.wait(), 4);
    const std::string output = session.before_text();
    const std::string errors = session.read_stderr();
    EXPECT_NE(output.find("to out\n"), std::string::npos) << output;
    EXPECT_EQ(output.find("\r\n"), std::string::npos) << output;
    EXPECT_EQ(output.find("to err") != std::string::npos, merge) << output;
    EXPECT_EQ(errors, merge ? "" : "to err\n");
  }
  ssh_options screen = key_login("true");
  screen.pty = false;
  screen.screen = true;
  EXPECT_THROW(ssh_spawn{screen}, std::invalid_argument);
}

// A server that stops answering ends the session within interval x count; one that is only quiet
// does not.
TEST_F(Ssh, KeepaliveReportsASilentServerAsEndOfFile) {
  ssh_spawn session(quiet_with_keepalive());
  session.expect_exact("ready");
  const auto quiet_since = std::chrono::steady_clock::now();
  EXPECT_THROW(session.read_nonblocking(100, 4), TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - quiet_since, std::chrono::milliseconds(3900));
  EXPECT_TRUE(session.isalive());

  const std::vector<pid_t> serving = server->connection_processes();
  ASSERT_FALSE(serving.empty());
  for (pid_t pid : serving) kill(pid, SIGSTOP);
  const long index = session.expect({"never", EOF_marker, TIMEOUT_marker}, 60);
  const bool alive = session.isalive();
  for (pid_t pid : serving) kill(pid, SIGCONT);
  EXPECT_EQ(index, 1);
  EXPECT_FALSE(alive);
  EXPECT_THROW(session.read_nonblocking(100, 1), EOF_);
}

// Files go both ways over the session's own connection, contents and permission bits intact; the
// errors name the cause, and the session goes on.
TEST_F(Ssh, FileTransferBothWays) {
  std::string data(64 << 20, '\0');
  std::mt19937 random(64);
  for (char& byte : data) byte = static_cast<char>(random());
  const std::string local = server->folder() + "/transfer_local";
  std::ofstream(local, std::ios::binary) << data;
  chmod(local.c_str(), 0640);
  ssh_spawn session(key_login("read line; echo still here"));
  std::uint64_t last_done = 0;
  std::uint64_t last_total = 1;
  const auto progress = [&](std::uint64_t done, std::uint64_t total) {
    EXPECT_GE(done, last_done);
    last_done = done;
    last_total = total;
  };
  const std::string remote = server->folder() + "/transfer_remote";
  session.upload(local, remote, progress);
  EXPECT_EQ(last_done, data.size());
  EXPECT_EQ(last_total, data.size());
  struct stat status {};
  ASSERT_EQ(stat(remote.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640U);
  EXPECT_TRUE(file_text(remote) == data);

  chmod(remote.c_str(), 0604);
  const std::string back = server->folder() + "/transfer_back";
  last_done = 0;
  session.download(remote, back, progress);
  EXPECT_EQ(last_done, data.size());
  ASSERT_EQ(stat(back.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0604U);
  EXPECT_TRUE(file_text(back) == data);

  const std::pair<std::function<void()>, const char*> failures[] = {
      {[&] { session.download(server->folder() + "/no_such_file", back); }, "no such file"},
      // A read-only kernel attribute: refused even to root.
      {[&] { session.upload(local, "/sys/kernel/mm/transparent_hugepage/hpage_pmd_size"); },
       access("/sys/kernel/mm/transparent_hugepage/hpage_pmd_size", F_OK) == 0 ? "permission denied"
                                                                               : "no such file"},
      {[&] { session.upload(server->folder() + "/no_such_file", remote); }, "No such file"},
  };
  for (const auto& [transfer, cause] : failures) {
    try {
      transfer();
      ADD_FAILURE() << "no failure, expected " << cause;
    } catch (const ExceptionPexpect& error) {
      EXPECT_NE(std::string(error.what()).find(cause), std::string::npos) << error.what();
    }
  }
  session.sendline("go on");
  session.expect_exact("still here");
}

// Sessions on one connection, with and without a terminal, each see their own output and end; a
// session whose output another session's wait took off the socket is woken for it; the connection
// outlives its object while sessions use it, and closes with the last.
TEST_F(Ssh, SessionsShareOneConnection) {
  const std::set<int> fds_before = test_support::open_fds();
  {
    ssh_connection connection(key_login());
    ssh_spawn shell(connection, {.command = "read a; echo \"pty $a\"; read b; echo \"pty $b\""});
    ssh_spawn raw(connection, {.command = "cat", .pty = false});
    ssh_spawn failing(connection, {.command = "exit 3", .pty = false});
    ssh_spawn missing(connection, {.command = "no-such-command-here", .pty = false});
    ssh_spawn late(connection, {.command = "sleep 0.5; echo late", .pty = false});
    ssh_spawn slow(connection, {.command = "sleep 2", .pty = false});
    connection.close();

    pending_expect waiting(late, std::make_shared<searcher_string>(pattern_list{"late"}), 30);
    EXPECT_FALSE(waiting.step());
    EXPECT_EQ(slow.wait(), 0);
    std::vector<pollfd> fds;
    for (int fd : waiting.watch_fds()) fds.push_back({fd, POLLIN, 0});
    EXPECT_GE(poll(fds.data(), fds.size(), 0), 1);
    EXPECT_EQ(waiting.step(), 0);

    for (const std::string round : {"one", "two"}) {
      shell.sendline(round);
      raw.sendline(round);
      raw.expect_exact(round + "\n");
      shell.expect_exact("pty " + round + "\r\n");
    }
    EXPECT_EQ(failing.wait(), 3);
    EXPECT_EQ(missing.wait(), 127);
    EXPECT_NE(missing.read_stderr().find("not found"), std::string::npos);
    raw.sendeof();
    EXPECT_EQ(raw.wait(), 0);
    EXPECT_EQ(shell.wait(), 0);
    EXPECT_FALSE(server->connection_processes().empty());
  }
  for (int i = 0; i < 600 && !server->connection_processes().empty(); ++i) usleep(50000);
  EXPECT_TRUE(server->connection_processes().empty());
  EXPECT_EQ(test_support::open_fds(), fds_before);
}

// Copies bytes both ways between two sockets until both directions have ended; small writes go
// out at once, as the library's own connections send them.
void relay(int a, int b) {
  const int on = 1;
  for (int fd : {a, b}) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  pollfd ends[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
  char chunk[16384];
  while (ends[0].fd >= 0 || ends[1].fd >= 0) {
    if (poll(ends, 2, -1) < 0 && errno != EINTR) return;
    for (int i = 0; i < 2; ++i) {
      if (ends[i].fd < 0 || ends[i].revents == 0) continue;
      const int to = i == 0 ? b : a;
      const ssize_t n = read(ends[i].fd, chunk, sizeof chunk);
      if (n <= 0 || write(to, chunk, static_cast<std::size_t>(n)) != n) {
        shutdown(to, SHUT_WR);
        ends[i].fd = -1;
      }
    }
  }
}

// Accepts connections one after the other and relays each to a new connection of `reach`.
template <typename Connect>
void forward_each(int listener, Connect reach) {
  for (int client; (client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; ::close(client)) {
    const int far = reach();
    if (far < 0) continue;
    relay(client, far);
    ::close(far);
  }
}

template <typename Address>
int connected(int family, const Address& address) {
  const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
  ::close(fd);
  return -1;
}

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

// The scenarios run in a network namespace that holds only a loopback, whose port 2222 leads,
// through a Unix socket, to the jump server; one line per scenario goes back through `report`.
void run_isolated(int report, const sockaddr_un& way_out, const std::function<std::string()>& scenarios) {
  auto fail = [report](const char* what) {
    dprintf(report, "%s: %s\n", what, strerror(errno));
    _exit(1);
  };
  if (unshare(CLONE_NEWNET) != 0) fail("unshare");
  ifreq lo{};
  std::strcpy(lo.ifr_name, "lo");
  const int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (ioctl(control, SIOCGIFFLAGS, &lo) != 0) fail("lo flags");
  lo.ifr_flags = static_cast<short>(lo.ifr_flags | IFF_UP);
  if (ioctl(control, SIOCSIFFLAGS, &lo) != 0) fail("lo up");
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in inner = loopback(2222);
  if (bind(listener, reinterpret_cast<const sockaddr*>(&inner), sizeof inner) != 0 ||
      listen(listener, 8) != 0) {
    fail("listen");
  }
  const pid_t forwarder = fork();
  if (forwarder == 0) {
    forward_each(listener, [&way_out] { return connected(AF_UNIX, way_out); });
    _exit(0);
  }
  ::close(listener);
  const std::string lines = scenarios();
  if (write(report, lines.data(), lines.size()) < 0) _exit(1);
  kill(forwarder, SIGKILL);
  waitpid(forwarder, nullptr, 0);
  _exit(0);
}

std::string public_key_line(const ssh_server& server) {
  const std::string line = file_text(server.known_hosts());
  return line.substr(line.find(' '));
}

// Jump hosts: a target this process can reach only through one jump host, or two; each hop's host
// key is checked under its own name and port, and a failure names the hop.
TEST_F(Ssh, JumpHostsReachWhatIsOtherwiseUnreachable) {
  ssh_server jump({.extra_config = "LogLevel DEBUG1"});
  ssh_server second_jump;
  const std::string target = std::to_string(server->port());
  const std::string hosts = server->folder() + "/jump_known_hosts";
  std::ofstream(hosts) << "[127.0.0.1]:2222" << public_key_line(jump) << "[127.0.0.1]:" << second_jump.port()
                       << public_key_line(second_jump) << "[127.0.0.1]:" << target
                       << public_key_line(*server);
  const std::string wrong_hosts = server->folder() + "/jump_wrong_known_hosts";
  std::ofstream(wrong_hosts) << "[127.0.0.1]:2222 " << file_text(server->make_key("jump_other_key") + ".pub")
                             << "[127.0.0.1]:" << target << public_key_line(*server);

  // The way out of the namespace: a Unix socket made here, relayed to the jump server.
  const int way_out = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un path{};
  path.sun_family = AF_UNIX;
  std::snprintf(path.sun_path, sizeof path.sun_path, "%s/way_out", server->folder().c_str());
  ASSERT_EQ(bind(way_out, reinterpret_cast<const sockaddr*>(&path), sizeof path), 0);
  ASSERT_EQ(listen(way_out, 8), 0);
  std::thread outer([way_out, port = jump.port()] {
    forward_each(way_out, [port] { return connected(AF_INET, loopback(port)); });
  });

  // Megabytes each way through the hops' threads: the command's output, and a file uploaded.
  std::string counted;
  for (int i = 1; i <= 200000; ++i) counted += std::to_string(i) + "\n";
  std::string data(std::size_t{4} << 20, '\0');
  std::mt19937 random(22);
  for (char& byte : data) byte = static_cast<char>(random());
  const std::string local = server->folder() + "/jump_local";
  const std::string remote = server->folder() + "/jump_remote";
  std::ofstream(local, std::ios::binary) << data;
  auto attempt = [&](const std::string& jumps, const std::string& known_hosts) -> std::string {
    ssh_options options = key_login("seq 1 200000");
    options.pty = false;
    options.known_hosts = known_hosts;
    options.identity_files = {server->client_key(), jump.client_key(), second_jump.client_key()};
    options.proxy_jump = jumps;
    options.connect_timeout = 60;
    try {
      ssh_spawn session(options);
      session.expect(EOF_marker);
      session.upload(local, remote);
      const bool intact = session.before == counted && file_text(remote) == data;
      return session.wait() != 0 ? "exit status" : intact ? "ok" : "bytes differ";
    } catch (const std::exception& error) {
      return error.what();
    }
  };
  const std::string first = "root@127.0.0.1:2222";
  const std::string second = "root@127.0.0.1:" + std::to_string(second_jump.port());
  int report[2];
  ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
  const pid_t child = fork();
  if (child == 0) {
    ::close(report[0]);
    run_isolated(report[1], path, [&] {
      const std::set<int> fds_before = test_support::open_fds();
      std::string lines = "direct: " + attempt("", hosts) + "\n";
      lines += "one hop: " + attempt(first, hosts) + "\n";
      lines += "two hops: " + attempt(first + "," + second, hosts) + "\n";
      lines += "changed key: " + attempt(first, wrong_hosts) + "\n";
      return lines + "descriptors: " + (test_support::open_fds() == fds_before ? "ok" : "leaked") + "\n";
    });
  }
  ::close(report[1]);
  std::string lines;
  char chunk[4096];
  for (ssize_t n; (n = read(report[0], chunk, sizeof chunk)) > 0;)
    lines.append(chunk, static_cast<std::size_t>(n));
  ::close(report[0]);
  int status = 0;
  waitpid(child, &status, 0);
  shutdown(way_out, SHUT_RDWR);
  outer.join();
  ::close(way_out);

  EXPECT_NE(lines.find("direct: ssh: cannot connect to 127.0.0.1 port " + target), std::string::npos)
      << lines;
  EXPECT_NE(lines.find("one hop: ok\n"), std::string::npos) << lines;
  EXPECT_NE(lines.find("two hops: ok\n"), std::string::npos) << lines;
  EXPECT_NE(
      lines.find(
          "changed key: ssh: jump host 127.0.0.1 port 2222: the host key of 127.0.0.1 port 2222 has changed"),
      std::string::npos)
      << lines;
  EXPECT_NE(lines.find("descriptors: ok"), std::string::npos) << lines;
  const std::string forwarded =
      "server_request_direct_tcpip: originator 127.0.0.1 port 0, target 127.0.0.1 port ";
  EXPECT_NE(jump.log().find(forwarded + target + "\r\n"), std::string::npos);
  EXPECT_NE(jump.log().find(forwarded + std::to_string(second_jump.port()) + "\r\n"), std::string::npos);
}

// Old devices: refused by default with both sides' offers named, accepted when allowed.
TEST(SshAlgorithms, OlderKeyExchangeAndHostKeyOnlyWhenAllowed) {
  if (auto missing = ssh_server::missing_prerequisite()) GTEST_SKIP() << *missing;
  ssh_server old_device(
      {.extra_config = "KexAlgorithms diffie-hellman-group14-sha1\nHostKeyAlgorithms ssh-rsa",
       .rsa_host_key = true});
  ssh_options options;
  options.host = "127.0.0.1";
  options.port = old_device.port();
  options.user = "root";
  options.identity_files = {old_device.client_key()};
  options.use_agent = false;
  options.known_hosts = old_device.known_hosts();
  options.config_file.clear();
  options.command = "echo old but reachable";
  const std::string refused = failure_of(options);
  EXPECT_NE(refused.find("diffie-hellman-group14-sha1"), std::string::npos) << refused;
  EXPECT_NE(refused.find("curve25519-sha256"), std::string::npos) << refused;
  for (auto [kex, host_key] :
       {std::pair{"diffie-hellman-group14-sha1", "ssh-rsa"},
        std::pair{"curve25519-sha256,diffie-hellman-group14-sha1", "ssh-ed25519,rsa-sha2-256,ssh-rsa"}}) {
    SCOPED_TRACE(kex);
    options.key_exchanges = kex;
    options.host_key_types = host_key;
    ssh_spawn session(options);
    session.expect_exact("old but reachable");
  }
}

#ifdef PEXPECT_TEST_ASIO
// What the sessions of exchange_through_asio ended with.
struct asio_exchange {
  std::vector<std::optional<int>> statuses;
  std::vector<std::string> failures;
};

// Opens `count` sessions side by side on one io_context; each sends its number, expects the
// greeting with that number, collects its exit status (the number modulo 100) and is closed at
// once. The adapter waits on the connection's socket, which may wake with nothing for the channel,
// and output may already sit in the session when a wait is armed.
asio_exchange exchange_through_asio(const ssh_options& base, std::size_t count) {
  asio_exchange result;
  result.statuses.resize(count);
  auto failed = [&result](std::exception_ptr error) {
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& failure) {
      result.failures.emplace_back(failure.what());
    }
  };
  asio::io_context io;
  std::vector<std::unique_ptr<ssh_spawn>> sessions(count);
  for (std::size_t i = 0; i < count; ++i) {
    ssh_options options = base;
    options.command = "read name; echo \"hello, $name\"; exit " + std::to_string(i % 100);
    async_ssh_connect(io, options, [&, i](std::exception_ptr error, std::unique_ptr<ssh_spawn> opened) {
      if (error) return failed(error);
      ssh_spawn& session = *(sessions[i] = std::move(opened));
      session.sendline("n" + std::to_string(i));
      async_expect(
          session, {"hello, n(\\d+)"}, -1, asio::bind_executor(io, [&, i](std::exception_ptr e, long) {
            if (e) return failed(e);
            if (sessions[i]->group(1) != std::to_string(i)) result.failures.push_back("mixed-up output");
            async_wait_exit(*sessions[i],
                            asio::bind_executor(io, [&, i](std::exception_ptr e2, std::optional<int> status) {
                              if (e2) failed(e2);
                              result.statuses[i] = status;
                              sessions[i].reset();
                            }));
          }));
    });
  }
  io.run();
  return result;
}

TEST_F(Ssh, AsioExpectsAndWaitsForTheRemoteEnd) {
  const asio_exchange done = exchange_through_asio(key_login(), 8);
  EXPECT_EQ(done.failures, std::vector<std::string>{});
  for (std::size_t i = 0; i < done.statuses.size(); ++i) EXPECT_EQ(done.statuses[i], static_cast<int>(i));

  // On a shared connection, a session's end that another session's blocking wait took off the
  // socket still completes the wait for it.
  asio::io_context io;
  ssh_connection shared(key_login());
  ssh_spawn quick(shared, {.command = "sleep 0.5; exit 7", .pty = false});
  ssh_spawn slow(shared, {.command = "sleep 2", .pty = false});
  std::optional<int> quick_status;
  async_wait_exit(
      quick, asio::bind_executor(io, [&](std::exception_ptr, std::optional<int> s) { quick_status = s; }));
  asio::post(io, [&] { slow.wait(); });
  io.run_for(std::chrono::seconds(60));
  EXPECT_EQ(quick_status, 7);
}

// A server that stops answering ends the wait for the remote end, as it ends a blocking wait.
TEST_F(Ssh, AsioWaitForTheEndSeesASilentServer) {
  ssh_spawn session(quiet_with_keepalive());
  session.expect_exact("ready");
  const std::vector<pid_t> serving = server->connection_processes();
  ASSERT_FALSE(serving.empty());
  for (pid_t pid : serving) kill(pid, SIGSTOP);
  asio::io_context io;
  std::optional<std::exception_ptr> outcome;
  std::optional<int> status = 0;
  async_wait_exit(session, asio::bind_executor(io, [&](std::exception_ptr error, std::optional<int> end) {
                    outcome = error;
                    status = end;
                  }));
  io.run_for(std::chrono::seconds(30));
  for (pid_t pid : serving) kill(pid, SIGCONT);
  ASSERT_TRUE(outcome) << "the wait did not end";
  EXPECT_FALSE(*outcome);
  EXPECT_EQ(status, std::nullopt);
  EXPECT_TRUE(session.terminated);
}

// Raises the soft limit of open descriptors to `needed` (as far as the hard limit goes) for one
// test.
class descriptor_limit {
 public:
  explicit descriptor_limit(rlim_t needed) {
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit raised = saved_;
    if (raised.rlim_cur != RLIM_INFINITY && raised.rlim_cur < needed)
      raised.rlim_cur = std::min(needed, raised.rlim_max);
    setrlimit(RLIMIT_NOFILE, &raised);
  }
  ~descriptor_limit() { setrlimit(RLIMIT_NOFILE, &saved_); }

 private:
  rlimit saved_{};
};

// Hundreds of sessions opened at once from one thread, more than the server's listen backlog
// holds: every one signs in, answers right and reports its exit status, and afterwards no
// descriptor is left open here and no process serves a connection there.
TEST_F(SshScale, FiveHundredSessionsThroughAsio) {
  constexpr std::size_t count = 500;
  const descriptor_limit limit(2 * count + 64);  // a socket each, and its copy while it opens
  ssh_options options = key_login();
  // The set-up's test account runs /bin/sh without start-up files, so the server's work is SSH.
  if (auto account = test_support::test_password_account()) options.user = account->user;
  options.delaybeforesend = 0;
  // The server admits the connections one after another: on a busy machine the last ones wait
  // for minutes, in its listen queue and behind the others' key exchanges.
  options.connect_timeout = 240;
  options.timeout = 240;
  const std::set<int> fds_before = test_support::open_fds();

  const asio_exchange done = exchange_through_asio(options, count);
  EXPECT_EQ(done.failures.size(), 0U) << (done.failures.empty() ? "" : done.failures.front());
  std::size_t right = 0;
  for (std::size_t i = 0; i < count; ++i) right += done.statuses[i] == static_cast<int>(i % 100) ? 1 : 0;
  EXPECT_EQ(right, count);
  EXPECT_EQ(test_support::open_fds(), fds_before);
  EXPECT_TRUE(server->connections_end_within(120));
}

// A refused host key, a deadline and a cancellation each complete the opening with an error and
// leave no descriptor open.
TEST_F(Ssh, AsioConnectFailuresLeaveNothingOpen) {
  silent_listener listener;
  const std::set<int> fds_before = test_support::open_fds();
  auto io = std::make_unique<asio::io_context>();

  ssh_options changed = key_login("true");
  changed.known_hosts = server->folder() + "/changed_known_hosts";
  std::ofstream(changed.known_hosts) << "[127.0.0.1]:" << server->port() << " "
                                     << file_text(server->make_key("other_host_key") + ".pub");
  // Bound to the io_context, so that every step has run when run() returns.
  auto refused = async_ssh_connect(*io, changed, asio::bind_executor(*io, asio::use_future));

  ssh_options silent = key_login();
  silent.port = listener.port;
  silent.connect_timeout = 0.5;
  auto timed_out = async_ssh_connect(io->get_executor(), silent, asio::bind_executor(*io, asio::use_future));

  silent.connect_timeout = 60;
  asio::cancellation_signal cancel;
  std::exception_ptr cancelled;
  async_ssh_connect(*io, silent,
                    asio::bind_cancellation_slot(
                        cancel.slot(), [&](std::exception_ptr error, std::unique_ptr<ssh_spawn> session) {
                          cancelled = error;
                          EXPECT_EQ(session, nullptr);
                        }));
  cancel.emit(asio::cancellation_type::all);
  io->run();
  io.reset();  // its own descriptors

  try {
    refused.get();
    ADD_FAILURE() << "a changed host key was accepted";
  } catch (const ExceptionPexpect& error) {
    EXPECT_NE(std::string(error.what()).find("has changed"), std::string::npos) << error.what();
  }
  EXPECT_THROW(timed_out.get(), TIMEOUT);
  ASSERT_TRUE(cancelled);
  try {
    std::rethrow_exception(cancelled);
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), asio::error::operation_aborted);
  }
  EXPECT_EQ(test_support::open_fds(), fds_before);
}
#endif

}  // namespace
