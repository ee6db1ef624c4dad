#pragma once
// What an ssh_spawn holds of libssh: the session, its one channel, and the remote end's state as
// the channel's callbacks report it. Internal: no public header includes libssh.

#include <libssh/callbacks.h>
#include <libssh/libssh.h>

#include <memory>
#include <optional>
#include <string>

#include "pexpect_custom/ssh_spawn.hpp"

namespace pexpect_custom {

namespace detail {

struct session_closer {
  void operator()(ssh_session session) const noexcept {
    if (ssh_is_connected(session)) ssh_disconnect(session);
    ssh_free(session);
  }
};

struct channel_closer {
  void operator()(ssh_channel channel) const noexcept {
    if (ssh_channel_is_open(channel)) ssh_channel_close(channel);
    ssh_channel_free(channel);
  }
};

using session_handle = std::unique_ptr<ssh_session_struct, session_closer>;
using channel_handle = std::unique_ptr<ssh_channel_struct, channel_closer>;

/// The libssh error text of `session`.
std::string error_text(ssh_session session);

/// Connects, checks the host key and authenticates, as `options` ask; throws ExceptionPexpect or
/// TIMEOUT naming what failed. The session returned is connected and authenticated.
session_handle open_session(const ssh_options& options);

// The channel, declared after the session, is freed before it.
struct ssh_connection {
  session_handle session;
  channel_handle channel;
  ssh_channel_callbacks_struct callbacks{};
  std::optional<int> exit_code;
  std::optional<int> exit_signal;
};

}  // namespace detail

}  // namespace pexpect_custom
