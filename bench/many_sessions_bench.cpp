// The library's side of the many-sessions benchmark (bench/many_baseline.c is the C side).
//
// usage: many_sessions_bench exchange asio|any|threads N SCRIPT
//        many_sessions_bench flood asio|threads N PRODUCER BYTES
//        many_sessions_bench idle N SCRIPT
// exchange: each child (sh -c SCRIPT) prints "number? ", is sent its index, answers its square.
// flood: each child runs PRODUCER BYTES; every byte read is counted and hashed.
// asio: one thread, the Asio adapter; any: one thread, expect_any over every open session;
// threads: one thread per session with the blocking calls. Children start without waiting for
// their exec, as the baseline's forkpty does.
// idle: N sessions each waiting in async_expect for text that never comes; measures the CPU
// used over 2 s and the memory each pending session costs.
// Prints one line in the format of many_baseline.
#include <sys/resource.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pexpect_custom/asio.hpp"
#include "pexpect_custom/pexpect_custom.hpp"

using namespace pexpect_custom;

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec) + static_cast<double>(usage.ru_utime.tv_usec) / 1e6 +
         static_cast<double>(usage.ru_stime.tv_sec) + static_cast<double>(usage.ru_stime.tv_usec) / 1e6;
}

long status_kib(const std::string& field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + field.size());
  }
  return -1;
}

// Each session holds its terminal, its child's end notice and, until the exec is confirmed, the
// exec notice. Returns false when even the hard limit is too low for `count` sessions.
bool raise_descriptor_limit(long count) {
  const rlim_t needed = static_cast<rlim_t>(count) * 3 + 64;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_cur >= needed) return true;
  if (limit.rlim_max < needed) {
    std::fprintf(stderr, "%ld sessions need %lu descriptors; the hard limit is %lu\n", count,
                 static_cast<unsigned long>(needed), static_cast<unsigned long>(limit.rlim_max));
    return false;
  }
  limit.rlim_cur = needed;
  return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

struct session {
  std::unique_ptr<spawn> child;
  long index = 0;
  bool right = false;
  std::uint64_t bytes = 0;
  std::uint64_t hash = 1469598103934665603ULL;
};

void add_to_hash(session& s, const std::string& data) {
  for (unsigned char byte : data) s.hash = (s.hash ^ byte) * 1099511628211ULL;
  s.bytes += data.size();
}

std::unique_ptr<spawn> start(const std::string& command, const std::vector<std::string>& args) {
  spawn_options quick{.timeout = 300,
                      .delaybeforesend = 0,
                      .delayafterclose = 0,
                      .delayafterterminate = 0,
                      .delayafterread = 0,
                      .wait_for_exec = false};
  return std::make_unique<spawn>(command, args, quick);
}

// Patterns made outside the coroutines: g++ 12 rejects braced lists inside their bodies.
const pattern_list prompt{"number? "};
// Compiled once and shared: a compiled expression is safe to use from many sessions at once.
const pattern_list answer{Regex("square: (\\d+)\r\n")};
const pattern_list chunk_or_end{Regex("(?s).+"), EOF_marker};
const pattern_list never{"never"};

// ---- the exchange --------------------------------------------------------------------------

asio::awaitable<void> exchange_async(session& s) {
  co_await async_expect_exact(*s.child, prompt, 300, asio::use_awaitable);
  s.child->sendline(std::to_string(s.index));
  co_await async_expect(*s.child, answer, 300, asio::use_awaitable);
  s.right = s.child->group(1) == std::to_string(s.index * s.index);
  co_await async_wait_exit(*s.child, asio::use_awaitable);
  s.child->close();
}

// Every open session in one expect_any call, each with what it waits for next; the session that
// ends the call moves on, and leaves the list once its child has ended.
void exchange_any(std::vector<session>& sessions) {
  enum class stage { prompt, answer, end };
  std::vector<expect_request> requests;
  std::vector<std::size_t> owners;
  std::vector<stage> stages(sessions.size(), stage::prompt);
  for (std::size_t i = 0; i < sessions.size(); ++i) {
    requests.push_back(on_exact(*sessions[i].child, prompt));
    owners.push_back(i);
  }
  while (!requests.empty()) {
    const expect_any_result result = expect_any(requests, 300);
    session& s = sessions[owners[result.session]];
    stage& at = stages[owners[result.session]];
    expect_request& request = requests[result.session];
    if (at == stage::prompt) {
      s.child->sendline(std::to_string(s.index));
      request = on(*s.child, answer);
      at = stage::answer;
    } else if (at == stage::answer) {
      s.right = s.child->group(1) == std::to_string(s.index * s.index);
      request = on_exact(*s.child, {EOF_marker});
      at = stage::end;
    } else {
      s.child->close();
      request = requests.back();
      requests.pop_back();
      owners[result.session] = owners.back();
      owners.pop_back();
    }
  }
}

void exchange_blocking(session& s) {
  s.child->expect_exact(prompt, 300);
  s.child->sendline(std::to_string(s.index));
  s.child->expect(answer, 300);
  s.right = s.child->group(1) == std::to_string(s.index * s.index);
  s.child->expect(EOF_marker, 300);
  s.child->close();
}

// ---- the flood: every chunk is taken as it comes --------------------------------------------

asio::awaitable<void> flood_async(session& s) {
  for (;;) {
    const long index = co_await async_expect(*s.child, chunk_or_end, 300, asio::use_awaitable);
    if (index != 0) break;
    add_to_hash(s, s.child->matched_text().value_or(""));
  }
  add_to_hash(s, s.child->before_text());
  s.child->close();
  s.right = s.child->exitstatus == 0;
}

void flood_blocking(session& s) {
  while (s.child->expect_list(chunk_or_end, 300) == 0) add_to_hash(s, *s.child->matched_text());
  add_to_hash(s, s.child->before_text());
  s.child->close();
  s.right = s.child->exitstatus == 0;
}

template <typename Async, typename Blocking>
void drive(std::vector<session>& sessions, bool threads, Async async_body, Blocking blocking_body) {
  if (threads) {
    std::vector<std::thread> workers;
    workers.reserve(sessions.size());
    for (session& s : sessions) workers.emplace_back([&s, blocking_body] { blocking_body(s); });
    for (std::thread& worker : workers) worker.join();
    return;
  }
  asio::io_context io(1);
  for (session& s : sessions) {
    asio::co_spawn(io, async_body(s), [](std::exception_ptr error) {
      if (!error) return;
      try {
        std::rethrow_exception(error);
      } catch (const std::exception& failure) {
        std::fprintf(stderr, "%s\n", failure.what());
      }
    });
  }
  io.run();
}

int idle(long count, const std::string& script) {
  std::vector<session> sessions(static_cast<std::size_t>(count));
  for (session& s : sessions) s.child = start("/bin/sh", {"-c", script});
  asio::io_context io(1);
  // Each child is waiting at its prompt; the library's share is what the pending operations add.
  for (session& s : sessions) s.child->expect_exact(prompt, 300);
  io.run_for(std::chrono::milliseconds(100));
  const long rss_before = status_kib("VmRSS:");
  for (session& s : sessions)
    async_expect(*s.child, never, 300, asio::bind_executor(io, [](std::exception_ptr, long) {}));
  io.run_for(std::chrono::milliseconds(500));
  const long rss_after = status_kib("VmRSS:");
  const double cpu_start = cpu_seconds();
  io.run_for(std::chrono::seconds(2));
  const double idle_cpu = cpu_seconds() - cpu_start;
  std::printf("idle_cpu=%.3f kib_per_pending_session=%.2f ok=%ld\n", idle_cpu,
              static_cast<double>(rss_after - rss_before) / static_cast<double>(count), count);
  io.stop();
  for (session& s : sessions) s.child->close(true);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr,
                 "usage: many_sessions_bench exchange|flood asio|any|threads N ... | idle N SCRIPT\n");
    return 2;
  }
  const std::string job = argv[1];
  const long count = std::atol(argv[job == "idle" ? 2 : 3]);
  if (!raise_descriptor_limit(count)) return 1;
  if (job == "idle") return idle(count, argv[3]);
  const bool threads = std::strcmp(argv[2], "threads") == 0;
  const bool any = std::strcmp(argv[2], "any") == 0;
  const bool flood = job == "flood";

  std::vector<session> sessions(static_cast<std::size_t>(count));
  const long rss_before = status_kib("VmRSS:");
  const double start_time = now();
  const double cpu_start = cpu_seconds();
  for (long i = 0; i < count; ++i) {
    session& s = sessions[static_cast<std::size_t>(i)];
    s.index = i;
    s.child = flood ? start(argv[4], {argv[5]}) : start("/bin/sh", {"-c", argv[4]});
    if (flood) s.child->maxread = 65536;
  }
  const double started = now();
  if (flood) {
    drive(sessions, threads, flood_async, flood_blocking);
  } else if (any) {
    exchange_any(sessions);
  } else {
    drive(sessions, threads, exchange_async, exchange_blocking);
  }
  const double wall = now() - start_time;
  const double cpu = cpu_seconds() - cpu_start;
  const long peak = status_kib("VmHWM:");
  long right = 0;
  bool consistent = true;
  for (const session& s : sessions) {
    right += s.right ? 1 : 0;
    consistent = consistent && s.bytes == sessions[0].bytes && s.hash == sessions[0].hash;
  }
  std::printf("wall=%.3f after_start=%.3f cpu=%.3f kib_per_session=%.1f ok=%ld", wall, now() - started, cpu,
              static_cast<double>(peak - rss_before) / static_cast<double>(count), right);
  if (flood) {
    std::printf(" bytes=%" PRIu64 " hash=%016" PRIx64 " consistent=%d", sessions[0].bytes, sessions[0].hash,
                consistent ? 1 : 0);
  }
  std::printf("\n");
  return right == count ? 0 : 1;
}
