// The expect family: outcomes and the fields each leaves, time limits, chunking, pattern kinds.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "helper_child.hpp"
#include "io/clock.hpp"
#include "io/select.hpp"
#include "pexpect_custom/expect_any.hpp"
#include "pexpect_custom/pending_expect.hpp"
#include "pexpect_custom/spawn.hpp"
#include "platform/platform.hpp"
#include "test_support.hpp"

using namespace pexpect_custom;
using test_support::helper_child;

namespace {

// Blocks until the child has written something.
void await_output(int fd) {
  ASSERT_FALSE(detail::select({fd}, {}, {}, 20).read.empty());
}

template <typename Error>
std::string message_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const Error& error) {
    return error.what();
  }
  return "(nothing raised)";
}

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string after_text(spawn& child) {
  return std::get<std::string>(child.after.value());
}
std::string match_text(spawn& child) {
  return std::get<std::string>(child.match.value());
}
template <typename T>
bool match_holds(spawn& child) {
  return child.match && std::holds_alternative<T>(*child.match);
}

const char* const read_timeout_text = "Timeout exceeded in read_nonblocking().";
const char* const loop_timeout_text = "Timeout exceeded in expect_any().";
const char* const eof_text = "End Of File (EOF) in read_nonblocking(). Exception style platform.";

class Expect : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_TRUE(test_support::zombie_children().empty());
    EXPECT_EQ(test_support::open_fds(), fds_before);
  }
  std::set<int> fds_before = test_support::open_fds();
};

using ExpectOutcome = Expect;
using ExpectTiming = Expect;
using ExpectChunks = Expect;
using ExpectPatterns = Expect;
using ExpectAny = Expect;

// Fails its second search, that is after the loop has read a chunk.
struct searcher_failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};
class failing_searcher : public searcher_base {
 public:
  long search(std::string_view, long, std::optional<long>) override {
    if (++calls == 2) throw searcher_failure("second search");
    return -1;
  }
  std::optional<match_value> match_result() const override { return std::nullopt; }
  std::string str() const override { return "failing_searcher:"; }
  int calls = 0;
};

}  // namespace

// ---- outcomes -------------------------------------------------------------------------------

TEST_F(ExpectOutcome, MatchSplitsTheOutputAndKeepsTheRest) {
  helper_child child({"println", "ready", "sleep", "30"});
  std::ostringstream reads;
  child->logfile_read = &reads;
  child->buffer = "abc";
  ASSERT_EQ(child->expect("b"), 0);
  EXPECT_EQ(child->before, "a");
  EXPECT_EQ(after_text(*child), "b");
  EXPECT_EQ(child->buffer, "c");
  ASSERT_TRUE(child->match && std::holds_alternative<Match>(*child->match));
  const Match& found = std::get<Match>(*child->match);
  EXPECT_EQ(found.group(), "b");
  EXPECT_EQ(found.start(), 1u);
  EXPECT_EQ(found.end(), 2u);
  EXPECT_EQ(child->match_index, 0);
  EXPECT_TRUE(std::dynamic_pointer_cast<searcher_re>(child->searcher));
  EXPECT_EQ(reads.str(), "") << "the buffered output matched, nothing should have been read";

  // The rest of the buffer is searched first; then the child's output, across expects.
  ASSERT_EQ(child->expect_exact({"zzz", "c"}), 1);
  EXPECT_EQ(child->before, "");
  EXPECT_EQ(match_text(*child), "c");
  EXPECT_TRUE(std::dynamic_pointer_cast<searcher_string>(child->searcher));
  EXPECT_EQ(child->group(0), "c");  // plain text: the whole match, and no groups
  EXPECT_EQ(child->group(1), std::nullopt);
  ASSERT_EQ(child->expect("(?<word>re)a(d)|(x)"), 0);
  EXPECT_EQ(std::get<Match>(*child->match).group("word"), "re");
  EXPECT_EQ(*child->before + after_text(*child) + child->buffer, reads.str());
  EXPECT_EQ(child->group("word"), "re");
  EXPECT_EQ(child->group(2), "d");
  EXPECT_EQ(child->group(3), std::nullopt);  // did not take part
  EXPECT_EQ(child->group(9), std::nullopt);  // does not exist
  EXPECT_EQ(child->group("nosuch"), std::nullopt);
  EXPECT_EQ(child->matched_text(), "read");
  EXPECT_EQ(child->before_text(), *child->before);
  // A marker leaves nothing to read as text.
  ASSERT_EQ(child->expect({"never", TIMEOUT_marker}, std::chrono::milliseconds(50)), 1);
  EXPECT_EQ(child->group(0), std::nullopt);
  EXPECT_EQ(child->matched_text(), std::nullopt);
}

// A step never waits; the caller waits on the descriptors it names. An expect abandoned before
// its end gives every byte it read back to the buffer and leaves the other fields alone.
TEST_F(ExpectOutcome, PendingExpectStepsWithoutWaitingAndGivesBackWhatItRead) {
  helper_child child({"println", "ready", "sleep", "30"});
  std::ostringstream reads;
  child->logfile_read = &reads;
  child->buffer = "old ";
  child->before = "earlier";
  {
    auto never = std::make_shared<searcher_string>(pattern_list{"never"});
    pending_expect pending(*child, never, 20);
    // A second expect on the same session is refused and takes nothing from the first.
    EXPECT_THROW(pending_expect(*child, std::make_shared<searcher_string>(pattern_list{"x"}), 20),
                 std::logic_error);
    EXPECT_EQ(child->searcher, never);
    const std::vector<int> watched = pending.watch_fds();
    // The terminal and, where the system has one, the child's end notice.
    ASSERT_EQ(watched.size(), detail::platform::linux_mechanisms() ? 2u : 1u);
    EXPECT_EQ(watched[0], child->child_fd);
    EXPECT_EQ(child->buffer, "");  // the pending expect holds the bytes now
    while (reads.str() != "ready\r\n") {
      ASSERT_EQ(pending.step(), std::nullopt);
      if (!pending.took_bytes()) {
        ASSERT_FALSE(detail::select(watched, {}, {}, 20).read.empty());
      }
    }
    EXPECT_EQ(pending.step(), std::nullopt);  // nothing more to read: returns at once
    EXPECT_FALSE(pending.took_bytes());
  }
  EXPECT_EQ(child->buffer, "old ready\r\n");
  EXPECT_EQ(child->before, "earlier");
  ASSERT_EQ(child->expect_exact("ready", 0), 0);
  EXPECT_EQ(child->before, "old ");
}

TEST_F(ExpectOutcome, EndOfFileWithMarkerReturnsItsIndex) {
  helper_child child({"print", "not ok, tail"});
  ASSERT_EQ(child->expect({"ok", EOF_marker}), 0);
  EXPECT_EQ(child->before, "not ");
  EXPECT_EQ(after_text(*child), "ok");

  ASSERT_EQ(child->expect({"ok", EOF_marker}), 1);
  EXPECT_EQ(child->buffer, "");
  EXPECT_EQ(child->before, ", tail");
  EXPECT_EQ(child->after, after_value(EOF_marker));
  EXPECT_TRUE(match_holds<EOF_marker_t>(*child));
  EXPECT_EQ(child->match_index, 1);
  EXPECT_TRUE(child->flag_eof);
}

TEST_F(ExpectOutcome, EndOfFileWithoutMarkerRaisesWithTheStateReport) {
  helper_child child({"print", "tail"});
  std::string message = message_of<EOF_>([&] { child->expect("nomatch"); });
  EXPECT_EQ(message, std::string(eof_text) + "\n" + child->str());
  EXPECT_NE(child->str().find("searcher_re:"), std::string::npos);
  EXPECT_EQ(child->buffer, "");
  EXPECT_EQ(child->before, "tail");
  EXPECT_EQ(child->after, after_value(EOF_marker));
  EXPECT_EQ(child->match, std::nullopt);
  EXPECT_EQ(child->match_index, std::nullopt);
}

TEST_F(ExpectOutcome, TimeOutWithMarkerKeepsTheBytesBuffered) {
  helper_child child({"print", "partial", "sleep", "30"});
  await_output(child->child_fd);
  ASSERT_EQ(child->expect({"nomatch", TIMEOUT_marker}, 0.3), 1);
  EXPECT_EQ(child->buffer, "partial");
  EXPECT_EQ(child->before, "partial");
  EXPECT_EQ(child->after, after_value(TIMEOUT_marker));
  EXPECT_TRUE(match_holds<TIMEOUT_marker_t>(*child));
  EXPECT_EQ(child->match_index, 1);
}

TEST_F(ExpectOutcome, TimeOutWithoutMarkerRaisesAndTheNextCallStillSeesTheBytes) {
  helper_child child({"print", "partial", "sleep", "30"});
  await_output(child->child_fd);
  std::string message = message_of<TIMEOUT>([&] { child->expect("nomatch", 0.3); });
  EXPECT_EQ(message, std::string(read_timeout_text) + "\n" + child->str());
  EXPECT_EQ(child->buffer, "partial");
  EXPECT_EQ(child->before, "partial");
  EXPECT_EQ(child->after, after_value(TIMEOUT_marker));
  EXPECT_EQ(child->match, std::nullopt);
  EXPECT_EQ(child->match_index, std::nullopt);

  ASSERT_EQ(child->expect("ti", 0), 0);
  EXPECT_EQ(child->before, "par");
  EXPECT_EQ(child->buffer, "al");
}

TEST_F(ExpectOutcome, ClosedObjectFailsWithBufferUntouched) {
  helper_child child({"print", "abcd", "sleep", "30"});
  ASSERT_EQ(child->expect("b"), 0);
  const std::string kept = child->buffer;
  child.finish();
  std::string message = message_of<std::logic_error>([&] { child->expect("nomatch"); });
  EXPECT_EQ(message, "I/O operation on closed file in read_nonblocking().");
  EXPECT_EQ(child->buffer, kept);
  EXPECT_EQ(child->before, kept);
  EXPECT_EQ(child->after, std::nullopt);
  EXPECT_EQ(child->match, std::nullopt);
  EXPECT_EQ(child->match_index, std::nullopt);
}

TEST_F(ExpectOutcome, OtherFailurePassesUnchangedAndLeavesTheBufferAsItWas) {
  helper_child child({"print", "fresh", "sleep", "30"});
  child->buffer = "old";
  child->after = after_value(std::string("stale"));
  child->match = match_value(std::string("stale"));
  child->match_index = 7;
  auto searcher = std::make_shared<failing_searcher>();
  try {
    child->expect_loop(searcher);
    FAIL() << "no error";
  } catch (const searcher_failure& error) {
    EXPECT_STREQ(error.what(), "second search");
  }
  EXPECT_EQ(child->searcher, searcher);
  EXPECT_EQ(child->buffer, "old");
  ASSERT_TRUE(child->before);
  EXPECT_TRUE(starts_with("oldfresh", *child->before) && child->before->size() > 3) << *child->before;
  EXPECT_EQ(child->after, std::nullopt);
  EXPECT_EQ(child->match, std::nullopt);
  EXPECT_EQ(child->match_index, std::nullopt);
}

TEST_F(ExpectOutcome, InvalidPatternFailsBeforeAnyFieldChanges) {
  helper_child child({"sleep", "30"});
  auto previous = std::make_shared<searcher_string>(pattern_list{"x"});
  child->searcher = previous;
  child->buffer = "kept";
  EXPECT_THROW(child->expect({"ok", "("}), regex_error);
  EXPECT_EQ(child->searcher, previous);
  EXPECT_EQ(child->buffer, "kept");
  EXPECT_EQ(child->before, std::nullopt);
}

// ---- time limits ----------------------------------------------------------------------------

TEST_F(ExpectTiming, SilentChildTimesOutWithAndWithoutTimeoutEntry) {
  helper_child child({"sleep", "30"});
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(child->expect({"x", TIMEOUT_marker}, 0.3), 1);
  double waited = seconds_since(start);
  EXPECT_GE(waited, 0.25);
  EXPECT_LT(waited, 20);

  child->timeout = 0.2;  // -1, the default, takes the object's field
  start = std::chrono::steady_clock::now();
  EXPECT_TRUE(starts_with(message_of<TIMEOUT>([&] { child->expect("x"); }), read_timeout_text));
  EXPECT_GE(seconds_since(start), 0.15);
  EXPECT_EQ(child->before, "");
}

TEST_F(ExpectTiming, ZeroTimeoutPollsOnceAndNamesWhereTimeRanOut) {
  // Nothing pending: the poll comes back empty.
  helper_child silent({"sleep", "30"});
  EXPECT_TRUE(starts_with(message_of<TIMEOUT>([&] { silent->expect("x", 0); }), read_timeout_text));

  // Bytes pending but no match: they are read and searched, then the time is found spent.
  helper_child talking({"print", "abc", "sleep", "30"});
  await_output(talking->child_fd);
  EXPECT_TRUE(starts_with(message_of<TIMEOUT>([&] { talking->expect("x", 0); }), loop_timeout_text));
  EXPECT_EQ(talking->buffer, "abc");
  EXPECT_EQ(talking->expect("b", 0), 0);
}

TEST_F(ExpectTiming, NegativeTimeoutSearchesTheBufferOnceAndReadsNothing) {
  helper_child child({"print", "unread", "sleep", "30"});
  await_output(child->child_fd);
  std::ostringstream reads;
  child->logfile_read = &reads;
  child->buffer = "abc";
  EXPECT_EQ(child->expect("b", -5), 0);
  std::string message = message_of<TIMEOUT>([&] { child->expect("unread", -0.5); });
  EXPECT_EQ(message, std::string(loop_timeout_text) + "\n" + child->str());
  EXPECT_EQ(child->buffer, "c");
  EXPECT_EQ(reads.str(), "");
}

TEST_F(ExpectTiming, NoLimitWaitsPastTheObjectsTimeoutUntilEndOfFile) {
  helper_child child({"sleep", "0.5", "print", "done"});
  child->timeout = 0.05;
  EXPECT_TRUE(starts_with(message_of<EOF_>([&] { child->expect("never", std::nullopt); }), eof_text));
  EXPECT_EQ(child->before, "done");
}

TEST_F(ExpectTiming, SearchWindowMinusOneTakesTheFieldNulloptSearchesAll) {
  helper_child child({"sleep", "30"});
  child->searchwindowsize = 3;
  child->buffer = "a123456789";
  EXPECT_EQ(child->expect({"a", TIMEOUT_marker}, 0), 1);
  EXPECT_EQ(child->expect_exact({"a", TIMEOUT_marker}, 0), 1);
  EXPECT_EQ(child->expect({"a", TIMEOUT_marker}, 0, std::nullopt), 0);
  EXPECT_EQ(child->buffer, "123456789");
  EXPECT_EQ(child->expect({"1", TIMEOUT_marker}, 0, 20), 0);
}

// Every wait and pause takes NaN as a caller's mistake, +inf as no limit, and a huge value as the
// longest wait there is.
TEST_F(ExpectTiming, NanIsRefusedInfinityIsNoLimit) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  helper_child child({"sleep", "0.3", "print", "late", "sleep", "30"});
  EXPECT_THROW(child->expect("x", nan), std::invalid_argument);
  EXPECT_THROW(child->expect_exact("x", nan), std::invalid_argument);
  EXPECT_THROW(child->read_nonblocking(1, nan), std::invalid_argument);
  EXPECT_THROW(child->waitnoecho(nan), std::invalid_argument);
  child->timeout = nan;
  EXPECT_THROW(child->expect("x"), std::invalid_argument);
  child->timeout = 10;
  child->delaybeforesend = nan;
  EXPECT_THROW(child->send("x"), std::invalid_argument);
  child->delaybeforesend = 0;
  child->delayafterclose = nan;
  EXPECT_THROW(child->close(), std::invalid_argument);
  EXPECT_FALSE(child->closed);
  child->delayafterclose = 0;
  EXPECT_EQ(child->expect("late", inf), 0);
  child->setecho(false);
  EXPECT_TRUE(child->waitnoecho(1e300));

  // A pause of +inf sleeps (for ever) rather than turn into a nonsense time that returns at once.
  const pid_t sleeper = fork();
  if (sleeper == 0) {
    detail::sleep_seconds(inf);
    _exit(0);
  }
  EXPECT_TRUE(test_support::eventually([&] {
    std::ifstream stat("/proc/" + std::to_string(sleeper) + "/stat");
    std::string pid_field, name, state;
    return stat >> pid_field >> name >> state && state == "S";
  }));
  ::kill(sleeper, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(sleeper, &status, 0), sleeper);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the sleep ended by itself";
}

// ---- chunks ---------------------------------------------------------------------------------

TEST_F(ExpectChunks, PatternsStraddlingChunksAreFound) {
  helper_child child({"trickle", "..hello world..123-456..", "sleep", "30"});
  ASSERT_EQ(child->expect_exact("hello world"), 0);
  EXPECT_EQ(child->before, "..");
  ASSERT_EQ(child->expect("(\\d{3})-(\\d{3})"), 0);
  EXPECT_EQ(after_text(*child), "123-456");
  EXPECT_EQ(std::get<Match>(*child->match).group(2), "456");
  EXPECT_EQ(child->before, "..");
}

TEST_F(ExpectChunks, MaxreadOneSearchesAfterEveryByte) {
  helper_child child({"print", "foobar", "sleep", "30"});
  child->maxread = 1;
  // "foo" is complete before "foobar" is, so the shorter pattern wins.
  ASSERT_EQ(child->expect_exact({"foobar", "foo"}), 1);
  EXPECT_EQ(child->buffer, "");
  ASSERT_EQ(child->expect("ar"), 0);
  EXPECT_EQ(child->before, "b");
}

TEST_F(ExpectChunks, ChildExitingMidLine) {
  helper_child child({"print", "first\nhalf a li"});
  ASSERT_EQ(child->expect("\r\n"), 0);
  EXPECT_EQ(child->before, "first");
  EXPECT_TRUE(starts_with(message_of<EOF_>([&] { child->expect("\r\n"); }), eof_text));
  EXPECT_EQ(child->before, "half a li");
  EXPECT_EQ(child->buffer, "");
}

TEST_F(ExpectChunks, MegabytesWithoutMatch) {
  const long size = 4'000'000;
  std::string expected;
  for (long line = 0; static_cast<long>(expected.size()) < size; ++line)
    expected += std::to_string(line) + "\n";
  expected.resize(size);
  std::string on_terminal;
  for (char c : expected) {
    if (c == '\n') on_terminal.push_back('\r');
    on_terminal.push_back(c);
  }

  auto start = std::chrono::steady_clock::now();
  helper_child plain({"flood", std::to_string(size)});
  ASSERT_EQ(plain->expect_exact({"NOMATCH", EOF_marker}), 1);
  EXPECT_TRUE(plain->before == on_terminal) << "got " << plain->before->size() << " bytes";

  helper_child regex({"flood", "1000000"});
  ASSERT_EQ(regex->expect({"[a-z]", EOF_marker}), 1);
  EXPECT_GT(regex->before->size(), 1'000'000u);
  EXPECT_TRUE(regex->before == on_terminal.substr(0, regex->before->size()));
  EXPECT_LT(seconds_since(start), 120);
}

// ---- pattern kinds --------------------------------------------------------------------------

TEST_F(ExpectPatterns, ExactTextHasNoSpecialCharacters) {
  helper_child child({"sleep", "30"});
  child->buffer = "abc";
  EXPECT_EQ(child->expect_exact({"a.c", TIMEOUT_marker}, 0), 1);
  EXPECT_EQ(child->expect("a.c", 0), 0);
  child->buffer = "a.c";
  EXPECT_EQ(child->expect_exact("a.c", 0), 0);
  EXPECT_EQ(match_text(*child), "a.c");
}

TEST_F(ExpectPatterns, IgnorecaseAppliesToExpectOnly) {
  helper_child child({"sleep", "30"});
  child->ignorecase = true;
  child->buffer = "xABCx";
  EXPECT_EQ(child->expect_exact({"abc", TIMEOUT_marker}, 0), 1);
  EXPECT_EQ(child->expect({Regex("abc"), TIMEOUT_marker}, 0), 1) << "compiled expressions keep their flags";
  EXPECT_EQ(child->expect("abc", 0), 0);
  EXPECT_EQ(after_text(*child), "ABC");
}

TEST_F(ExpectPatterns, MarkersAlone) {
  helper_child nothing({"print", "bye"});
  EXPECT_TRUE(starts_with(message_of<EOF_>([&] { nothing->expect(std::nullopt); }), eof_text));
  EXPECT_EQ(nothing->before, "bye");

  helper_child exact({"print", "bye"});
  EXPECT_EQ(exact->expect_exact(EOF_marker), 0);
  EXPECT_EQ(exact->before, "bye");

  helper_child compiled({"sleep", "30"});
  pattern_list once = compiled->compile_pattern_list({"never", TIMEOUT_marker});
  EXPECT_EQ(compiled->expect_list(once, 0), 1);
  EXPECT_EQ(compiled->expect_exact(TIMEOUT_marker, 0), 0);
}

// Programs that colour their output: plain text is matched on the words, while the log and the
// screen still see the colours.
TEST_F(ExpectPatterns, PlainTextOfColouredPrograms) {
  const environment env = inherit_environment(
      {{"LS_COLORS", std::nullopt}, {"GREP_COLORS", std::nullopt}, {"TERM", "xterm"}, {"LC_ALL", "C"}});
  test_support::temp_dir dir;
  ASSERT_EQ(::mkdir((dir.path() + "/subdir").c_str(), 0755), 0);
  dir.write_file("tool", "", 0755);
  std::ostringstream raw;
  spawn ls("ls", {"--color=always", "-1", dir.path()},
           {.env = env, .logfile_read = &raw, .screen = true, .strip_terminal_sequences = true});
  EXPECT_EQ(ls.expect_exact("subdir\r\ntool\r\n"), 0);
  EXPECT_EQ(ls.before, "");
  EXPECT_NE(raw.str().find("\x1b["), std::string::npos);
  EXPECT_EQ(ls.screen().cell(0, 0).foreground, colour::indexed(4));

  spawn grep("sh", {"-c", "echo one two three | grep --color=always two"},
             {.env = env, .strip_terminal_sequences = true});
  EXPECT_EQ(grep.expect("one (\\w+) three\r\n"), 0);
  EXPECT_EQ(grep.group(1), "two");

  spawn bash(
      "bash", {"--norc", "--noprofile"},
      {.cwd = "/",
       .env = inherit_environment(
           {{"PS1", "\\[\\e[1;32m\\]me@box\\[\\e[0m\\]:\\[\\e[34m\\]\\w\\[\\e[0m\\]> "}, {"TERM", "xterm"}}),
       .delaybeforesend = 0,
       .strip_terminal_sequences = true});
  EXPECT_EQ(bash.expect_exact("me@box:/> "), 0);
  bash.sendline("echo $((6 * 7))");
  EXPECT_EQ(bash.expect_exact("42\r\nme@box:/> "), 0);
}

// The one test with the library's own pauses, to show they hold up.
TEST_F(Expect, DefaultPausesDoNotChangeTheOutcome) {
  spawn child(test_support::helper, {"cat"});
  EXPECT_EQ(child.delayafterread, 0.0001);
  // The pause before the send ends as soon as cat waits for input, so it is not timed here.
  child.sendline("hello");
  ASSERT_EQ(child.expect("hello\r\n"), 0);        // the echo
  ASSERT_EQ(child.expect_exact("hello\r\n"), 0);  // cat's copy
  EXPECT_EQ(child.before, "");
  child.sendeof();
  EXPECT_EQ(child.expect(EOF_marker), 0);
  child.close();
  EXPECT_EQ(child.exitstatus, 0);
}

// Threads of servers and thread pools often run on small stacks; a read keeps nothing large there.
TEST_F(Expect, WorksOnAThreadWithASmallStack) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, 64 * 1024), 0);
  struct outcome {
    long index = -1;
    std::string before;
  } result;
  auto body = [](void* data) -> void* {
    auto* into = static_cast<outcome*>(data);
    helper_child child({"print", "one two three", "sleep", "30"});
    child->maxread = 65536;
    into->index = child->expect({"t(\\w+)o", TIMEOUT_marker});
    into->before = child->before.value_or("");
    return nullptr;
  };
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attributes, body, &result), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
  EXPECT_EQ(result.index, 0);
  EXPECT_EQ(result.before, "one ");
}

// ---- several sessions at once ----------------------------------------------------------------

// The winner's fields are its own expect's; the others keep what was read from them, untouched.
TEST_F(ExpectAny, WinnerIsSplitAndTheOthersKeepEveryByteRead) {
  helper_child quiet({"println", "first", "sleep", "30"});
  helper_child echo({"cat"});
  quiet->buffer = "kept ";
  quiet->before = "earlier";
  quiet->match_index = 7;
  echo->sendline("x42y");
  await_output(quiet->child_fd);
  await_output(echo->child_fd);
  const expect_any_result result =
      expect_any({on_exact(*quiet, {"never"}), on(*echo, {"nomatch", "x(\\d+)y"})}, 20);
  EXPECT_EQ(result.session, 1u);
  EXPECT_EQ(result.index, 1);
  EXPECT_EQ(echo->before, "");
  EXPECT_EQ(echo->group(1), "42");
  EXPECT_EQ(echo->match_index, 1);
  EXPECT_TRUE(std::dynamic_pointer_cast<searcher_re>(echo->searcher));
  EXPECT_TRUE(starts_with(quiet->buffer, "kept "));
  EXPECT_EQ(quiet->before, "earlier");
  EXPECT_EQ(quiet->match_index, 7);
  ASSERT_EQ(quiet->expect_exact("first\r\n", 20), 0);
  EXPECT_EQ(quiet->before, "kept ");
  // What the winner read past its match stays in its buffer too.
  ASSERT_EQ(echo->expect_exact("x42y\r\n", 20), 0);
  EXPECT_EQ(echo->before, "\r\n");
}

TEST_F(ExpectAny, EndOfFileAndTimeOutFollowEachList) {
  helper_child ending({"print", "bye"});
  helper_child silent({"sleep", "30"});
  EXPECT_EQ(expect_any({on(*silent, {"never"}), on(*ending, {"never", EOF_marker})}, 20).index, 1);
  EXPECT_EQ(ending->before, "bye");
  EXPECT_EQ(ending->buffer, "");
  EXPECT_TRUE(match_holds<EOF_marker_t>(*ending));

  helper_child ending_bare({"print", "bye"});
  EXPECT_TRUE(starts_with(message_of<EOF_>([&] {
                            expect_any({on(*silent, {"never"}), on(*ending_bare, {"x"})}, 20);
                          }),
                          eof_text));
  EXPECT_EQ(ending_bare->before, "bye");

  // The first list holding TIMEOUT takes the time-out; without one the first session raises.
  helper_child other({"sleep", "30"});
  silent->buffer = "pending";
  const expect_any_result timed =
      expect_any({on(*silent, {"never"}), on_exact(*other, {"x", TIMEOUT_marker})}, 0.05);
  EXPECT_EQ(timed.session, 1u);
  EXPECT_EQ(timed.index, 1);
  EXPECT_TRUE(match_holds<TIMEOUT_marker_t>(*other));
  EXPECT_EQ(silent->buffer, "pending");
  EXPECT_TRUE(starts_with(message_of<TIMEOUT>([&] {
                            expect_any({on(*silent, {"never"}), on(*other, {"x"})}, 0);
                          }),
                          loop_timeout_text));
  EXPECT_EQ(silent->buffer, "pending");
  EXPECT_EQ(silent->before, "pending");

  EXPECT_THROW(expect_any({}), std::invalid_argument);
  EXPECT_THROW(expect_any({on(*silent, {"x"}), on(*silent, {"y"})}), std::invalid_argument);
}

// Children that were not waited for: the one that runs answers, the one whose exec failed
// raises the start's error from the call that first reads it.
TEST_F(ExpectAny, StartsThatDidNotWaitForTheExec) {
  test_support::temp_dir dir;
  const std::string not_a_program = dir.write_file("garbage",
                                                   "\x7f"
                                                   "ELF garbage",
                                                   0755);
  const spawn_options no_wait{.timeout = 20, .delayafterclose = 0, .wait_for_exec = false};
  spawn runs(test_support::helper, {"println", "up", "sleep", "30"}, no_wait);
  spawn fails(not_a_program, {"x"}, no_wait);
  EXPECT_EQ(expect_any({on_exact(runs, {"up"})}, 20).index, 0);
  try {
    expect_any({on_exact(runs, {"never"}), on_exact(fails, {"never"})}, 20);
    FAIL() << "the failed exec should have been raised";
  } catch (const SystemError& error) {
    EXPECT_EQ(error.code().value(), ENOEXEC);
  }
  EXPECT_TRUE(fails.closed);
  EXPECT_EQ(fails.pid, std::nullopt);
  runs.close();
}
