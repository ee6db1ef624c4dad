#include "standard_fds.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

namespace launcher {

bool fill_closed_standard_fds() {
  bool output_closed = false;
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (fd == STDOUT_FILENO) output_closed = true;
    // open takes the lowest free number, `fd` itself (every lower one is open by now), and it
    // stays open for the life of the process.
    int opened = open("/dev/null", O_RDWR);
    (void)opened;
  }
  return output_closed;
}

}  // namespace launcher
