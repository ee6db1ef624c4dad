// Micro-benchmarks of the searchers on in-memory buffers: the output of one expect call arrives
// in 4 KiB chunks (about what a terminal master hands out per read) and the searcher is asked
// after every chunk, as the expect loop does, until the marker at the end is found.

#include <benchmark/benchmark.h>

#include <string.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "expect/rescanning_search.hpp"
#include "pexpect_custom/pexpect_custom.hpp"

using namespace pexpect_custom;

namespace {

constexpr std::size_t chunk = 4096;
const std::string marker = "BENCH-DONE-4242";

// Build-log-like lines, then the marker.
std::string log_output(std::size_t size) {
  std::string text;
  text.reserve(size + 64);
  for (unsigned line = 0; text.size() < size; ++line) {
    text += "[" + std::to_string(line % 100) + "%] Building C object src/module_" +
            std::to_string(line % 37) + "/file_" + std::to_string(line) + ".c.o\r\n";
  }
  text.resize(size);
  return text + "\r\n" + marker + "\r\n";
}

// Feeds `output` to `search` chunk by chunk; returns the index of the first hit.
template <typename Search>
long feed(const std::string& output, Search&& search) {
  for (std::size_t end = 0; end < output.size();) {
    const std::size_t fresh = std::min(chunk, output.size() - end);
    end += fresh;
    const long index = search(std::string_view(output.data(), end), static_cast<long>(fresh));
    if (index >= 0) return index;
  }
  return -1;
}

void set_bytes(benchmark::State& state, const std::string& output) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(output.size()));
}

pattern_list regex_list(std::initializer_list<const char*> sources) {
  pattern_list list;
  for (const char* source : sources) list.emplace_back(Regex(source, Regex::dotall));
  list.emplace_back(EOF_marker);
  return list;
}

// One expect call's worth of searches per iteration, with a new searcher each time.
template <typename Searcher, typename Search>
void chunked(benchmark::State& state, const pattern_list& patterns, Search search) {
  const std::string output = log_output(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    Searcher searcher(patterns);
    long index =
        feed(output, [&](std::string_view buffer, long fresh) { return search(searcher, buffer, fresh); });
    benchmark::DoNotOptimize(index);
  }
  set_bytes(state, output);
}

// As in the expect loop: the first search of a call (all of its buffer new) starts afresh, the
// later ones continue it.
long resumed(searcher_base& searcher, std::string_view buffer, long fresh) {
  if (static_cast<std::size_t>(fresh) == buffer.size()) return searcher.search(buffer, fresh);
  return searcher.continue_search(buffer, fresh);
}

long rescanning(searcher_re& searcher, std::string_view buffer, long) {
  return detail::rescanning_search(searcher, buffer, std::nullopt);
}

const pattern_list marker_list = regex_list({"BENCH-DONE-(\\d+)"});
// Several expressions with look-behind, alternation and lazy repeats; only the marker occurs.
const pattern_list prompt_list = regex_list(
    {"(?<=\n)error: (\\w+)", "[Pp]assword: ?$", "\\$ $|# $", "BENCH-DONE-(\\d+)", "warning:.*?\r\n\r\n"});

void BM_RegexMarker(benchmark::State& state) {
  chunked<searcher_re>(state, marker_list, resumed);
}

void BM_RegexMarkerRescanning(benchmark::State& state) {
  chunked<searcher_re>(state, marker_list, rescanning);
}

void BM_RegexPromptList(benchmark::State& state) {
  chunked<searcher_re>(state, prompt_list, resumed);
}

void BM_RegexPromptListRescanning(benchmark::State& state) {
  chunked<searcher_re>(state, prompt_list, rescanning);
}

void BM_StringMarker(benchmark::State& state) {
  chunked<searcher_string>(state, {marker, EOF_marker}, resumed);
}

// The baseline: memmem over each chunk's new bytes and the marker's length less one before them.
void BM_MemmemBaseline(benchmark::State& state) {
  const std::string output = log_output(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    long index = feed(output, [&](std::string_view buffer, long fresh) -> long {
      const std::size_t back = static_cast<std::size_t>(fresh) + marker.size() - 1;
      const std::size_t from = buffer.size() - std::min(buffer.size(), back);
      const void* found = memmem(buffer.data() + from, buffer.size() - from, marker.data(), marker.size());
      return found != nullptr ? 0 : -1;
    });
    benchmark::DoNotOptimize(index);
  }
  set_bytes(state, output);
}

// One search of the whole buffer: the engine's own speed.
void BM_RegexOneSearch(benchmark::State& state) {
  const std::string output = log_output(static_cast<std::size_t>(state.range(0)));
  const Regex expression("BENCH-DONE-(\\d+)", Regex::dotall);
  for (auto _ : state) {
    std::size_t start = 0;
    std::size_t end = 0;
    benchmark::DoNotOptimize(expression.search_span(output, 0, start, end));
  }
  set_bytes(state, output);
}

}  // namespace

constexpr auto ms = benchmark::kMillisecond;
BENCHMARK(BM_MemmemBaseline)->Arg(256 << 10)->Arg(1 << 20)->Arg(4 << 20)->Arg(16 << 20)->Unit(ms);
BENCHMARK(BM_RegexMarker)->Arg(1 << 20)->Arg(4 << 20)->Arg(16 << 20)->Unit(ms);
BENCHMARK(BM_RegexMarkerRescanning)->Arg(256 << 10)->Arg(1 << 20)->Arg(4 << 20)->Unit(ms);
BENCHMARK(BM_RegexPromptList)->Arg(1 << 20)->Arg(4 << 20)->Unit(ms);
BENCHMARK(BM_RegexPromptListRescanning)->Arg(256 << 10)->Arg(1 << 20)->Unit(ms);
BENCHMARK(BM_StringMarker)->Arg(1 << 20)->Arg(16 << 20)->Unit(ms);
BENCHMARK(BM_RegexOneSearch)->Arg(16 << 20)->Unit(ms);

BENCHMARK_MAIN();
