// What the opening of a remote session needs besides its order of steps: the session's settings,
// the host key check against the known-hosts file, keyboard-interactive answers and the messages.
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "ssh/ssh_connection.hpp"

namespace pexpect_custom::detail {

namespace {

template <typename Value>
void set_option(ssh_session session, ssh_options_e option, const Value* value, const char* what) {
  if (ssh_options_set(session, option, value) != SSH_OK) fail(std::string("cannot set the ") + what);
}

// "SHA256:..." of the key the server offered.
std::string offered_fingerprint(ssh_session session) {
  ssh_key key = nullptr;
  if (ssh_get_server_publickey(session, &key) != SSH_OK) return "(no key offered)";
  unsigned char* hash = nullptr;
  std::size_t length = 0;
  std::string text = "(no fingerprint)";
  if (ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &length) == 0) {
    if (char* printed = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, length)) {
      text = printed;
      ssh_string_free_char(printed);
    }
    ssh_clean_pubkey_hash(&hash);
  }
  ssh_key_free(key);
  return text;
}

bool lowered_equal(const std::string& text, const char* word) {
  return strcasecmp(text.c_str(), word) == 0;
}

std::string offered_methods(int methods) {
  std::string text;
  auto add = [&text](const char* name) { text += (text.empty() ? "" : ", ") + std::string(name); };
  if (methods & SSH_AUTH_METHOD_PUBLICKEY) add("publickey");
  if (methods & SSH_AUTH_METHOD_PASSWORD) add("password");
  if (methods & SSH_AUTH_METHOD_INTERACTIVE) add("keyboard-interactive");
  if (methods & SSH_AUTH_METHOD_GSSAPI_MIC) add("gssapi-with-mic");
  if (methods & SSH_AUTH_METHOD_HOSTBASED) add("hostbased");
  return text.empty() ? "none" : text;
}

}  // namespace

std::string error_text(ssh_session session) {
  const char* text = ssh_get_error(session);
  return text && *text ? text : "unknown error";
}

std::string where(const ssh_options& options) {
  return options.host + " port " + std::to_string(options.port.value_or(22));
}

void fail(const std::string& message) {
  throw ExceptionPexpect("ssh: " + message);
}

namespace {

std::string text_option(ssh_session session, ssh_options_e option) {
  char* value = nullptr;
  if (ssh_options_get(session, option, &value) != SSH_OK || value == nullptr) return {};
  std::string text = value;
  ssh_string_free_char(value);
  return text;
}

// A proxy command would be another program started on the caller's behalf: refused before
// anything is sent. A `ProxyJump`, which libssh's parser turns into such a command, is followed
// here instead (settled.proxy_jump), so libssh's command is cleared either way.
std::string settle_proxy(ssh_session session, const std::string& file, const ssh_options& options,
                         const config_extras& extras) {
  const std::string proxy = text_option(session, SSH_OPTIONS_PROXYCOMMAND);
  set_option(session, SSH_OPTIONS_PROXYCOMMAND, "none", "proxy command");
  if (!options.proxy_jump.empty() || !extras.proxy) return options.proxy_jump;
  const auto& [keyword, value] = *extras.proxy;
  if (keyword == "proxyjump") return value;
  if (proxy.empty() || lowered_equal(proxy, "none")) return {};
  fail("the configuration " + file + " gives " + options.host + " a ProxyCommand (\"" + proxy +
       "\"); remote sessions start no other program, so it is refused");
}

// Unknown hosts may be added when the configuration says so; a changed key is refused whatever
// it says, `StrictHostKeyChecking no` included.
bool configuration_accepts_new_keys(const std::optional<std::string>& strict) {
  return strict && (*strict == "accept-new" || *strict == "no" || *strict == "off");
}

settled_options read_configuration(ssh_session session, const ssh_options& options) {
  settled_options settled;
  settled.host = options.host;
  settled.identity_files = options.identity_files;
  settled.accept_new_host_key = options.accept_new_host_key;
  settled.proxy_jump = options.proxy_jump;
  if (options.config_file.empty()) return settled;
  const std::string file = expand_path(options.config_file, options.host, options.user);
  if (access(file.c_str(), F_OK) != 0) return settled;
  if (ssh_options_parse_config(session, file.c_str()) != SSH_OK) {
    fail("cannot read the configuration " + file + ": " + error_text(session));
  }
  const config_extras extras = read_config_extras(file, options.host);
  settled.proxy_jump = settle_proxy(session, file, options, extras);
  // libssh takes `StrictHostKeyChecking no` as leave to report every key as known, a changed one
  // included; the check here decides alone (check_host_key), so libssh's own stays strict.
  const int strict = 1;
  set_option(session, SSH_OPTIONS_STRICTHOSTKEYCHECK, &strict, "host key checking");
  settled.host = text_option(session, SSH_OPTIONS_HOST);
  if (settled.identity_files.empty()) {
    const std::string user = options.user.empty() ? text_option(session, SSH_OPTIONS_USER) : options.user;
    for (const std::string& path : extras.identity_files)
      settled.identity_files.push_back(expand_path(path, settled.host, user));
  }
  settled.accept_new_host_key =
      options.accept_new_host_key || configuration_accepts_new_keys(extras.strict_host_key_checking);
  if (extras.connect_timeout) settled.connect_timeout = *extras.connect_timeout;
  return settled;
}

void set_algorithms(ssh_session session, const ssh_options& options) {
  const std::pair<ssh_options_e, const std::string*> lists[] = {
      {SSH_OPTIONS_KEY_EXCHANGE, &options.key_exchanges},
      {SSH_OPTIONS_HOSTKEYS, &options.host_key_types},
      {SSH_OPTIONS_CIPHERS_C_S, &options.ciphers},
      {SSH_OPTIONS_CIPHERS_S_C, &options.ciphers},
      {SSH_OPTIONS_HMAC_C_S, &options.macs},
      {SSH_OPTIONS_HMAC_S_C, &options.macs},
  };
  for (const auto& [option, list] : lists) {
    if (list->empty()) continue;
    if (ssh_options_set(session, option, list->c_str()) != SSH_OK) {
      fail("cannot use the algorithms \"" + *list + "\": " + error_text(session));
    }
  }
}

}  // namespace

void check_session_fields(const ssh_options& options) {
  if (options.screen && !options.pty) {
    throw std::invalid_argument("ssh_spawn: a screen needs the remote terminal (screen with pty = false)");
  }
}

settled_options configure(ssh_session session, const ssh_options& options) {
  check_session_fields(options);
  // Only the named configuration file is read, and only here: libssh is told not to read the
  // user's and the system's files on its own when it connects.
  const bool no = false;
  set_option(session, SSH_OPTIONS_PROCESS_CONFIG, &no, "configuration processing");
  set_option(session, SSH_OPTIONS_HOST, options.host.c_str(), "host");
  settled_options settled = read_configuration(session, options);
  // What the caller gave overrides the configuration.
  if (options.port) {
    const unsigned int port = static_cast<unsigned int>(*options.port);
    set_option(session, SSH_OPTIONS_PORT, &port, "port");
  }
  unsigned int port = 22;
  if (ssh_options_get_port(session, &port) == SSH_OK) settled.port = static_cast<int>(port);
  // Small packets (a typed line, a prompt, each step of the handshake) go out at once instead of
  // waiting for the acknowledgement of the one before.
  const int nodelay = 1;
  set_option(session, SSH_OPTIONS_NODELAY, &nodelay, "immediate sending");
  if (!options.user.empty()) set_option(session, SSH_OPTIONS_USER, options.user.c_str(), "user");
  if (!options.known_hosts.empty()) {
    set_option(session, SSH_OPTIONS_KNOWNHOSTS, options.known_hosts.c_str(), "known-hosts file");
  }
  set_algorithms(session, options);
  if (options.connect_timeout >= 0) settled.connect_timeout = options.connect_timeout;
  set_wait_limit(session, settled.connect_timeout);
  if (lowered_equal(settled.proxy_jump, "none")) settled.proxy_jump.clear();
  return settled;
}

void set_wait_limit(ssh_session session, double seconds) {
  const double limit = seconds > 0.001 ? std::min(seconds, 1e9) : 0.001;
  const long whole = static_cast<long>(limit);
  const long microseconds = static_cast<long>((limit - static_cast<double>(whole)) * 1e6);
  set_option(session, SSH_OPTIONS_TIMEOUT, &whole, "connection time-out");
  set_option(session, SSH_OPTIONS_TIMEOUT_USEC, &microseconds, "connection time-out");
}

void check_host_key(ssh_session session, const ssh_options& options) {
  const std::string host_key = "the host key of " + where(options);
  switch (ssh_session_is_known_server(session)) {
    case SSH_KNOWN_HOSTS_OK:
      return;
    case SSH_KNOWN_HOSTS_CHANGED:
      fail(host_key + " has changed: the server offers " + offered_fingerprint(session) +
           ", which differs from the key on file; refused");
    case SSH_KNOWN_HOSTS_OTHER:
      fail(host_key + " is of another type than the one on file: the server offers " +
           offered_fingerprint(session) + "; refused");
    case SSH_KNOWN_HOSTS_UNKNOWN:
    case SSH_KNOWN_HOSTS_NOT_FOUND:
      if (!options.accept_new_host_key) {
        fail(host_key + " is unknown: the server offers " + offered_fingerprint(session) +
             "; refused (accept_new_host_key adds a new host's key)");
      }
      if (ssh_session_update_known_hosts(session) != SSH_OK) {
        fail("cannot add " + host_key + " to the known-hosts file: " + error_text(session));
      }
      return;
    case SSH_KNOWN_HOSTS_ERROR:
      break;
  }
  fail("cannot check " + host_key + ": " + error_text(session));
}

// Answers come from the caller's function, or else every hidden prompt is answered with the
// password. False when libssh refuses an answer.
bool answer_prompts(ssh_session session, const ssh_options& options) {
  const int count = ssh_userauth_kbdint_getnprompts(session);
  for (int i = 0; i < count; ++i) {
    ssh_prompt prompt;
    prompt.name = ssh_userauth_kbdint_getname(session);
    prompt.instruction = ssh_userauth_kbdint_getinstruction(session);
    char echo = 0;
    prompt.prompt = ssh_userauth_kbdint_getprompt(session, static_cast<unsigned>(i), &echo);
    prompt.echo = echo != 0;
    const std::string answer =
        options.answer ? options.answer(prompt) : (prompt.echo ? std::string() : *options.password);
    if (ssh_userauth_kbdint_setanswer(session, static_cast<unsigned>(i), answer.c_str()) < 0) return false;
  }
  return true;
}

std::string authentication_failure(ssh_session session, const ssh_options& options, int methods,
                                   const std::vector<std::string>& tried) {
  std::string list;
  for (const std::string& method : tried) list += (list.empty() ? "" : ", ") + method;
  char* user = nullptr;
  std::string user_text = "the user";
  if (ssh_options_get(session, SSH_OPTIONS_USER, &user) == SSH_OK) {
    user_text = user;
    ssh_string_free_char(user);
  }
  return "authentication as " + user_text + " on " + where(options) +
         " failed; tried: " + (list.empty() ? "nothing the server accepts" : list) +
         "; the server accepts: " + offered_methods(methods);
}

}  // namespace pexpect_custom::detail
