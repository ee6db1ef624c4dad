// expect over a caller's own descriptor: sockets, pipes, end of file, time-outs, ownership.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <thread>

#include "pexpect_custom/fdspawn.hpp"
#include "pexpect_custom/pending_expect.hpp"
#include "test_support.hpp"

using namespace pexpect_custom;

namespace {

void write_all(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    ASSERT_GT(n, 0);
    done += static_cast<std::size_t>(n);
  }
}

// A connected pair of stream sockets, both closed at the end unless handed on.
struct socket_pair {
  int ours = -1, theirs = -1;
  socket_pair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    ours = fds[0];
    theirs = fds[1];
  }
  ~socket_pair() {
    if (ours >= 0) ::close(ours);
    if (theirs >= 0) ::close(theirs);
  }
};

fdspawn quick(int fd, fdspawn_options options = {}) {
  fdspawn stream(fd, options);
  stream.delaybeforesend = 0;
  stream.delayafterread = 0;
  return stream;
}

// The text a plain-text fdspawn finds in `output` written to a pipe in pieces of `piece` bytes,
// each read before the next is written, up to the end of the output.
std::string plain_text_of(const std::string& output, std::size_t piece) {
  int fds[2];
  EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
  fdspawn stream = quick(fds[0], {.ownership = fd_ownership::owned, .strip_terminal_sequences = true});
  pending_expect pending(stream, std::make_shared<searcher_string>(pattern_list{EOF_marker}), 20);
  for (std::size_t at = 0; at < output.size(); at += piece) {
    write_all(fds[1], output.substr(at, piece));
    do {
      EXPECT_FALSE(pending.step());
    } while (!pending.took_bytes());
  }
  ::close(fds[1]);
  while (!pending.step()) {
  }
  return stream.before_text();
}

}  // namespace

TEST(Fdspawn, ExpectOverASocketWithAWriterThread) {
  socket_pair pair;
  fdspawn stream = quick(pair.ours);
  std::jthread peer([fd = pair.theirs] {
    write_all(fd, "login: ");
    std::string answer;
    char c;
    while (answer.find('\n') == std::string::npos && ::read(fd, &c, 1) == 1) answer += c;
    write_all(fd, "hello " + answer);
    ::shutdown(fd, SHUT_WR);
  });
  EXPECT_EQ(stream.expect({"login: ", TIMEOUT_marker}, 10), 0);
  stream.sendline("ann");
  EXPECT_EQ(stream.expect("hello (\\w+)\n"), 0);
  EXPECT_EQ(std::get<Match>(*stream.match).group(1), "ann");
  EXPECT_EQ(stream.expect(EOF_marker), 0);
  EXPECT_FALSE(stream.isalive());
}

TEST(Fdspawn, PipeFromAChildProcessToEndOfFile) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  pid_t pid = fork();
  if (pid == 0) {
    for (int i = 0; i < 1000; ++i) {
      std::string line = "line " + std::to_string(i) + "\r\n";
      if (::write(fds[1], line.data(), line.size()) < 0) _exit(1);
    }
    _exit(0);
  }
  ::close(fds[1]);
  fdspawn stream = quick(fds[0], {.ownership = fd_ownership::owned});
  std::vector<std::string> lines = stream.readlines();
  ASSERT_EQ(lines.size(), 1000u);
  EXPECT_EQ(lines.front(), "line 0\r\n");
  EXPECT_EQ(lines.back(), "line 999\r\n");
  EXPECT_TRUE(stream.eof());
  int status = 0;
  waitpid(pid, &status, 0);
}

TEST(Fdspawn, EndOfFileWhenTheWriterCloses) {
  socket_pair pair;
  fdspawn stream = quick(pair.ours);
  write_all(pair.theirs, "partial");
  ::close(pair.theirs);
  pair.theirs = -1;
  try {
    stream.expect("never");
    FAIL();
  } catch (const EOF_& error) {
    std::string text = error.what();
    EXPECT_EQ(text.rfind("End Of File (EOF) in read_nonblocking(). Empty string style platform.\n"
                         "<pexpect_custom::fdspawn object at 0x",
                         0),
              0u)
        << text;
  }
  EXPECT_EQ(stream.before, "partial");
  EXPECT_EQ(stream.buffer, "");
  EXPECT_TRUE(stream.eof());
}

TEST(Fdspawn, TimeOutsWithAndWithoutAMarker) {
  socket_pair pair;
  fdspawn stream = quick(pair.ours, {.timeout = 0.2});
  write_all(pair.theirs, "no prompt here");
  EXPECT_EQ(stream.expect({"prompt>", TIMEOUT_marker}), 1);
  EXPECT_EQ(stream.buffer, "no prompt here");
  try {
    stream.expect_exact("prompt>", 0);
    FAIL();
  } catch (const TIMEOUT& error) {
    EXPECT_EQ(std::string(error.what()).rfind("Timeout exceeded in read_nonblocking().\n", 0), 0u);
  }
  EXPECT_THROW(stream.read_nonblocking(10, 0), TIMEOUT);
  EXPECT_TRUE(stream.isalive());
}

TEST(Fdspawn, LogsAndReportLikeSpawn) {
  socket_pair pair;
  std::ostringstream log;
  fdspawn stream = quick(pair.ours, {.logfile = &log});
  stream.send("ping");
  write_all(pair.theirs, "pong");
  EXPECT_EQ(stream.read_nonblocking(100, 10), "pong");
  EXPECT_EQ(log.str(), "pingpong");
  std::string report = stream.str();
  EXPECT_NE(report.find("\ncommand: None\nargs: None\n"), std::string::npos) << report;
  EXPECT_NE(report.find("\nchild_fd: " + std::to_string(pair.ours) + "\n"), std::string::npos);
}

TEST(Fdspawn, SendEofShutsDownTheSocketsSendingSide) {
  socket_pair pair;
  fdspawn stream = quick(pair.ours);
  stream.send("last words");
  stream.sendeof();
  std::string received;
  char chunk[64];
  for (ssize_t n; (n = ::read(pair.theirs, chunk, sizeof chunk)) > 0;)
    received.append(chunk, static_cast<std::size_t>(n));
  EXPECT_EQ(received, "last words");

  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  fdspawn pipe_end = quick(fds[1], {.ownership = fd_ownership::owned});
  EXPECT_THROW(pipe_end.sendeof(), std::logic_error);
  ::close(fds[0]);
}

TEST(Fdspawn, OwnershipDecidesWhoCloses) {
  socket_pair pair;
  { fdspawn borrowed = quick(pair.ours); }
  EXPECT_NE(fcntl(pair.ours, F_GETFD), -1) << "a borrowed descriptor was closed";
  EXPECT_TRUE(fcntl(pair.ours, F_GETFD) & FD_CLOEXEC);
  {
    fdspawn owned = quick(pair.ours, {.ownership = fd_ownership::owned});
    fdspawn moved = std::move(owned);
    EXPECT_TRUE(owned.closed);
  }
  EXPECT_EQ(fcntl(pair.ours, F_GETFD), -1) << "an owned descriptor was left open";
  pair.ours = -1;

  fdspawn explicit_close = quick(pair.theirs);
  explicit_close.close();
  explicit_close.close();
  EXPECT_TRUE(explicit_close.closed);
  EXPECT_FALSE(explicit_close.isalive());
  EXPECT_THROW(explicit_close.read_nonblocking(), std::logic_error);
  pair.theirs = -1;
}

// A reader that has gone is an error of the send, never a SIGPIPE that ends the caller.
TEST(Fdspawn, SendToAGoneReaderFailsWithoutSigpipe) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  ::close(fds[0]);
  socket_pair pair;
  ::close(pair.theirs);
  pair.theirs = -1;
  for (int fd : {fds[1], pair.ours}) {
    fdspawn stream = quick(fd);
    try {
      stream.send("anyone there?");
      ADD_FAILURE() << "sent to nobody";
    } catch (const SystemError& error) {
      EXPECT_EQ(error.code().value(), EPIPE);
    }
  }
  ::close(fds[1]);
  sigset_t pending;
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE)) << "a SIGPIPE was left pending";
}

TEST(Fdspawn, InvalidDescriptorIsRefused) {
  try {
    fdspawn stream(987654);
    FAIL();
  } catch (const SystemError& error) {
    EXPECT_EQ(error.code().value(), EBADF);
  }
}

TEST(Fdspawn, PlainTextIsTheSameHoweverTheOutputIsCut) {
  struct row {
    std::string output, text;
  };
  const std::vector<row> rows = {
      {"a\x1b[1;31mred\x1b[0m \x1b[38:2::1:2:3mb\x1b[K\x1b[?2004h", "ared b"},
      {"\x1b]0;title\x07\x1b]8;;http://x/\x1b\\link\x1b]8;;\x1b\\", "link"},
      {"\x1bPq#0;2;0\x1b\\\x1b_Gi=1\x1b\\\x1b^pm\x1b\\\x1bXsos\x1b\\ok", "ok"},
      {"\x1b(0lqk\x1b(B\x1b)0\x1b=\x1b>\x1b"
       "7x\x1b"
       "8\x1b#8y",
       "lqkxy"},
      {"a\r\n\tb\bc\x07\x0f", "a\r\n\tb\bc\x07\x0f"},
      {"\x1b[1m\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\x1b[m", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
      // A control inside a sequence acts; CAN abandons one; ESC ends a string and starts anew.
      {"\x1b[3\r\n1mx\x1b[31\x18y\x1b]0;t\x1b[1mz", "\r\nxyz"},
      {"end\x1b]0;never ended", "end"},
  };
  for (const row& r : rows) {
    EXPECT_EQ(plain_text_of(r.output, r.output.size()), r.text) << r.output;
    EXPECT_EQ(plain_text_of(r.output, 1), r.text) << r.output;
  }
  // A sequence that never ends is given up, and the output after it is text again.
  for (const std::string& unended :
       {"\x1b[" + std::string(1000, '1'), "\x1b]0;" + std::string(100000, 'x')}) {
    const std::string text = plain_text_of(unended + "\r\ntail", 1);
    EXPECT_EQ(text, plain_text_of(unended + "\r\ntail", 4096));  // a pipe holds 64 KiB at most
    EXPECT_TRUE(text.ends_with("\r\ntail"));
    EXPECT_LT(text.size(), unended.size() - 200);
  }
}
