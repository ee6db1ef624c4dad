// Talks to a TCP service with expect: a small local server answers on 127.0.0.1, and the client
// wraps its connected socket in an fdspawn.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <thread>

#include "pexpect_custom/pexpect_custom.hpp"

namespace {

// Greets, answers one "time?" question, says goodbye and hangs up.
void serve_one(int listener) {
  int client = accept(listener, nullptr, nullptr);
  if (client < 0) return;
  auto say = [client](const std::string& text) { return ::write(client, text.data(), text.size()); };
  say("220 demo service ready\r\n");
  std::string question;
  char c;
  while (question.find('\n') == std::string::npos && ::read(client, &c, 1) == 1) question += c;
  say(question.rfind("time?", 0) == 0 ? "200 it is 12:00\r\n" : "500 what?\r\n");
  say("221 bye\r\n");
  ::close(client);
}

}  // namespace

int main() {
  using namespace pexpect_custom;
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("listen");
    return 1;
  }
  std::jthread server(serve_one, listener);

  int connection = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(connection, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    std::perror("connect");
    return 1;
  }
  fdspawn service(connection, {.timeout = 10, .ownership = fd_ownership::owned});
  service.delaybeforesend = 0;
  service.expect("220 .*?\r\n");
  service.sendline("time?");
  service.expect("(\\d{3}) (.*?)\r\n");
  const Match reply = std::get<Match>(*service.match);  // a copy: the next expect replaces it
  std::cout << "status " << *reply.group(1) << ": " << *reply.group(2) << "\n";
  int end = service.expect({"221 bye", EOF_marker});
  std::cout << (end == 0 ? "the service said goodbye\n" : "the service hung up\n");
  ::close(listener);
  return *reply.group(1) == "200" && end == 0 ? 0 : 1;
}
