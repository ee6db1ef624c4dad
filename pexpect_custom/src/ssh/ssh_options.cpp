// The session fields shared by ssh_options and ssh_session_options, copied from one to the other.
#include "pexpect_custom/ssh_options.hpp"

#include "ssh/ssh_connection.hpp"

namespace pexpect_custom {

namespace {

template <typename To, typename From>
void copy_session_fields(To& to, const From& from) {
  to.command = from.command;
  to.pty = from.pty;
  to.merge_stderr = from.merge_stderr;
  to.dimensions = from.dimensions;
  to.term = from.term;
  to.env = from.env;
  to.timeout = from.timeout;
  to.maxread = from.maxread;
  to.searchwindowsize = from.searchwindowsize;
  to.logfile = from.logfile;
  to.logfile_read = from.logfile_read;
  to.logfile_send = from.logfile_send;
  to.ignorecase = from.ignorecase;
  to.screen = from.screen;
  to.delaybeforesend = from.delaybeforesend;
  to.delayafterclose = from.delayafterclose;
  to.delayafterterminate = from.delayafterterminate;
  to.delayafterread = from.delayafterread;
  to.recording = from.recording;
  to.strip_terminal_sequences = from.strip_terminal_sequences;
}

}  // namespace

ssh_session_options session_part(const ssh_options& options) {
  ssh_session_options session;
  copy_session_fields(session, options);
  return session;
}

namespace detail {

ssh_options with_session(ssh_options base, const ssh_session_options& session) {
  copy_session_fields(base, session);
  return base;
}

}  // namespace detail

}  // namespace pexpect_custom
