// The Asio adapter: each kind of completion token, cancellation, and the wait for a child's end.
#include "pexpect_custom/asio.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <asio/bind_cancellation_slot.hpp>
#include <asio/bind_executor.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/use_future.hpp>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

#include "helper_child.hpp"
#include "test_support.hpp"

using namespace pexpect_custom;
using test_support::helper_child;

namespace {

class Asio : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_TRUE(test_support::zombie_children().empty());
    EXPECT_EQ(test_support::open_fds(), fds_before);
  }
  asio::io_context io;
  // The io_context opens its own descriptors with its first timer; they are not counted.
  asio::steady_timer opens_the_reactor{io};
  std::set<int> fds_before = test_support::open_fds();
};

// Whether `error` holds a system error with the given code.
bool fails_with(std::exception_ptr error, asio::error::basic_errors code) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const std::system_error& failure) {
    return failure.code() == code;
  } catch (...) {
  }
  return false;
}

bool aborted(std::exception_ptr error) {
  return fails_with(error, asio::error::operation_aborted);
}

bool busy(std::exception_ptr error) {
  return fails_with(error, asio::error::in_progress);
}

long thread_count() {
  long count = 0;
  for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task")) ++count;
  return count;
}

}  // namespace

// First in this file, before any other case could have started a pool: completions go through
// the handler's executor without a thread of its own, and every step runs on the io_context.
TEST_F(Asio, FutureAndDetachedTokensStartNoThread) {
  const long threads_before = thread_count();
  helper_child child({"println", "hello", "readline", "exit", "4"});
  std::future<long> found = async_expect(io.get_executor(), *child, {"hello"}, 20, asio::use_future);
  io.run();
  EXPECT_EQ(found.get(), 0);
  child->sendline("x");
  std::future<long> echoed = async_expect_exact(io.get_executor(), *child, {"x"}, 20, asio::use_future);
  io.restart();
  io.run();
  EXPECT_EQ(echoed.get(), 0);
  std::future<std::optional<int>> status = async_wait_exit(io.get_executor(), *child, asio::use_future);
  io.restart();
  io.run();
  EXPECT_EQ(status.get(), 4);
  std::future<std::unique_ptr<spawn>> started =
      async_spawn(io, test_support::helper, {"println", "up"}, {.timeout = 20}, asio::use_future);
  io.restart();
  io.run();
  std::unique_ptr<spawn> up = started.get();
  async_expect(io.get_executor(), *up, {"up"}, 20, asio::detached);
  io.restart();
  io.run();
  EXPECT_EQ(up->match_index, 0);
  up->close();
  EXPECT_EQ(thread_count(), threads_before);
}

// A second expect on a session whose expect is pending is refused at once; the first goes on.
TEST_F(Asio, SecondExpectOnABusySessionIsRefused) {
  helper_child child({"sleep", "0.3", "println", "first", "sleep", "30"});
  std::optional<long> first;
  std::exception_ptr first_error, second_error;
  bool second_done = false;
  async_expect_exact(*child, {"first"}, 20, asio::bind_executor(io, [&](std::exception_ptr e, long i) {
    first_error = e;
    first = i;
  }));
  EXPECT_TRUE(child->expect_in_progress());
  async_expect_exact(*child, {"other"}, 20, asio::bind_executor(io, [&](std::exception_ptr e, long) {
    second_error = e;
    second_done = true;
  }));
  while (!second_done) ASSERT_EQ(io.run_one(), 1u);
  EXPECT_TRUE(busy(second_error));
  EXPECT_FALSE(first);
  io.run();
  EXPECT_FALSE(first_error);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(child->matched_text(), "first");
  EXPECT_FALSE(child->expect_in_progress());
}

// A child started without blocking, or the error its constructor would have raised.
TEST_F(Asio, SpawnCompletesWithTheChildOrTheStartError) {
  test_support::temp_dir dir;
  const std::string not_a_program = dir.write_file("garbage",
                                                   "\x7f"
                                                   "ELF garbage",
                                                   0755);
  struct outcome {
    std::exception_ptr error;
    std::unique_ptr<spawn> child;
  };
  std::vector<outcome> outcomes(3);
  auto record = [&](std::size_t k) {
    return [&, k](std::exception_ptr e, std::unique_ptr<spawn> c) { outcomes[k] = {e, std::move(c)}; };
  };
  const spawn_options quick{.timeout = 20, .delaybeforesend = 0, .delayafterclose = 0};
  async_spawn(io, test_support::helper, {"println", "started"}, quick, record(0));
  async_spawn(io.get_executor(), not_a_program, {"x"}, quick, record(1));
  async_spawn(io, "no-such-program-anywhere", {}, quick, record(2));
  io.run();
  ASSERT_FALSE(outcomes[0].error);
  ASSERT_TRUE(outcomes[0].child);
  EXPECT_EQ(outcomes[0].child->exec_notice_fd(), -1);
  EXPECT_EQ(outcomes[0].child->expect_exact("started", 20), 0);
  outcomes[0].child->close();
  EXPECT_FALSE(outcomes[1].child);
  EXPECT_THROW(std::rethrow_exception(outcomes[1].error), SystemError);
  try {
    std::rethrow_exception(outcomes[1].error);
  } catch (const SystemError& error) {
    EXPECT_EQ(error.code().value(), ENOEXEC);
  }
  EXPECT_FALSE(outcomes[2].child);
  EXPECT_THROW(std::rethrow_exception(outcomes[2].error), ExceptionPexpect);
}

TEST_F(Asio, CallbackAndFutureTokens) {
  helper_child echo({"cat"});
  echo->sendline("one two");
  long index = -1;
  std::exception_ptr error;
  async_expect(*echo, {"never", "t(w)o"}, 20, asio::bind_executor(io, [&](std::exception_ptr e, long i) {
    error = e;
    index = i;
  }));
  io.run();
  EXPECT_FALSE(error);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(echo->before, "one ");
  EXPECT_EQ(echo->group(1), "w");

  // The error a blocking expect raises reaches the future.
  helper_child ending({"print", "bye"});
  std::future<long> result = async_expect(io.get_executor(), *ending, {"never"}, 20, asio::use_future);
  io.restart();
  io.run();
  EXPECT_THROW(result.get(), EOF_);
  EXPECT_EQ(ending->before, "bye");
}

TEST_F(Asio, CoroutinesExpectAndWaitForTheEnd) {
  helper_child child({"println", "ready", "readline", "exit", "3"});
  helper_child silent({"sleep", "30"});
  // Its end must be seen though a grandchild keeps the terminal open and silent.
  helper_child held({"holder", "60", "sleep", "0.5", "exit", "0"});
  std::optional<int> status;
  long held_end = -1;
  bool timed_out = false;
  // Braced lists inside a coroutine body trip g++ 12, so the lists are made outside it.
  const pattern_list ready{"ready\r\n"}, echoed{"\\[x\\]"}, never{"never"}, end{EOF_marker, TIMEOUT_marker};
  auto body = [&]() -> asio::awaitable<void> {
    EXPECT_EQ(co_await async_expect_exact(*child, ready, 20, asio::use_awaitable), 0);
    child->sendline("x");
    EXPECT_EQ(co_await async_expect(*child, echoed, 20, asio::use_awaitable), 0);
    status = co_await async_wait_exit(*child, asio::use_awaitable);
    held_end = co_await async_expect(*held, end, std::nullopt, asio::use_awaitable);
    try {
      co_await async_expect(*silent, never, 0.05, asio::use_awaitable);
    } catch (const TIMEOUT& error) {
      timed_out = std::string(error.what()).rfind("Timeout exceeded in read_nonblocking().", 0) == 0;
    }
  };
  std::future<void> done = asio::co_spawn(io, body(), asio::use_future);
  // Bounded, in case the held session's end is never seen.
  io.run_for(std::chrono::seconds(30));
  ASSERT_EQ(done.wait_for(std::chrono::seconds(0)), std::future_status::ready) << "an end was not seen";
  done.get();
  EXPECT_EQ(status, 3);
  EXPECT_TRUE(child->terminated);
  EXPECT_TRUE(timed_out);
  EXPECT_EQ(held_end, 0) << held->before_text();
  if (int grandchild = 0; std::sscanf(held->before_text().c_str(), "grandchild %d", &grandchild) == 1)
    ::kill(grandchild, SIGKILL);
}

// A cancelled expect leaves every byte it read in the buffer, and the session usable.
TEST_F(Asio, CancellationKeepsTheBytesRead) {
  helper_child child({"println", "partial", "sleep", "30"});
  std::ostringstream reads;
  child->logfile_read = &reads;
  child->buffer = "old ";
  child->before = "earlier";
  asio::cancellation_signal cancel;
  std::exception_ptr error;
  async_expect(*child, {"never"}, 20,
               asio::bind_cancellation_slot(
                   cancel.slot(), asio::bind_executor(io, [&](std::exception_ptr e, long) { error = e; })));
  while (reads.str() != "partial\r\n") ASSERT_EQ(io.run_one(), 1u);
  cancel.emit(asio::cancellation_type::total);
  io.run();
  EXPECT_TRUE(aborted(error));
  EXPECT_EQ(child->buffer, "old partial\r\n");
  EXPECT_EQ(child->before, "earlier");
  EXPECT_EQ(child->expect_exact("partial", 0), 0);
  EXPECT_EQ(child->before, "old ");

  // The wait for the end can be cancelled too, and the child is still there to wait for.
  std::exception_ptr wait_error = std::make_exception_ptr(0);
  async_wait_exit(
      *child, asio::bind_cancellation_slot(
                  cancel.slot(), asio::bind_executor(
                                     io, [&](std::exception_ptr e, std::optional<int>) { wait_error = e; })));
  io.restart();
  io.poll();
  cancel.emit(asio::cancellation_type::terminal);
  io.run();
  EXPECT_TRUE(aborted(wait_error));
  EXPECT_TRUE(child->isalive());
}
