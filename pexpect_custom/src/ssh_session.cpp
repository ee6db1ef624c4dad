// Reaching a remote host: connection, host key check against the known-hosts file, and
// authentication by key file, agent, password or keyboard-interactive answers.
#include <cstdlib>
#include <string>
#include <vector>

#include "clock.hpp"
#include "ssh_connection.hpp"

namespace pexpect_custom::detail {

namespace {

std::string where(const ssh_options& options) {
  return options.host + " port " + std::to_string(options.port);
}

[[noreturn]] void fail(const std::string& message) {
  throw ExceptionPexpect("ssh: " + message);
}

template <typename Value>
void set_option(ssh_session session, ssh_options_e option, const Value* value, const char* what) {
  if (ssh_options_set(session, option, value) != SSH_OK) fail(std::string("cannot set the ") + what);
}

void configure(ssh_session session, const ssh_options& options) {
  // Only what the caller gave counts: the user's and the system's SSH configuration files are
  // not read, so a session behaves the same on every machine.
  const bool no = false;
  set_option(session, SSH_OPTIONS_PROCESS_CONFIG, &no, "configuration processing");
  set_option(session, SSH_OPTIONS_HOST, options.host.c_str(), "host");
  const unsigned int port = static_cast<unsigned int>(options.port);
  set_option(session, SSH_OPTIONS_PORT, &port, "port");
  // Small packets (a typed line, a prompt, each step of the handshake) go out at once instead of
  // waiting for the acknowledgement of the one before.
  const int nodelay = 1;
  set_option(session, SSH_OPTIONS_NODELAY, &nodelay, "immediate sending");
  if (!options.user.empty()) set_option(session, SSH_OPTIONS_USER, options.user.c_str(), "user");
  if (!options.known_hosts.empty()) {
    set_option(session, SSH_OPTIONS_KNOWNHOSTS, options.known_hosts.c_str(), "known-hosts file");
  }
  const double limit = options.connect_timeout > 0 ? options.connect_timeout : 0.001;
  const long seconds = static_cast<long>(limit);
  const long microseconds = static_cast<long>((limit - static_cast<double>(seconds)) * 1e6);
  set_option(session, SSH_OPTIONS_TIMEOUT, &seconds, "connection time-out");
  set_option(session, SSH_OPTIONS_TIMEOUT_USEC, &microseconds, "connection time-out");
}

void connect(ssh_session session, const ssh_options& options) {
  const double started = now();
  if (ssh_connect(session) == SSH_OK) return;
  const std::string reason = error_text(session);
  if (now() - started >= options.connect_timeout) {
    throw TIMEOUT("Timeout exceeded in ssh_spawn() connecting to " + where(options) + ": " + reason);
  }
  fail("cannot connect to " + where(options) + ": " + reason);
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

// One keyboard-interactive exchange; answers come from the caller's function, or else every
// hidden prompt is answered with the password.
int answer_prompts(ssh_session session, const ssh_options& options) {
  int result = ssh_userauth_kbdint(session, nullptr, nullptr);
  while (result == SSH_AUTH_INFO) {
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
      if (ssh_userauth_kbdint_setanswer(session, static_cast<unsigned>(i), answer.c_str()) < 0) {
        return SSH_AUTH_ERROR;
      }
    }
    result = ssh_userauth_kbdint(session, nullptr, nullptr);
  }
  return result;
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

// Follows one attempt: true on success; a broken connection ends the whole authentication.
bool accepted(int result, ssh_session session, const ssh_options& options) {
  if (result == SSH_AUTH_SUCCESS) return true;
  if (result == SSH_AUTH_ERROR)
    fail("authentication on " + where(options) + " broke off: " + error_text(session));
  return false;
}

bool try_key_file(ssh_session session, const ssh_options& options, const std::string& file,
                  std::vector<std::string>& tried) {
  ssh_key key = nullptr;
  const char* passphrase = options.passphrase ? options.passphrase->c_str() : nullptr;
  if (ssh_pki_import_privkey_file(file.c_str(), passphrase, nullptr, nullptr, &key) != SSH_OK) {
    tried.push_back("publickey " + file + " (cannot be read or decrypted)");
    return false;
  }
  tried.push_back("publickey " + file);
  const int result = ssh_userauth_publickey(session, nullptr, key);
  ssh_key_free(key);
  return accepted(result, session, options);
}

void authenticate(ssh_session session, const ssh_options& options) {
  if (accepted(ssh_userauth_none(session, nullptr), session, options)) return;
  const int methods = ssh_userauth_list(session, nullptr);
  std::vector<std::string> tried;
  if (methods & SSH_AUTH_METHOD_PUBLICKEY) {
    for (const std::string& file : options.identity_files) {
      if (try_key_file(session, options, file, tried)) return;
    }
    if (options.use_agent && std::getenv("SSH_AUTH_SOCK") != nullptr) {
      tried.emplace_back("agent");
      if (accepted(ssh_userauth_agent(session, nullptr), session, options)) return;
    }
  }
  if ((methods & SSH_AUTH_METHOD_PASSWORD) && options.password) {
    tried.emplace_back("password");
    if (accepted(ssh_userauth_password(session, nullptr, options.password->c_str()), session, options))
      return;
  }
  if ((methods & SSH_AUTH_METHOD_INTERACTIVE) && (options.answer || options.password)) {
    tried.emplace_back("keyboard-interactive");
    if (accepted(answer_prompts(session, options), session, options)) return;
  }
  std::string list;
  for (const std::string& method : tried) list += (list.empty() ? "" : ", ") + method;
  char* user = nullptr;
  std::string user_text = "the user";
  if (ssh_options_get(session, SSH_OPTIONS_USER, &user) == SSH_OK) {
    user_text = user;
    ssh_string_free_char(user);
  }
  fail("authentication as " + user_text + " on " + where(options) +
       " failed; tried: " + (list.empty() ? "nothing the server accepts" : list) +
       "; the server accepts: " + offered_methods(methods));
}

}  // namespace

std::string error_text(ssh_session session) {
  const char* text = ssh_get_error(session);
  return text && *text ? text : "unknown error";
}

session_handle open_session(const ssh_options& options) {
  session_handle session(ssh_new());
  if (!session) fail("cannot create a session");
  configure(session.get(), options);
  connect(session.get(), options);
  check_host_key(session.get(), options);
  authenticate(session.get(), options);
  return session;
}

}  // namespace pexpect_custom::detail
