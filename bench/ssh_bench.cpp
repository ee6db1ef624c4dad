// Remote sessions: N sessions to one SSH server, each a short prompt-and-answer exchange, driven
// from one thread with Asio, either as ssh_spawn sessions (opened side by side with
// async_ssh_connect) or as one `ssh` client per session started under spawn on a local terminal.
//
// usage: ssh_bench library|client N PORT KEY KNOWN_HOSTS [USER]
// The remote command prints "number? ", reads a number and prints its square. Prints one line:
// wall and CPU seconds (this process and its reaped children), the resident memory of everything
// the driver started (its own growth since before the first session plus every ssh client's),
// taken when every session has shown its prompt, and how many exchanges gave the right answer.
//
// usage: ssh_bench shared|connections|master N PORT KEY KNOWN_HOSTS [USER]
// N short commands (`echo I`) one after the other, each read to its end with its exit status:
// as sessions of one shared ssh_connection, as N ssh_spawn connections, or as N `ssh` clients
// under spawn that share one ControlMaster connection. Prints wall and CPU seconds (the master,
// which leaves to the background, is not counted in the CPU) and how many commands were right.
#include <sys/resource.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "pexpect_custom/asio.hpp"
#include "pexpect_custom/pexpect_custom.hpp"

using namespace pexpect_custom;

namespace {

const char* const remote_command = "printf 'number? '; read n; echo \"square: $((n * n))\"";

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double cpu_seconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec) + static_cast<double>(usage.ru_utime.tv_usec) / 1e6 +
         static_cast<double>(usage.ru_stime.tv_sec) + static_cast<double>(usage.ru_stime.tv_usec) / 1e6;
}

// Resident memory of a process, from /proc/PID/status.
long rss_kib(const std::string& process) {
  std::ifstream in("/proc/" + process + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

// Every session holds a socket or a terminal (and a client's end notice): more than the usual
// soft limit of 1024 descriptors for hundreds of them.
void raise_descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

struct server_access {
  std::string port, key, known_hosts, user;
};

template <typename Session>
struct session {
  std::unique_ptr<Session> link;
  long index = 0;
  bool right = false;
};

const pattern_list prompt{"number? "};
const pattern_list answer{Regex("square: (\\d+)\r\n")};

template <typename Session>
asio::awaitable<void> exchange(session<Session>& s) {
  if (!s.link) co_return;  // its opening failed (reported)
  s.link->sendline(std::to_string(s.index));
  co_await async_expect(*s.link, answer, 300, asio::use_awaitable);
  s.right = s.link->group(1) == std::to_string(s.index * s.index);
  co_await async_wait_exit(*s.link, asio::use_awaitable);
  s.link->close();
}

template <typename Session>
asio::awaitable<void> reach_prompt(session<Session>& s) {
  if (!s.link) co_return;
  co_await async_expect_exact(*s.link, prompt, 300, asio::use_awaitable);
}

void report_failure(std::exception_ptr error) {
  if (!error) return;
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "%s\n", failure.what());
  }
}

template <typename Session, typename Step>
void drive(std::vector<session<Session>>& sessions, Step step) {
  asio::io_context io(1);
  for (auto& s : sessions) asio::co_spawn(io, step(s), report_failure);
  io.run();
}

ssh_options library_options(const server_access& r) {
  ssh_options options;
  options.host = "127.0.0.1";
  options.port = std::atoi(r.port.c_str());
  options.user = r.user;
  options.identity_files = {r.key};
  options.use_agent = false;
  options.known_hosts = r.known_hosts;
  options.command = remote_command;
  options.timeout = 300;
  options.delaybeforesend = 0;
  options.delayafterread = 0;
  options.connect_timeout = 300;
  return options;
}

template <typename Session>
asio::awaitable<void> connect_library(session<Session>& s, const ssh_options& options) {
  s.link = co_await async_ssh_connect(co_await asio::this_coro::executor, options, asio::use_awaitable);
}

// The arguments of an `ssh` client to the server: `terminal` is -tt or -T, `extra` more options.
std::vector<std::string> client_args(const server_access& r, const char* terminal,
                                     const std::vector<std::string>& extra = {}) {
  std::vector<std::string> args{terminal,
                                "-F",
                                "/dev/null",
                                "-o",
                                "BatchMode=yes",
                                "-o",
                                "StrictHostKeyChecking=yes",
                                "-o",
                                "UserKnownHostsFile=" + r.known_hosts,
                                "-o",
                                "GlobalKnownHostsFile=/dev/null",
                                "-o",
                                "IdentitiesOnly=yes"};
  args.insert(args.end(), extra.begin(), extra.end());
  args.insert(args.end(), {"-i", r.key, "-p", r.port, r.user + "@127.0.0.1"});
  return args;
}

std::unique_ptr<spawn> start_client(const server_access& r) {
  std::vector<std::string> args = client_args(r, "-tt");
  args.push_back(remote_command);
  return std::make_unique<spawn>("ssh", args,
                                 spawn_options{.timeout = 300,
                                               .delaybeforesend = 0,
                                               .delayafterclose = 0,
                                               .delayafterterminate = 0,
                                               .delayafterread = 0,
                                               .wait_for_exec = false});
}

// `start` opens every session; the library's opens them side by side on the event loop.
// `children_rss` sums the resident memory of the processes the sessions started.
template <typename Session, typename Start, typename ChildrenMemory>
void measure(const char* mode, int count, Start start, ChildrenMemory children_rss) {
  const long rss_before = rss_kib("self");
  const double wall_start = now();
  const double cpu_start = cpu_seconds(RUSAGE_SELF) + cpu_seconds(RUSAGE_CHILDREN);
  std::vector<session<Session>> sessions(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) sessions[static_cast<std::size_t>(i)].index = i;
  start(sessions);
  drive(sessions, [](session<Session>& s) { return reach_prompt(s); });
  const long memory_kib = rss_kib("self") - rss_before + children_rss(sessions);
  drive(sessions, [](session<Session>& s) { return exchange(s); });
  const double wall = now() - wall_start;
  const double cpu = cpu_seconds(RUSAGE_SELF) + cpu_seconds(RUSAGE_CHILDREN) - cpu_start;
  int right = 0;
  for (const auto& s : sessions) right += s.right ? 1 : 0;
  std::printf("mode=%s sessions=%d wall=%.3f cpu=%.3f rss_kib=%ld rss_per_session_kib=%.1f ok=%d\n", mode,
              count, wall, cpu, memory_kib, static_cast<double>(memory_kib) / count, right);
}

// One command to its end: its output must be its number, its exit status 0.
template <typename Session>
bool read_to_end(Session& session, int index) {
  session.expect(pattern_list{EOF_marker});
  session.close();  // collects the exit status
  return session.before && session.before->find(std::to_string(index)) == 0 && session.exitstatus == 0;
}

std::vector<std::string> master_options(const server_access& r, const std::string& control_path) {
  return client_args(
      r, "-T", {"-o", "ControlMaster=auto", "-o", "ControlPath=" + control_path, "-o", "ControlPersist=60"});
}

void measure_commands(const std::string& mode, int count, const server_access& r) {
  ssh_options options = library_options(r);
  options.pty = false;
  const ssh_session_options quick{
      .pty = false, .delaybeforesend = 0, .delayafterclose = 0, .delayafterread = 0};
  char folder[] = "/tmp/ssh_bench_XXXXXX";
  const std::string control_path = std::string(mkdtemp(folder)) + "/control";
  const double wall_start = now();
  const double cpu_start = cpu_seconds(RUSAGE_SELF) + cpu_seconds(RUSAGE_CHILDREN);
  int right = 0;
  std::optional<ssh_connection> connection;
  if (mode == "shared") connection.emplace(options);
  for (int i = 0; i < count; ++i) {
    const std::string command = "echo " + std::to_string(i);
    if (mode == "shared") {
      ssh_session_options session = quick;
      session.command = command;
      ssh_spawn remote(*connection, session);
      right += read_to_end(remote, i);
    } else if (mode == "connections") {
      options.command = command;
      ssh_spawn remote(options);
      right += read_to_end(remote, i);
    } else {
      std::vector<std::string> args = master_options(r, control_path);
      args.push_back(command);
      spawn client(
          "ssh", args,
          spawn_options{.timeout = 300, .delaybeforesend = 0, .delayafterclose = 0, .delayafterread = 0});
      right += read_to_end(client, i);
    }
  }
  connection.reset();
  const double wall = now() - wall_start;
  const double cpu = cpu_seconds(RUSAGE_SELF) + cpu_seconds(RUSAGE_CHILDREN) - cpu_start;
  if (mode == "master") {
    std::vector<std::string> args = master_options(r, control_path);
    args.insert(args.begin(), {"-O", "exit"});
    spawn stop("ssh", args);
    stop.expect(pattern_list{EOF_marker});
  }
  rmdir(folder);
  std::printf("mode=%s commands=%d wall=%.3f cpu=%.3f ok=%d\n", mode.c_str(), count, wall, cpu, right);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6 && argc != 7) {
    std::fprintf(stderr,
                 "usage: ssh_bench library|client|shared|connections|master N PORT KEY KNOWN_HOSTS [USER]\n");
    return 2;
  }
  const std::string mode = argv[1];
  const int count = std::atoi(argv[2]);
  const server_access r{argv[3], argv[4], argv[5], argc == 7 ? argv[6] : "root"};
  raise_descriptor_limit();
  if (mode == "shared" || mode == "connections" || mode == "master") {
    measure_commands(mode, count, r);
  } else if (mode == "library") {
    const ssh_options options = library_options(r);
    measure<ssh_spawn>(
        "library", count,
        [&options](std::vector<session<ssh_spawn>>& sessions) {
          drive(sessions, [&options](session<ssh_spawn>& s) { return connect_library(s, options); });
        },
        [](const std::vector<session<ssh_spawn>>&) { return 0L; });
  } else {
    measure<spawn>(
        "client", count,
        [&r](std::vector<session<spawn>>& sessions) {
          for (auto& s : sessions) s.link = start_client(r);
        },
        [](const std::vector<session<spawn>>& sessions) {
          long total = 0;
          for (const auto& s : sessions) total += rss_kib(std::to_string(*s.link->pid));
          return total;
        });
  }
  return 0;
}
