// Drives many interactive programs at once from one thread: each child asks for a number and
// prints its square; one coroutine per child answers it, and Asio's event loop waits on them all.
//
// Usage: example_many_sessions [N]   (default 1000)
#include <sys/resource.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "pexpect_custom/asio.hpp"
#include "pexpect_custom/pexpect_custom.hpp"

using namespace pexpect_custom;

namespace {

const char* const child_script = "printf 'number? '; read n; echo \"square: $((n * n))\"";

// Each session holds its terminal and up to two descriptors on its child's end.
void raise_descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

long read_number(const char* path) {
  std::ifstream in(path);
  long value = -1;
  in >> value;
  return value;
}

// The system-wide number of terminals still free, or -1 when it cannot be told.
long free_terminals() {
  const long max = read_number("/proc/sys/kernel/pty/max");
  const long used = read_number("/proc/sys/kernel/pty/nr");
  return max < 0 || used < 0 ? -1 : max - used;
}

struct tally {
  int answered = 0;
  int failed = 0;
};

// Braced pattern lists are made outside the coroutine bodies: g++ 12 rejects them inside.
const pattern_list prompt{"number? "};
// Compiled once, shared by every session.
const pattern_list answer{Regex("square: (\\d+)\r\n")};

asio::awaitable<void> answer_one(spawn& child, long number, tally& counts) {
  co_await async_expect_exact(child, prompt, 60, asio::use_awaitable);
  child.sendline(std::to_string(number));
  co_await async_expect(child, answer, 60, asio::use_awaitable);
  const bool right = child.group(1) == std::to_string(number * number);
  const std::optional<int> status = co_await async_wait_exit(child, asio::use_awaitable);
  child.close();
  if (right && status == 0) {
    ++counts.answered;
  } else {
    ++counts.failed;
  }
}

}  // namespace

int main(int argc, char** argv) {
  long sessions = argc > 1 ? std::atol(argv[1]) : 1000;
  raise_descriptor_limit();
  const long free = free_terminals();
  if (free >= 0 && sessions > free - 16) {
    std::cerr << "only " << free
              << " terminals are free (/proc/sys/kernel/pty/max); running fewer sessions\n";
    sessions = free - 16;
  }

  const auto start = std::chrono::steady_clock::now();
  spawn_options quick{.timeout = 60,
                      .delaybeforesend = 0,
                      .delayafterclose = 0,
                      .delayafterterminate = 0,
                      .delayafterread = 0};
  std::vector<std::unique_ptr<spawn>> children;
  children.reserve(static_cast<std::size_t>(sessions));
  for (long i = 0; i < sessions; ++i) {
    children.push_back(
        std::make_unique<spawn>("/bin/sh", std::vector<std::string>{"-c", child_script}, quick));
  }

  asio::io_context io;
  tally counts;
  for (long i = 0; i < sessions; ++i) {
    asio::co_spawn(io, answer_one(*children[static_cast<std::size_t>(i)], i, counts),
                   [&counts](std::exception_ptr error) {
                     if (!error) return;
                     ++counts.failed;
                     try {
                       std::rethrow_exception(error);
                     } catch (const std::exception& failure) {
                       std::cerr << failure.what() << "\n";
                     }
                   });
  }
  io.run();

  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::cout << sessions << " sessions: " << counts.answered << " answered, " << counts.failed
            << " failed, in " << seconds << " s\n";
  return counts.answered == sessions ? 0 : 1;
}
