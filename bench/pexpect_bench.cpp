// The benchmark driver: runs each job with the library and with its C baseline, several times
// and interleaved so that both see the same machine, and reports medians and their ratios.
// Each job has two costs: its wall time, which the targets are stated in, and the CPU time
// (user + system) of the process doing the reading or relaying, which shows what the library
// itself adds and varies much less when other work shares the machine.
//
// usage: pexpect_bench [--quick] [--runs N] [--markdown FILE] [--defaults-markdown FILE] [--data FILE]
//        pexpect_bench --screen [--runs N]
//        pexpect_bench --profile JOB [--runs N] [--mib N]
//   --quick     fewer runs and sizes
//   --screen    only the rows of a screen on the session, printed with their Markdown lines
//   --markdown  writes the results table (Markdown) to FILE
//   --defaults-markdown  writes the table of the jobs with every field at its default to FILE
//   --data      writes time against output size of the marker jobs to FILE (for gnuplot)
//   --profile   runs one job alone and prints its costs, for a profiler or to compare two
//               builds: read, read-screen (read with a screen attached), sgr, sgr-screen (coloured
//               lines), redraw, redraw-screen (a full-screen program's repaints), exact, regex, spawn, relay,
//               idle, defaults-read, defaults-exact, defaults-regex, defaults-spawn, defaults-read-no-pause
//               (maxread 2000, no pause), shell, shell-no-pause, defaults-shell, run-prompt
//               (20 prompts, delaybeforesend 0), defaults-run-prompt, or baseline-read, baseline-find,
//               baseline-spawn, baseline-relay, baseline-read-2000, baseline-find-2000,
//               baseline-shell (--mib: output size, default 64)

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "baseline.h"
#include "expect/rescanning_search.hpp"
#include "pexpect_custom/pexpect_custom.hpp"

using namespace pexpect_custom;

namespace {

constexpr long long MiB = 1024 * 1024;
const std::string marker = "BENCH-DONE-4242";
const std::string marker_regex = "BENCH-DONE-(\\d+)";
constexpr long fast_maxread = 65536;

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what);
}

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double own_cpu() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// CPU time (user + system) a process has had so far; readable until it is reaped.
double process_cpu(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/schedstat");
  double nanoseconds = 0;
  if (!(stat >> nanoseconds)) fail("no schedstat for process " + std::to_string(pid));
  return nanoseconds / 1e9;
}

struct cost {
  double wall = 0;
  double cpu = 0;
};

// Measures a job done in this process: its wall time and this process's CPU time (children
// excluded, so the producer's share is not counted).
class stopwatch {
 public:
  stopwatch() : wall_(now()), cpu_(own_cpu()) {}
  cost stop() const { return {now() - wall_, own_cpu() - cpu_}; }

 private:
  double wall_;
  double cpu_;
};

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// ---- the jobs ---------------------------------------------------------------------------------

void fast_settings(spawn& child, long maxread, double pause) {
  child.maxread = maxread;
  child.delayafterread = pause;
  child.delayafterclose = 0;
  child.delayafterterminate = 0;
}

// What the producer writes: build-log lines, the same lines coloured, or a full-screen
// program's repaints.
enum class output_kind { log, coloured, redraws };

std::vector<std::string> producer_args(long long bytes, output_kind kind) {
  if (kind == output_kind::log) return {std::to_string(bytes)};
  return {kind == output_kind::coloured ? "--sgr" : "--redraw", std::to_string(bytes)};
}

// Start, read everything through expect(EOF), close; with `screen`, every byte read is also fed
// to a screen attached to the session.
cost library_read(long long bytes, long maxread, double pause, bool screen = false,
                  output_kind kind = output_kind::log) {
  stopwatch watch;
  spawn child(BENCH_PRODUCER, producer_args(bytes, kind));
  fast_settings(child, maxread, pause);
  if (screen) child.attach_screen();
  child.expect(EOF_marker, std::nullopt);
  child.close();
  const cost spent = watch.stop();
  if (!child.before || static_cast<long long>(child.before->size()) < bytes) fail("short read");
  return spent;
}

// The plain rule, every expression searched from the start after every chunk, for comparison.
class rescanning_searcher : public searcher_re {
 public:
  using searcher_re::searcher_re;
  long search(std::string_view buffer, long, std::optional<long> window) override {
    return detail::rescanning_search(*this, buffer, window);
  }
  long continue_search(std::string_view buffer, long freshlen, std::optional<long> window) override {
    return search(buffer, freshlen, window);
  }
};

enum class marker_kind { exact, regex, rescanning };

// Start, wait for the marker at the end of the output, read to the end, close.
cost library_marker(long long bytes, marker_kind kind, long maxread, double pause) {
  stopwatch watch;
  spawn child(BENCH_PRODUCER, {std::to_string(bytes), marker});
  fast_settings(child, maxread, pause);
  long index = -1;
  switch (kind) {
    case marker_kind::exact:
      index = child.expect_exact(marker, std::nullopt);
      break;
    case marker_kind::regex:
      index = child.expect(marker_regex, std::nullopt);
      break;
    case marker_kind::rescanning:
      index = child.expect_loop(
          std::make_shared<rescanning_searcher>(child.compile_pattern_list(marker_regex)), std::nullopt);
      break;
  }
  child.expect(EOF_marker, std::nullopt);
  child.close();
  const cost spent = watch.stop();
  if (index != 0) fail("marker not found");
  return spent;
}

cost baseline_job(long long bytes, bool with_marker) {
  std::string size = std::to_string(bytes);
  std::string marker_text = marker;
  std::vector<char*> argv = {const_cast<char*>(BENCH_PRODUCER), size.data()};
  if (with_marker) argv.push_back(marker_text.data());
  argv.push_back(nullptr);
  int found = 0;
  stopwatch watch;
  const long long read = baseline_read(argv.data(), with_marker ? marker.c_str() : nullptr, &found);
  const cost spent = watch.stop();
  if (read < bytes || (with_marker && !found)) fail("baseline read failed");
  return spent;
}

cost per_spawn(cost total, int count) {
  return {total.wall / count, total.cpu / count};
}

// Per spawn: start /bin/true, read to end of file, close.
cost library_spawns(int count) {
  stopwatch watch;
  for (int i = 0; i < count; ++i) {
    spawn child("/bin/true", {}, spawn_options{});
    fast_settings(child, 2000, 0);
    child.delaybeforesend = 0;
    child.expect(EOF_marker, std::nullopt);
    child.close();
  }
  return per_spawn(watch.stop(), count);
}

cost baseline_spawns(int count) {
  char program[] = "/bin/true";
  char* argv[] = {program, nullptr};
  stopwatch watch;
  for (int i = 0; i < count; ++i) {
    if (baseline_read(argv, nullptr, nullptr) < 0) fail("baseline spawn failed");
  }
  return per_spawn(watch.stop(), count);
}

// ---- every field at its default ---------------------------------------------------------------

// The chunk size of the baseline the defaults are compared with: the default maxread.
constexpr std::size_t default_chunk = 2000;

cost baseline_sized_job(long long bytes, bool with_marker, std::size_t chunk) {
  std::string size = std::to_string(bytes);
  std::string marker_text = marker;
  std::vector<char*> argv = {const_cast<char*>(BENCH_PRODUCER), size.data()};
  if (with_marker) argv.push_back(marker_text.data());
  argv.push_back(nullptr);
  int found = 0;
  stopwatch watch;
  const long long read =
      baseline_read_sized(argv.data(), with_marker ? marker.c_str() : nullptr, &found, chunk);
  const cost spent = watch.stop();
  if (read < bytes || (with_marker && !found)) fail("baseline read failed");
  return spent;
}

// Start, read everything through expect(EOF), close; nothing changed from the defaults.
cost defaults_read(long long bytes) {
  stopwatch watch;
  spawn child(BENCH_PRODUCER, {std::to_string(bytes)});
  child.expect(EOF_marker);
  child.close();
  const cost spent = watch.stop();
  if (!child.before || static_cast<long long>(child.before->size()) < bytes) fail("short read");
  return spent;
}

// Start, wait for the marker, read to the end, close; nothing changed from the defaults.
cost defaults_marker(long long bytes, marker_kind kind) {
  stopwatch watch;
  spawn child(BENCH_PRODUCER, {std::to_string(bytes), marker});
  const long index = kind == marker_kind::exact ? child.expect_exact(marker) : child.expect(marker_regex);
  child.expect(EOF_marker);
  child.close();
  const cost spent = watch.stop();
  if (index != 0) fail("marker not found");
  return spent;
}

// Per spawn: start /bin/true, read to end of file, close; nothing changed from the defaults.
cost defaults_spawns(int count) {
  stopwatch watch;
  for (int i = 0; i < count; ++i) {
    spawn child("/bin/true");
    child.expect(EOF_marker);
    child.close();
  }
  return per_spawn(watch.stop(), count);
}

const std::vector<std::string> shell_command = {"/bin/sh"};
constexpr int shell_steps = 200;

// A shell driven through `steps` sendline/expect steps, then "exit" and end of file; every field
// at its default but delaybeforesend.
cost library_shell(int steps, double delaybeforesend, double delayafterread = defaults::delayafterread) {
  stopwatch watch;
  spawn child(shell_command[0], {});
  child.delaybeforesend = delaybeforesend;
  child.delayafterread = delayafterread;
  for (int step = 0; step < steps; ++step) {
    child.sendline("printf 'st%sp\\n' " + std::to_string(step));
    if (child.expect_exact("st" + std::to_string(step) + "p") != 0) fail("shell step lost");
  }
  child.sendline("exit");
  child.expect(EOF_marker);
  child.close();
  const cost spent = watch.stop();
  if (child.exitstatus != 0) fail("shell failed");
  return spent;
}

cost baseline_shell_job(int steps) {
  std::vector<char*> argv;
  for (const auto& word : shell_command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  stopwatch watch;
  const int status = baseline_shell(argv.data(), steps);
  const cost spent = watch.stop();
  if (status != 0) fail("baseline shell failed");
  return spent;
}

// Per prompt: the password prompt of bench/prompt.c answered through `run`, `count` times, every
// field at its default, or with the tuned setting delaybeforesend 0.
cost run_prompts(int count, bool tuned) {
  run_options options{.withexitstatus = true,
                      .events = run_events{{"Password: ", run_response(std::string("secret\n"))}}};
  if (tuned) options.delaybeforesend = 0;
  stopwatch watch;
  for (int i = 0; i < count; ++i) {
    const run_result result = run(BENCH_PROMPT, options);
    if (result.exitstatus != 0) fail("the prompt did not get its answer: " + result.output);
  }
  return per_spawn(watch.stop(), count);
}

// A relay process with its output to /dev/null and, as input, a pipe nobody writes to.
struct relay_process {
  pid_t pid = -1;
  int input = -1;  // write end of the input pipe, held open while the relay runs
};

relay_process start_relay(const std::vector<std::string>& words) {
  int input[2];
  if (pipe2(input, O_CLOEXEC) != 0) fail("pipe");
  std::vector<char*> argv;
  for (const auto& word : words) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(input[0], STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(input[0]);
  return {pid, input[1]};
}

// Waits for the process to end and returns the CPU time it used (read before it is reaped).
double finish_process(pid_t pid) {
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0) {
    if (errno != EINTR) fail("waitid");
  }
  const double cpu = process_cpu(pid);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("a job's process failed");
  return cpu;
}

double finish_relay(const relay_process& relay) {
  const double cpu = finish_process(relay.pid);
  close(relay.input);
  return cpu;
}

std::vector<std::string> launcher_words(std::vector<std::string> command) {
  command.insert(command.begin(), BENCH_LAUNCHER);
  return command;
}

std::vector<std::string> baseline_relay_words(std::vector<std::string> command) {
  command.insert(command.begin(), {BENCH_BASELINE, "relay"});
  return command;
}

cost timed_relay(const std::vector<std::string>& words) {
  const double start = now();
  const relay_process relay = start_relay(words);
  const double cpu = finish_relay(relay);
  return {now() - start, cpu};
}

const std::vector<std::string> idle_command = {"/bin/sh", "-c", "sleep 2; echo idle-done"};

// Runs `job` in a child process of its own; returns its process id.
pid_t fork_job(const std::function<void()>& job) {
  pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    try {
      job();
      _exit(0);
    } catch (...) {
      _exit(1);
    }
  }
  return pid;
}

struct idle_cpu {
  double baseline_wait, library_expect, baseline_relay, launcher_relay;
};

// The four waits side by side, each in a process of its own, on a child that prints nothing for
// 2 s: the CPU each process gets from 0.3 s to 1.8 s, when all of them are only waiting.
idle_cpu idle_waits() {
  const pid_t baseline_wait = fork_job([] {
    std::vector<char*> argv;
    for (const auto& word : idle_command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    int found = 0;
    if (baseline_read(argv.data(), "idle-done", &found) < 0 || !found) fail("no output");
  });
  const pid_t library_expect = fork_job([] {
    spawn child(idle_command[0], {idle_command[1], idle_command[2]});
    child.expect_exact("idle-done", std::nullopt);
    child.expect(EOF_marker, std::nullopt);
    child.close();
  });
  relay_process base = start_relay(baseline_relay_words(idle_command));
  relay_process ours = start_relay(launcher_words(idle_command));
  const std::vector<pid_t> pids = {baseline_wait, library_expect, base.pid, ours.pid};

  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::vector<double> used;
  for (pid_t pid : pids) used.push_back(process_cpu(pid));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  for (std::size_t i = 0; i < pids.size(); ++i) used[i] = process_cpu(pids[i]) - used[i];

  finish_process(baseline_wait);
  finish_process(library_expect);
  finish_relay(base);
  finish_relay(ours);
  return {used[0], used[1], used[2], used[3]};
}

// A process of its own that holds `bytes` of memory it has written to (so that all of it is
// mapped), and on request times a round of starts from there: 'l' the library with its defaults,
// 'b' the forkpty baseline; 'q' ends it.
class large_caller {
 public:
  large_caller(long long bytes, int count) {
    int requests[2], answers[2];
    if (pipe2(requests, O_CLOEXEC) != 0 || pipe2(answers, O_CLOEXEC) != 0) fail("pipe");
    pid_ = fork_job([&] {
      ::close(requests[1]);
      ::close(answers[0]);
      std::unique_ptr<char[]> memory(new char[static_cast<std::size_t>(bytes)]);
      for (long long at = 0; at < bytes; at += 4096) memory[static_cast<std::size_t>(at)] = 1;
      serve(requests[0], answers[1], count);
    });
    ::close(requests[0]);
    ::close(answers[1]);
    to_ = requests[1];
    from_ = answers[0];
    if (ask('r').wall != 0) fail("the large caller did not start");
  }
  large_caller(const large_caller&) = delete;
  large_caller& operator=(const large_caller&) = delete;
  ~large_caller() {
    const char quit = 'q';
    if (::write(to_, &quit, 1) == 1) finish_process(pid_);
    ::close(to_);
    ::close(from_);
  }

  cost ask(char job) {
    cost answer;
    if (::write(to_, &job, 1) != 1 || !read_whole(from_, &answer, sizeof answer)) fail("large caller");
    return answer;
  }

 private:
  static bool read_whole(int fd, void* into, std::size_t size) {
    auto* bytes = static_cast<char*>(into);
    while (size > 0) {
      const ssize_t n = ::read(fd, bytes, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }

  static void serve(int requests, int answers, int count) {
    for (char job; read_whole(requests, &job, 1) && job != 'q';) {
      const cost answer = job == 'l' ? defaults_spawns(count) : job == 'b' ? baseline_spawns(count) : cost{};
      if (::write(answers, &answer, sizeof answer) != static_cast<ssize_t>(sizeof answer)) fail("answer");
    }
  }

  pid_t pid_ = -1;
  int to_ = -1;
  int from_ = -1;
};

std::string load_average() {
  std::ifstream file("/proc/loadavg");
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// ---- reporting --------------------------------------------------------------------------------

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string seconds_text(double seconds) {
  if (seconds < 0.01) return fixed(seconds * 1e3, 3) + " ms";
  return fixed(seconds, 3) + " s";
}

std::string cost_text(const cost& c, long long bytes = 0) {
  std::string text = seconds_text(c.wall);
  if (bytes > 0) text += " (" + fixed(static_cast<double>(bytes) / MiB / c.wall, 1) + " MiB/s)";
  return text + "<br>CPU " + seconds_text(c.cpu);
}

struct row {
  std::string job;
  std::string baseline;
  std::string library;
  std::string ratio;      // the wall-time ratio the target is stated in
  std::string cpu_ratio;  // library CPU / baseline CPU
  std::string target;
  std::string verdict;
};

std::string verdict(bool met) {
  return met ? "met" : "**missed**";
}

// Throughput (baseline wall / library wall) against a minimum.
row throughput_row(std::string job, const cost& base, const cost& ours, long long bytes,
                   std::optional<double> minimum) {
  const double ratio = base.wall / ours.wall;
  return {std::move(job),
          cost_text(base, bytes),
          cost_text(ours, bytes),
          fixed(ratio, 2) + "x throughput",
          fixed(ours.cpu / base.cpu, 2) + "x",
          minimum ? ">= " + fixed(*minimum, 2) + "x" : "",
          minimum ? verdict(ratio >= *minimum) : ""};
}

// Time (library wall / baseline wall) against a maximum.
row time_row(std::string job, const cost& base, const cost& ours, std::optional<double> maximum) {
  const double ratio = ours.wall / base.wall;
  return {std::move(job),
          cost_text(base),
          cost_text(ours),
          fixed(ratio, 2) + "x time",
          fixed(ours.cpu / base.cpu, 2) + "x",
          maximum ? "<= " + fixed(*maximum, 2) + "x" : "",
          maximum ? verdict(ratio <= *maximum) : ""};
}

// Adds a target on the CPU ratio to a row.
row with_cpu_target(row r, const cost& base, const cost& ours, double maximum) {
  const std::string separator = r.target.empty() ? "" : "<br>";
  r.target += separator + "CPU <= " + fixed(maximum, 2) + "x";
  r.verdict += separator + verdict(ours.cpu / base.cpu <= maximum);
  return r;
}

// Runs each job `runs` times, the jobs in turn within each run, and returns the medians.
std::vector<cost> medians(int runs, const std::vector<std::function<cost()>>& jobs) {
  std::vector<std::vector<double>> walls(jobs.size()), cpus(jobs.size());
  for (int run = 0; run < runs; ++run) {
    for (std::size_t j = 0; j < jobs.size(); ++j) {
      const cost c = jobs[j]();
      walls[j].push_back(c.wall);
      cpus[j].push_back(c.cpu);
    }
  }
  std::vector<cost> result;
  for (std::size_t j = 0; j < jobs.size(); ++j) {
    result.push_back({median(walls[j]), median(cpus[j])});
  }
  return result;
}

void print_row(const row& r) {
  auto plain = [](std::string text) {
    for (std::size_t at; (at = text.find("<br>")) != std::string::npos;) text.replace(at, 4, ", ");
    return text;
  };
  std::cout << "  " << r.job << "\n      baseline " << plain(r.baseline) << " | library " << plain(r.library)
            << (r.ratio.empty() ? "" : " | " + r.ratio)
            << (r.cpu_ratio.empty() ? "" : " | CPU " + r.cpu_ratio)
            << (r.target.empty() ? "" : " (target " + r.target + ": " + r.verdict + ")") << std::endl;
}

// A screen on the session: the same read with a screen fed every byte, against the read
// without one, for build-log lines (64 MiB), coloured lines and a full-screen program's
// repaints (16 MiB each).
std::vector<row> screen_rows(int runs) {
  std::vector<row> rows;
  const long long bulk = 64 * MiB;
  {
    auto m = medians(runs, {[&] { return library_read(bulk, fast_maxread, 0); },
                            [&] { return library_read(bulk, fast_maxread, 0, true); }});
    rows.push_back(
        with_cpu_target(throughput_row("Read 64 MiB to EOF with a screen attached, against the same "
                                       "read without one (maxread 65536, pause 0)",
                                       m[0], m[1], bulk, std::nullopt),
                        m[0], m[1], 1.5));
  }
  for (const output_kind kind : {output_kind::coloured, output_kind::redraws}) {
    const long long size = 16 * MiB;
    auto m = medians(runs, {[&] { return library_read(size, fast_maxread, 0, false, kind); },
                            [&] { return library_read(size, fast_maxread, 0, true, kind); }});
    const std::string what =
        kind == output_kind::coloured ? "SGR-coloured lines" : "a full-screen program's repaints";
    rows.push_back(with_cpu_target(throughput_row("Read 16 MiB of " + what +
                                                      " to EOF with a screen attached, against the same "
                                                      "read without one (maxread 65536, pause 0)",
                                                  m[0], m[1], size, std::nullopt),
                                   m[0], m[1], 4));
  }
  return rows;
}

// One job alone, for a profiler or an A/B comparison of two builds.
int profile(const std::string& job, int runs, long long bytes) {
  const std::vector<std::string> relayed = {BENCH_PRODUCER, std::to_string(bytes)};
  for (int i = 0; i < runs; ++i) {
    cost c;
    if (job == "read")
      c = library_read(bytes, fast_maxread, 0);
    else if (job == "read-screen")
      c = library_read(bytes, fast_maxread, 0, true);
    else if (job == "sgr" || job == "sgr-screen")
      c = library_read(bytes, fast_maxread, 0, job == "sgr-screen", output_kind::coloured);
    else if (job == "redraw" || job == "redraw-screen")
      c = library_read(bytes, fast_maxread, 0, job == "redraw-screen", output_kind::redraws);
    else if (job == "exact")
      c = library_marker(bytes, marker_kind::exact, fast_maxread, 0);
    else if (job == "regex")
      c = library_marker(bytes, marker_kind::regex, fast_maxread, 0);
    else if (job == "spawn")
      c = library_spawns(200);
    else if (job == "relay")
      c = timed_relay(launcher_words(relayed));
    else if (job == "defaults-read")
      c = defaults_read(bytes);
    else if (job == "defaults-exact")
      c = defaults_marker(bytes, marker_kind::exact);
    else if (job == "defaults-regex")
      c = defaults_marker(bytes, marker_kind::regex);
    else if (job == "defaults-spawn")
      c = defaults_spawns(200);
    else if (job == "shell")
      c = library_shell(shell_steps, 0);
    else if (job == "defaults-read-no-pause")
      c = library_read(bytes, 2000, 0);
    else if (job == "shell-no-pause")
      c = library_shell(shell_steps, 0, 0);
    else if (job == "defaults-shell")
      c = library_shell(shell_steps, defaults::delaybeforesend);
    else if (job == "run-prompt")
      c = run_prompts(20, true);
    else if (job == "defaults-run-prompt")
      c = run_prompts(20, false);
    else if (job == "baseline-read-2000")
      c = baseline_sized_job(bytes, false, default_chunk);
    else if (job == "baseline-find-2000")
      c = baseline_sized_job(bytes, true, default_chunk);
    else if (job == "baseline-shell")
      c = baseline_shell_job(shell_steps);
    else if (job == "baseline-read")
      c = baseline_job(bytes, false);
    else if (job == "baseline-find")
      c = baseline_job(bytes, true);
    else if (job == "baseline-spawn")
      c = baseline_spawns(200);
    else if (job == "baseline-relay")
      c = timed_relay(baseline_relay_words(relayed));
    else if (job == "idle") {
      const idle_cpu cpu = idle_waits();
      std::cout << "idle CPU, ms: baseline wait " << cpu.baseline_wait * 1e3 << ", expect "
                << cpu.library_expect * 1e3 << ", baseline relay " << cpu.baseline_relay * 1e3
                << ", launcher " << cpu.launcher_relay * 1e3 << std::endl;
      continue;
    } else {
      fail("no such job: " + job);
    }
    std::cout << job << ": " << c.wall << " s, CPU " << c.cpu << " s" << std::endl;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  int runs = 5;
  std::string markdown_path, defaults_path, data_path, profile_job;
  bool screen_only = false;
  long long profile_mib = 64;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--quick") {
      quick = true;
      runs = 3;
    } else if (word == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (word == "--markdown" && i + 1 < argc) {
      markdown_path = argv[++i];
    } else if (word == "--defaults-markdown" && i + 1 < argc) {
      defaults_path = argv[++i];
    } else if (word == "--data" && i + 1 < argc) {
      data_path = argv[++i];
    } else if (word == "--screen") {
      screen_only = true;
    } else if (word == "--profile" && i + 1 < argc) {
      profile_job = argv[++i];
    } else if (word == "--mib" && i + 1 < argc) {
      profile_mib = std::max(1LL, std::atoll(argv[++i]));
    } else {
      std::cerr << "usage: pexpect_bench [--quick] [--runs N] [--markdown FILE] [--defaults-markdown FILE]\n"
                   "                     [--data FILE]\n"
                   "       pexpect_bench --profile JOB [--runs N] [--mib N]\n";
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);

  try {
    if (!profile_job.empty()) return profile(profile_job, runs, profile_mib * MiB);
    if (screen_only) {
      std::cout << "Every figure is the median of " << runs
                << " runs; load average before: " << load_average() << std::endl;
      for (const row& r : screen_rows(runs)) {
        print_row(r);
        std::cout << "| " << r.job << " | " << r.baseline << " | " << r.library << " | " << r.ratio << " | "
                  << r.cpu_ratio << " | " << r.target << " | " << r.verdict << " |" << std::endl;
      }
      std::cout << "load average after: " << load_average() << std::endl;
      return 0;
    }

    std::vector<row> rows;
    auto add = [&](row r) {
      print_row(r);
      rows.push_back(std::move(r));
    };
    std::cout << "Every figure is the median of " << runs << " runs." << std::endl;

    // Warm the caches (programs, page tables) once, untimed.
    baseline_job(4 * MiB, true);
    library_marker(4 * MiB, marker_kind::regex, fast_maxread, 0);

    // Bulk read to end of file.
    const long long bulk = 64 * MiB;
    {
      auto m = medians(
          runs, {[&] { return baseline_job(bulk, false); }, [&] { return library_read(bulk, 2000, 0.0001); },
                 [&] { return library_read(bulk, fast_maxread, 0); }});
      const std::string read = "Read 64 MiB to EOF with `expect(EOF)`, ";
      add(throughput_row(read + "defaults (maxread 2000, pause 0.0001 s)", m[0], m[1], bulk, std::nullopt));
      add(with_cpu_target(throughput_row(read + "maxread 65536, pause 0", m[0], m[2], bulk, 0.9), m[0], m[2],
                          1.5));
    }
    for (row& r : screen_rows(runs)) add(std::move(r));

    // A marker at the end of N MiB, no search window. At the smaller sizes the same job runs
    // under the rescanning rule too, for the plot (it is quadratic: too slow for the largest).
    const std::vector<long long> sizes = {1, 4, 16, 64};
    const long long largest_rescanned = quick ? 4 : 16;
    // baseline, exact, regex, then with every default: baseline (2000-byte reads), exact, regex;
    // then rescanning where it runs.
    std::map<long long, std::vector<cost>> by_size;
    for (long long size : sizes) {
      const long long bytes = size * MiB;
      std::vector<std::function<cost()>> jobs = {
          [&] { return baseline_job(bytes, true); },
          [&] { return library_marker(bytes, marker_kind::exact, fast_maxread, 0); },
          [&] { return library_marker(bytes, marker_kind::regex, fast_maxread, 0); },
          [&] { return baseline_sized_job(bytes, true, default_chunk); },
          [&] { return defaults_marker(bytes, marker_kind::exact); },
          [&] { return defaults_marker(bytes, marker_kind::regex); }};
      if (size <= largest_rescanned) {
        jobs.push_back([&] { return library_marker(bytes, marker_kind::rescanning, fast_maxread, 0); });
      }
      const auto& m = by_size[size] = medians(runs, jobs);
      const std::optional<double> minimum = size == 16 ? std::optional<double>(0.8) : std::nullopt;
      const std::string at = "Marker at the end of " + std::to_string(size) + " MiB, ";
      const std::string settings = " (maxread 65536, pause 0)";
      add(throughput_row(at + "`expect_exact`" + settings, m[0], m[1], bytes, minimum));
      add(throughput_row(at + "`expect` regex" + settings, m[0], m[2], bytes, minimum));
      if (m.size() > 6) {
        add(throughput_row(at + "`expect` regex searched from the start after every chunk (the "
                                "rule before resumed searches)",
                           m[0], m[6], bytes, std::nullopt));
      }
    }
    const auto& first = by_size[sizes.front()];
    const auto& last = by_size[sizes.back()];
    for (int k : {1, 2}) {
      const double growth = last[k].wall / first[k].wall;
      const std::string which = k == 1 ? "`expect_exact`" : "`expect` regex";
      add({"Growth t(64 MiB) / t(1 MiB), " + which, fixed(last[0].wall / first[0].wall, 1), fixed(growth, 1),
           "", "", "<= 80", verdict(growth <= 80)});
    }
    {
      const auto& top = by_size[largest_rescanned];
      add({"Growth t(" + std::to_string(largest_rescanned) +
               " MiB) / t(1 MiB), `expect` regex "
               "searched from the start after every chunk",
           fixed(top[0].wall / first[0].wall, 1), fixed(top[6].wall / first[6].wall, 1), "", "", "", ""});
    }

    // Start + EOF + close of /bin/true.
    {
      const int count = quick ? 100 : 200;
      auto m = medians(runs, {[&] { return baseline_spawns(count); }, [&] { return library_spawns(count); }});
      add({"Start + EOF + close of `/bin/true`, delays 0, per spawn (" + std::to_string(count) +
               " spawns a run)",
           cost_text(m[0]), cost_text(m[1]), fixed(m[1].wall / m[0].wall, 2) + "x time",
           fixed(m[1].cpu / m[0].cpu, 2) + "x", "<= 1.3x", verdict(m[1].wall / m[0].wall <= 1.3)});
    }

    // The launcher relaying 64 MiB to /dev/null.
    {
      const std::vector<std::string> job = {BENCH_PRODUCER, std::to_string(bulk)};
      auto m = medians(runs, {[&] { return timed_relay(baseline_relay_words(job)); },
                              [&] { return timed_relay(launcher_words(job)); }});
      add(throughput_row("Launcher relaying 64 MiB to /dev/null (baseline: 1000-byte reads)", m[0], m[1],
                         bulk, 0.9));
    }

    // CPU while idle.
    {
      const int idle_runs = quick ? 1 : 3;
      std::vector<double> base_wait, ours_wait, base_relay, ours_relay;
      for (int i = 0; i < idle_runs; ++i) {
        const idle_cpu cpu = idle_waits();
        base_wait.push_back(cpu.baseline_wait);
        ours_wait.push_back(cpu.library_expect);
        base_relay.push_back(cpu.baseline_relay);
        ours_relay.push_back(cpu.launcher_relay);
      }
      const double ours_expect = median(ours_wait), ours_launcher = median(ours_relay);
      add({"CPU (user + sys) over 1.5 s of an expect waiting for output (median of " +
               std::to_string(idle_runs) + ")",
           fixed(median(base_wait) * 1e3, 3) + " ms", fixed(ours_expect * 1e3, 3) + " ms", "", "",
           "no CPU while waiting", verdict(ours_expect < 0.001)});
      add({"CPU (user + sys) over 1.5 s of the launcher relaying an idle child (median of " +
               std::to_string(idle_runs) + ")",
           fixed(median(base_relay) * 1e3, 3) + " ms", fixed(ours_launcher * 1e3, 3) + " ms", "", "",
           "no CPU while waiting", verdict(ours_launcher < 0.001)});
    }

    // Every field at its default, against baselines that read in chunks of the default maxread.
    std::vector<row> default_rows;
    auto add_default = [&](row r) {
      print_row(r);
      default_rows.push_back(std::move(r));
    };
    std::cout << "Every field at its default:" << std::endl;
    {
      auto m = medians(runs, {[&] { return baseline_sized_job(bulk, false, default_chunk); },
                              [&] { return defaults_read(bulk); }});
      add_default(with_cpu_target(
          throughput_row("Read 64 MiB to EOF with `expect(EOF)`", m[0], m[1], bulk, 0.85), m[0], m[1], 2));
      const auto& at16 = by_size[16];
      add_default(
          throughput_row("Marker at the end of 16 MiB, `expect_exact`", at16[3], at16[4], 16 * MiB, 0.8));
      add_default(
          throughput_row("Marker at the end of 16 MiB, `expect` regex", at16[3], at16[5], 16 * MiB, 0.8));
    }
    {
      const int count = quick ? 100 : 200;
      auto m =
          medians(runs, {[&] { return baseline_spawns(count); }, [&] { return defaults_spawns(count); }});
      add_default(time_row("Start + EOF + `close()` of `/bin/true`, per spawn", m[0], m[1], 1.5));
    }
    {
      auto m = medians(runs, {[&] { return baseline_shell_job(shell_steps); },
                              [&] { return library_shell(shell_steps, 0); }});
      add_default(time_row("`/bin/sh` driven through " + std::to_string(shell_steps) +
                               " `sendline`/`expect_exact` steps, delaybeforesend 0",
                           m[0], m[1], 1.2));
    }
    {
      // The pause before each send ends once the shell waits for its next line.
      auto m = medians(runs, {[&] { return baseline_shell_job(shell_steps); },
                              [&] { return library_shell(shell_steps, 0); },
                              [&] { return library_shell(shell_steps, defaults::delaybeforesend); }});
      const std::string job = "`/bin/sh` driven through " + std::to_string(shell_steps) +
                              " `sendline`/`expect_exact` steps, every field at its default";
      add_default(time_row(job + ", against the C baseline", m[0], m[2], 1.5));
      add_default(time_row(job + ", against the same with delaybeforesend 0", m[1], m[2], 1.5));
    }
    {
      const int count = quick ? 20 : 50;
      auto m = medians(runs,
                       {[&] { return run_prompts(count, true); }, [&] { return run_prompts(count, false); }});
      add_default(
          time_row("A password prompt answered through `run()` with every field at its default, "
                   "against the same with delaybeforesend 0, per prompt (" +
                       std::to_string(count) + " prompts a run)",
                   m[0], m[1], 2));
    }
    {
      const long long large = 4096 * MiB;
      const int count = quick ? 50 : 100;
      large_caller caller(large, count);
      auto m = medians(runs, {[&] { return defaults_spawns(count); }, [&] { return caller.ask('l'); },
                              [&] { return baseline_spawns(count); }, [&] { return caller.ask('b'); }});
      add_default(
          time_row("Start + EOF + `close()` of `/bin/true` from a caller holding 4 GiB, against the "
                   "same from this small caller",
                   m[0], m[1], 2));
      add_default(
          time_row("The forkpty baseline from the 4 GiB caller, against the same from this small caller",
                   m[2], m[3], std::nullopt));
    }

    if (!defaults_path.empty()) {
      std::ofstream out(defaults_path);
      out << "Every figure is the median of " << runs
          << " runs, baseline and library interleaved within each run, unless the row says otherwise.\n\n"
          << "| Job, every field at its default | Baseline | Library | Ratio | CPU ratio | Target | |\n"
          << "|---|---|---|---|---|---|---|\n";
      for (const auto& r : default_rows) {
        out << "| " << r.job << " | " << r.baseline << " | " << r.library << " | " << r.ratio << " | "
            << r.cpu_ratio << " | " << r.target << " | " << r.verdict << " |\n";
      }
    }
    if (!markdown_path.empty()) {
      std::ofstream out(markdown_path);
      out << "Every figure is the median of " << runs
          << " runs, baseline and library interleaved within each run.\n\n"
          << "| Job | Baseline | Library | Ratio | CPU ratio | Target | |\n"
          << "|---|---|---|---|---|---|---|\n";
      for (const auto& r : rows) {
        out << "| " << r.job << " | " << r.baseline << " | " << r.library << " | " << r.ratio << " | "
            << r.cpu_ratio << " | " << r.target << " | " << r.verdict << " |\n";
      }
    }
    if (!data_path.empty()) {
      // One line per size; '?' where a job was not run at that size.
      std::map<long long, std::vector<std::string>> lines;
      for (const auto& [size, m] : by_size) {
        auto& line = lines[size];
        for (std::size_t column : {0, 1, 2, 6, 3, 4, 5}) {
          line.push_back(column < m.size() ? std::to_string(m[column].wall) : "?");
        }
      }
      std::ofstream out(data_path);
      out << "# MiB  baseline_memmem_s  expect_exact_s  expect_regex_s  rescanning_regex_s"
             "  baseline_2000_s  defaults_exact_s  defaults_regex_s\n";
      for (const auto& [size, line] : lines) {
        out << size;
        for (const auto& value : line) out << ' ' << value;
        out << '\n';
      }
    }
  } catch (const std::exception& error) {
    std::cerr << "pexpect_bench: " << error.what() << '\n';
    return 1;
  }
  return 0;
}
