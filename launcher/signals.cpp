#include "signals.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

namespace launcher {

namespace {

// Read by the handler; written only before the handlers are installed or with them blocked.
volatile sig_atomic_t child_pid = 0;
termios saved_mode;
volatile sig_atomic_t have_saved_mode = 0;

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void pause_briefly() {
  timespec pause{0, 100'000'000};
  while (nanosleep(&pause, &pause) != 0) {
  }
}

// Asks the child to end as the library's terminate() would, then forces it.
void end_child() {
  pid_t pid = child_pid;
  if (pid <= 0) return;
  for (int sig : {SIGHUP, SIGCONT, SIGINT}) kill(pid, sig);
  pause_briefly();
  if (waitpid(pid, nullptr, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

void on_stop_signal(int sig) {
  if (have_saved_mode) {
    while (tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_mode) != 0 && errno == EINTR) {
    }
  }
  if (sig == SIGINT) {
    static const char message[] = "launcher: interrupted by SIGINT; the program was ended\n";
    ssize_t ignored = write(STDERR_FILENO, message, sizeof message - 1);
    (void)ignored;
  }
  end_child();
  if (sig == SIGINT) _exit(1);
  signal(sig, SIG_DFL);
  sigset_t just_this;
  sigemptyset(&just_this);
  sigaddset(&just_this, sig);
  sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
  raise(sig);
  _exit(128 + sig);
}

sigset_t stop_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : stop_signals) sigaddset(&set, sig);
  return set;
}

}  // namespace

void set_own_dispositions() {
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_DFL;
  sigaction(SIGCHLD, &action, nullptr);
  action.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &action, nullptr);
}

void guard_relay(pid_t child) {
  sigset_t blocked = stop_set();
  sigset_t previous;
  sigprocmask(SIG_BLOCK, &blocked, &previous);
  child_pid = child;
  have_saved_mode = tcgetattr(STDIN_FILENO, &saved_mode) == 0;
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  action.sa_mask = blocked;
  for (int sig : stop_signals) {
    // A signal the launcher was started with ignored (a background job, nohup) stays ignored.
    struct sigaction current {};
    if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    sigaction(sig, &action, nullptr);
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

void forget_child() {
  sigset_t blocked = stop_set();
  sigset_t previous;
  sigprocmask(SIG_BLOCK, &blocked, &previous);
  child_pid = 0;
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace launcher
