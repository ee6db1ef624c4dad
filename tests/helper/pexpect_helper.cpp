// A small child program for the tests: each mode prints what the program sees or behaves in one
// particular way. Modes that take a following mode ("ignore 1,2 sleep 100") chain into it.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

using args_t = std::vector<std::string>;

void write_all(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) std::exit(3);
    done += static_cast<std::size_t>(n);
  }
}

void out(const std::string& line) {
  write_all(1, line + "\n");
}

std::string open_fds() {
  std::string list;
  DIR* dir = opendir("/proc/self/fd");
  int own = dirfd(dir);
  std::vector<int> fds;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    int fd = std::atoi(entry->d_name);
    if (fd != own) fds.push_back(fd);
  }
  closedir(dir);
  std::sort(fds.begin(), fds.end());
  for (int fd : fds) list += (list.empty() ? "" : " ") + std::to_string(fd);
  return list;
}

std::string signal_state() {
  sigset_t blocked;
  sigprocmask(SIG_SETMASK, nullptr, &blocked);
  std::string blocked_list, ignored_list, handled_list;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigismember(&blocked, sig) == 1) blocked_list += " " + std::to_string(sig);
    struct sigaction action {};
    if (sigaction(sig, nullptr, &action) != 0) continue;
    if (action.sa_handler == SIG_IGN)
      ignored_list += " " + std::to_string(sig);
    else if (action.sa_handler != SIG_DFL)
      handled_list += " " + std::to_string(sig);
  }
  return "blocked:" + blocked_list + "\nignored:" + ignored_list + "\nhandled:" + handled_list;
}

void report(const std::string& what, const args_t& argv_seen) {
  if (what == "argv") {
    for (const auto& arg : argv_seen) out("argv: " + arg);
  } else if (what == "env") {
    for (char** e = environ; *e; ++e) out(std::string("env: ") + *e);
    out("env-end");
  } else if (what == "cwd") {
    char buf[4096];
    out(std::string("cwd: ") + (getcwd(buf, sizeof buf) ? buf : "?"));
  } else if (what == "fds") {
    out("fds: " + open_fds());
  } else if (what == "signals") {
    out(signal_state());
  } else if (what == "winsize") {
    winsize size{};
    ioctl(0, TIOCGWINSZ, &size);
    out("winsize: " + std::to_string(size.ws_row) + " " + std::to_string(size.ws_col));
  } else if (what == "tty") {
    const char* name = ttyname(0);
    out(std::string("tty: ") + (name ? name : "none"));
  } else if (what == "parent") {  // the name of the process that started this one
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(getppid()));
    std::string name;
    if (FILE* comm = std::fopen(path, "r")) {
      char buf[64] = {};
      if (std::fgets(buf, sizeof buf, comm)) name = buf;
      std::fclose(comm);
    }
    if (!name.empty() && name.back() == '\n') name.pop_back();
    out("parent: " + name);
  } else if (what == "pgrp") {
    out("sid: " + std::to_string(getsid(0)) + " pid: " + std::to_string(getpid()) +
        " tcpgrp: " + std::to_string(tcgetpgrp(0)));
  } else {
    out("unknown report " + what);
  }
}

std::string read_line_from_stdin() {
  std::string line;
  char c;
  while (::read(0, &c, 1) == 1 && c != '\n') {
    if (c != '\r') line += c;
  }
  return line;
}

int run_mode(const args_t& a, std::size_t i, const args_t& argv_seen);

int ignore_signals(const args_t& a, std::size_t i, const args_t& argv_seen) {
  std::string list = a.at(i);
  for (std::size_t pos = 0; pos < list.size();) {
    std::size_t comma = list.find(',', pos);
    signal(std::atoi(list.substr(pos, comma - pos).c_str()), SIG_IGN);
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return run_mode(a, i + 1, argv_seen);
}

int login() {
  write_all(1, "Name: ");
  std::string user = read_line_from_stdin();
  termios mode{};
  tcgetattr(0, &mode);
  termios quiet = mode;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  tcsetattr(0, TCSANOW, &quiet);
  write_all(1, "Password: ");
  std::string password = read_line_from_stdin();
  tcsetattr(0, TCSANOW, &mode);
  write_all(1, "\n");
  if (password == "secret")
    out("Welcome, " + user + "!");
  else
    out("Access denied");
  return password == "secret" ? 0 : 1;
}

// Floods `total` bytes of numbered lines while taking input lines, until a line "end" has come
// after the flood; then reports how many lines and bytes of input arrived and their sum.
int chatter(long total) {
  std::string flood;
  for (long line = 0; static_cast<long>(flood.size()) < total; ++line) flood += std::to_string(line) + "\n";
  flood.resize(static_cast<std::size_t>(total));
  // Descriptors 0 and 1 share one open terminal, so both become non-blocking here.
  const int flags = fcntl(0, F_GETFL);
  fcntl(0, F_SETFL, flags | O_NONBLOCK);
  std::size_t sent = 0;
  long lines = 0, bytes = 0, sum = 0;
  std::string partial;
  bool ended = false;
  while (!ended || sent < flood.size()) {
    pollfd fds[2] = {{0, POLLIN, 0}, {1, static_cast<short>(sent < flood.size() ? POLLOUT : 0), 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      char buf[4096];
      ssize_t n = ::read(0, buf, sizeof buf);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return 1;  // the terminal went
      for (ssize_t k = 0; k < n; ++k) {
        if (buf[k] != '\n') {
          partial += buf[k];
          continue;
        }
        if (partial == "end") {
          ended = true;
        } else {
          ++lines;
          bytes += static_cast<long>(partial.size());
          for (char c : partial) sum += static_cast<unsigned char>(c);
        }
        partial.clear();
      }
    }
    if (sent < flood.size() && (fds[1].revents & POLLOUT)) {
      std::size_t piece = std::min<std::size_t>(512, flood.size() - sent);
      ssize_t n = ::write(1, flood.data() + sent, piece);
      if (n < 0 && errno != EAGAIN && errno != EINTR) return 1;
      if (n > 0) sent += static_cast<std::size_t>(n);
    }
  }
  fcntl(0, F_SETFL, flags);
  out("received " + std::to_string(lines) + " " + std::to_string(bytes) + " " + std::to_string(sum));
  return 0;
}

// Has a process of its own attach to this one as its tracer, as a debugger or a leak checker
// would, and stay attached for `linger` seconds without ever waiting for it: signals stop this
// process meanwhile, and its end, when it comes, is held back from its parent until the tracer
// goes. Prints "tracer <pid>", or "untraceable" where tracing is not allowed.
int traced(double linger, const args_t& a, std::size_t next, const args_t& argv_seen) {
  const pid_t tracee = getpid();
  int ready[2];
  if (pipe(ready) != 0) return 1;
  prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);  // where tracing needs the tracee's consent
  const pid_t tracer = fork();
  if (tracer == 0) {
    ::close(ready[0]);
    char answer = ptrace(PTRACE_SEIZE, tracee, nullptr, nullptr) == 0 ? 'y' : 'n';
    ssize_t ignored = ::write(ready[1], &answer, 1);
    (void)ignored;
    timespec ts{static_cast<time_t>(linger), static_cast<long>((linger - static_cast<time_t>(linger)) * 1e9)};
    while (answer == 'y' && nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
    _exit(0);
  }
  ::close(ready[1]);
  char answer = 'n';
  while (::read(ready[0], &answer, 1) < 0 && errno == EINTR) {
  }
  ::close(ready[0]);
  if (answer != 'y') {
    out("untraceable");
    return 0;
  }
  out("tracer " + std::to_string(tracer));
  return run_mode(a, next, argv_seen);
}

int run_mode(const args_t& a, std::size_t i, const args_t& argv_seen) {
  if (i >= a.size()) return 0;
  const std::string& mode = a[i];
  if (mode == "report") {
    for (std::size_t k = i + 1; k < a.size(); ++k) report(a[k], argv_seen);
    return 0;
  }
  if (mode == "exit") return std::atoi(a.at(i + 1).c_str());
  if (mode == "sleep") {
    double seconds = std::atof(a.at(i + 1).c_str());
    timespec ts{static_cast<time_t>(seconds),
                static_cast<long>((seconds - static_cast<time_t>(seconds)) * 1e9)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
    return run_mode(a, i + 2, argv_seen);
  }
  if (mode == "pause") {  // sleep until a signal ends the process, for ever
    while (true) pause();
  }
  if (mode == "signal") {
    signal(std::atoi(a.at(i + 1).c_str()), SIG_DFL);
    raise(std::atoi(a.at(i + 1).c_str()));
    return 0;
  }
  if (mode == "ignore") return ignore_signals(a, i + 1, argv_seen);
  if (mode == "print") {  // the text as given, no line feed added
    write_all(1, a.at(i + 1));
    return run_mode(a, i + 2, argv_seen);
  }
  if (mode == "println") {
    out(a.at(i + 1));
    return run_mode(a, i + 2, argv_seen);
  }
  if (mode == "trickle") {  // one byte per write
    for (char c : a.at(i + 1)) {
      write_all(1, std::string(1, c));
      usleep(2000);
    }
    return run_mode(a, i + 2, argv_seen);
  }
  if (mode == "flood") {  // N bytes of numbered lines
    long total = std::atol(a.at(i + 1).c_str());
    std::string chunk;
    for (long line = 0; static_cast<long>(chunk.size()) < total; ++line) chunk += std::to_string(line) + "\n";
    chunk.resize(static_cast<std::size_t>(total));
    write_all(1, chunk);
    return run_mode(a, i + 2, argv_seen);
  }
  if (mode == "bytes") {  // all 256 byte values, in order
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    write_all(1, all);
    return run_mode(a, i + 1, argv_seen);
  }
  if (mode == "cat") {  // copy standard input to standard output until end of file
    char buf[4096];
    ssize_t n;
    while ((n = ::read(0, buf, sizeof buf)) != 0) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      write_all(1, std::string(buf, static_cast<std::size_t>(n)));
    }
    return run_mode(a, i + 1, argv_seen);
  }
  if (mode == "pollcat") {  // like cat, waiting in poll() before each read
    pollfd input{0, POLLIN, 0};
    char buf[4096];
    for (ssize_t n = 1; n > 0;) {
      if (poll(&input, 1, -1) < 0 && errno != EINTR) break;
      n = ::read(0, buf, sizeof buf);
      if (n > 0) write_all(1, std::string(buf, static_cast<std::size_t>(n)));
    }
    return run_mode(a, i + 1, argv_seen);
  }
  if (mode == "readline") {  // read one line and print it back in brackets
    out("[" + read_line_from_stdin() + "]");
    return run_mode(a, i + 1, argv_seen);
  }
  if (mode == "detach") {  // let go of the terminal and keep running
    int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    if (null_fd > 2) close(null_fd);
    return run_mode(a, i + 1, argv_seen);
  }
  if (mode == "noecho") {  // switch the terminal's echo off
    termios mode_now{};
    tcgetattr(0, &mode_now);
    mode_now.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(0, TCSANOW, &mode_now);
    return run_mode(a, i + 1, argv_seen);
  }
  if (mode == "noechoflush") {  // switch echo off, dropping input not yet read, as password prompts do
    termios mode_now{};
    tcgetattr(0, &mode_now);
    mode_now.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(0, TCSAFLUSH, &mode_now);
    return run_mode(a, i + 1, argv_seen);
  }
  if (mode == "pollsleep") {  // sleep S seconds in poll() with no descriptor
    poll(nullptr, 0, static_cast<int>(std::atof(a.at(i + 1).c_str()) * 1000));
    return run_mode(a, i + 2, argv_seen);
  }
  if (mode == "sizes") {  // for every line read, print the terminal's size
    for (char c; ::read(0, &c, 1) == 1;) {
      if (c == '\n' || c == '\r') report("winsize", argv_seen);
    }
    return 0;
  }
  if (mode == "login") return login();
  if (mode == "raw") {  // the terminal passes bytes unchanged both ways, without echo
    termios mode_now{};
    tcgetattr(0, &mode_now);
    cfmakeraw(&mode_now);
    tcsetattr(0, TCSANOW, &mode_now);
    return run_mode(a, i + 1, argv_seen);
  }
  if (mode == "hexin") {  // read N bytes, print them as two hex digits each
    long wanted = std::atol(a.at(i + 1).c_str());
    std::string hex;
    for (long got = 0; got < wanted;) {
      unsigned char c;
      ssize_t n = ::read(0, &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      char digits[3];
      std::snprintf(digits, sizeof digits, "%02x", c);
      hex += digits;
      ++got;
    }
    out("hex: " + hex);
    return run_mode(a, i + 2, argv_seen);
  }
  if (mode == "stop") {  // stop this process; it goes on when continued
    raise(SIGSTOP);
    return run_mode(a, i + 1, argv_seen);
  }
  if (mode == "holder") {  // leave a grandchild holding the terminal for S seconds
    // Like a daemon it ignores the hang-up that this process's end sends to its process group;
    // ignored before the fork, so that the end cannot come first.
    auto previous = signal(SIGHUP, SIG_IGN);
    pid_t grandchild = fork();
    if (grandchild != 0) signal(SIGHUP, previous);
    if (grandchild == 0) {
      double seconds = std::atof(a.at(i + 1).c_str());
      timespec ts{static_cast<time_t>(seconds), 0};
      while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
      }
      _exit(0);
    }
    out("grandchild " + std::to_string(grandchild));
    return run_mode(a, i + 2, argv_seen);
  }
  if (mode == "babbler") {  // leave a grandchild writing to the terminal until writing fails
    int started[2];
    if (pipe(started) != 0) return 2;
    if (fork() == 0) {
      signal(SIGHUP, SIG_IGN);  // outlives the end of the session, as a nohup'd job would
      std::string block;
      while (block.size() < 4096) block += "babble\n";
      // The parent goes once the terminal is full: a slow relay is then still showing it.
      for (int blocks = 0; blocks < 16; ++blocks) write_all(1, block);
      close(started[1]);
      while (true) write_all(1, block);
    }
    close(started[1]);
    char ignored;
    while (read(started[0], &ignored, 1) < 0 && errno == EINTR) {
    }
    close(started[0]);
    return run_mode(a, i + 1, argv_seen);
  }
  if (mode == "chatter") return chatter(std::atol(a.at(i + 1).c_str()));
  if (mode == "traced") return traced(std::atof(a.at(i + 1).c_str()), a, i + 2, argv_seen);
  out("unknown mode " + mode);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  args_t argv_seen(argv, argv + argc);
  args_t modes(argv + 1, argv + argc);
  return run_mode(modes, 0, argv_seen);
}
