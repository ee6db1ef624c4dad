#include "test_support.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace test_support {

std::set<int> open_fds() {
  std::set<int> fds;
  DIR* dir = opendir("/proc/self/fd");
  int own = dirfd(dir);
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    int fd = std::atoi(entry->d_name);
    if (fd != own) fds.insert(fd);
  }
  closedir(dir);
  return fds;
}

std::vector<pid_t> zombie_children() {
  std::vector<pid_t> zombies;
  const pid_t self = getpid();
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat_file(entry.path() / "stat");
    std::string stat_line;
    if (!std::getline(stat_file, stat_line)) continue;
    auto close_paren = stat_line.rfind(')');
    if (close_paren == std::string::npos) continue;
    char state = 0;
    long parent = 0;
    if (std::sscanf(stat_line.c_str() + close_paren + 1, " %c %ld", &state, &parent) != 2) continue;
    if (parent == self && state == 'Z') zombies.push_back(static_cast<pid_t>(std::stol(name)));
  }
  return zombies;
}

bool process_exists(pid_t pid) {
  return ::kill(pid, 0) == 0 || errno != ESRCH;
}

bool eventually(const std::function<bool()>& condition, double seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

namespace {
bool reports_unreaped(pid_t pid, int kind) {
  return eventually([pid, kind] {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, kind | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
  });
}
}  // namespace

bool ended_unreaped(pid_t pid) {
  return reports_unreaped(pid, WEXITED);
}
bool stopped_unreaped(pid_t pid) {
  return reports_unreaped(pid, WSTOPPED);
}

temp_dir::temp_dir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "pexpect-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

temp_dir::~temp_dir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::string temp_dir::write_file(const std::string& name, const std::string& content, int mode) const {
  std::string full = path_ + "/" + name;
  std::ofstream(full, std::ios::binary) << content;
  ::chmod(full.c_str(), static_cast<mode_t>(mode));
  return full;
}

cwd_guard::cwd_guard() : saved_(std::filesystem::current_path()) {}
cwd_guard::~cwd_guard() {
  std::error_code ignored;
  std::filesystem::current_path(saved_, ignored);
}

process_result run_process(const std::vector<std::string>& argv, const std::string& input,
                           const std::vector<std::string>* env) {
  int out_pipe[2];
  int in_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(in_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  std::vector<char*> c_argv;
  for (const auto& a : argv) c_argv.push_back(const_cast<char*>(a.c_str()));
  c_argv.push_back(nullptr);
  std::vector<char*> c_env;
  if (env) {
    for (const auto& e : *env) c_env.push_back(const_cast<char*>(e.c_str()));
    c_env.push_back(nullptr);
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(out_pipe[1], 2);
    if (env)
      execve(c_argv[0], c_argv.data(), c_env.data());
    else
      execv(c_argv[0], c_argv.data());
    _exit(127);
  }
  ::close(out_pipe[1]);
  ::close(in_pipe[0]);
  std::thread feeder([&] {
    std::size_t done = 0;
    while (done < input.size()) {
      ssize_t n = ::write(in_pipe[1], input.data() + done, input.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::close(in_pipe[1]);
  });
  process_result result;
  char buf[65536];
  ssize_t n;
  while ((n = ::read(out_pipe[0], buf, sizeof buf)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    result.output.append(buf, static_cast<std::size_t>(n));
  }
  ::close(out_pipe[0]);
  feeder.join();
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
  return result;
}

}  // namespace test_support
