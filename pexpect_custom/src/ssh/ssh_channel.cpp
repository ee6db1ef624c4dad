// A session's channel on a connection that other channels may share: the callbacks that record
// the remote end and wake the session when another session's call took its data off the socket,
// and the descriptors its waits watch.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstring>

#include "ssh/ssh_connection.hpp"

namespace pexpect_custom::detail {

namespace {

// The signal names of the SSH protocol are the system's names without "SIG".
int signal_number(const char* name) {
  static constexpr std::pair<const char*, int> names[] = {
      {"ABRT", SIGABRT}, {"ALRM", SIGALRM}, {"FPE", SIGFPE},   {"HUP", SIGHUP},   {"ILL", SIGILL},
      {"INT", SIGINT},   {"KILL", SIGKILL}, {"PIPE", SIGPIPE}, {"QUIT", SIGQUIT}, {"SEGV", SIGSEGV},
      {"TERM", SIGTERM}, {"USR1", SIGUSR1}, {"USR2", SIGUSR2}, {"BUS", SIGBUS},   {"TRAP", SIGTRAP},
  };
  for (const auto& [text, number] : names) {
    if (name && std::strcmp(text, name) == 0) return number;
  }
  return 0;  // a signal this system has no number for
}

ssh_channel_link& link_of(void* user) {
  return *static_cast<ssh_channel_link*>(user);
}

// Wakes the session unless its own call is running, after which it looks at its buffers anyway.
void arrived(ssh_channel channel, void* user) {
  ssh_channel_link& link = link_of(user);
  if (link.connection->serving != channel) link.wake_up();
}

// The data stay in the channel's buffer (nothing is taken), where the session's reads find them.
int on_data(ssh_session, ssh_channel channel, void*, uint32_t, int, void* user) {
  arrived(channel, user);
  return 0;
}

void on_end(ssh_session, ssh_channel channel, void* user) {
  arrived(channel, user);
}

void on_exit_status(ssh_session, ssh_channel channel, int status, void* user) {
  link_of(user).exit_code = status;
  arrived(channel, user);
}

void on_exit_signal(ssh_session, ssh_channel channel, const char* signal, int, const char*, const char*,
                    void* user) {
  link_of(user).exit_signal = signal_number(signal);
  arrived(channel, user);
}

void watch_for_input(int epoll, int fd) {
  if (fd < 0) return;
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = fd;
  if (epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) != 0) throw_system_error();
}

}  // namespace

void watch_channel(ssh_channel_link& link) {
  ssh_callbacks_init(&link.callbacks);
  link.callbacks.userdata = &link;
  link.callbacks.channel_data_function = on_data;
  link.callbacks.channel_eof_function = on_end;
  link.callbacks.channel_close_function = on_end;
  link.callbacks.channel_exit_status_function = on_exit_status;
  link.callbacks.channel_exit_signal_function = on_exit_signal;
  ssh_set_channel_callbacks(link.channel.get(), &link.callbacks);
}

void ssh_channel_link::make_descriptors() {
  socket_copy.reset(fcntl(ssh_get_fd(session()), F_DUPFD_CLOEXEC, 0));
  wake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  notice.reset(epoll_create1(EPOLL_CLOEXEC));
  if (!socket_copy || !wake || !notice) throw_system_error();
  watch_for_input(notice.get(), wake.get());
  watch_for_input(notice.get(), connection->alive_check.timer_fd());
}

void ssh_channel_link::wake_up() noexcept {
  if (woken || !wake) return;
  const std::uint64_t one = 1;
  woken = ::write(wake.get(), &one, sizeof one) == sizeof one;
}

void ssh_channel_link::woke() noexcept {
  if (!woken) return;
  std::uint64_t count = 0;
  while (::read(wake.get(), &count, sizeof count) > 0) {
  }
  woken = false;
}

}  // namespace pexpect_custom::detail
