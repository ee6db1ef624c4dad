// The expect family: wait until one of several patterns turns up in the child's output.
#include <sys/mman.h>

#include <cstdint>
#include <stdexcept>

#include "clock.hpp"
#include "pexpect_custom/expect_base.hpp"

namespace pexpect_custom {

namespace {

// Splits this call's output around the searcher's match: before it, the match, after it.
// `incoming` is consumed, but only once nothing can fail any more.
void record_match(expect_base& child, std::string& incoming, long index) {
  const searcher_base& found = *child.searcher;
  const std::size_t start = found.start.value();
  const std::size_t end = found.end.value();
  std::optional<match_value> match = found.match_result();
  std::string rest = incoming.substr(end);
  std::string matched = incoming.substr(start, end - start);
  incoming.resize(start);
  child.buffer = std::move(rest);
  child.before = std::move(incoming);
  child.after = after_value(std::in_place_type<std::string>, std::move(matched));
  child.match = std::move(match);
  child.match_index = index;
}

// From this size on, the output of a call grows in blocks backed by huge pages where the system
// offers them: a first touch of every 4 KiB page would otherwise cost more than the copy.
constexpr std::size_t huge_page_bytes = std::size_t{2} << 20;

// Asks for huge pages over the whole 2 MiB pages inside [data, data + size); only advice.
void advise_huge_pages(char* data, std::size_t size) {
  const auto first = reinterpret_cast<std::uintptr_t>(data);
  const std::size_t skip = (huge_page_bytes - first % huge_page_bytes) % huge_page_bytes;
  if (size <= skip) return;
  const std::size_t length = (size - skip) / huge_page_bytes * huge_page_bytes;
  if (length > 0) madvise(data + skip, length, MADV_HUGEPAGE);
}

// Appends `chunk`, doubling the capacity when it runs out as the string itself would, but
// advising huge pages for a large new block before anything is written into it.
void append_output(std::string& incoming, std::string_view chunk) {
  const std::size_t needed = incoming.size() + chunk.size();
  if (needed > incoming.capacity() && needed >= huge_page_bytes) {
    std::string grown;
    grown.reserve(std::max(needed, 2 * incoming.capacity()));
    advise_huge_pages(grown.data(), grown.capacity());
    grown.append(incoming);
    incoming.swap(grown);
  }
  incoming.append(chunk);
}

// Ends a call on end of file or time-out: returns the marker's index when the pattern list holds
// the marker, else throws a new error of the caught type whose message carries the state report.
template <typename Error, typename Marker>
long end_at_marker(expect_base& child, Marker marker, long marker_index, const Error& caught) {
  child.after = after_value(marker);
  if (marker_index >= 0) {
    child.match = match_value(marker);
    child.match_index = marker_index;
    return marker_index;
  }
  child.match.reset();
  child.match_index.reset();
  throw Error(std::string(caught.what()) + "\n" + child.str());
}

}  // namespace

long expect_base::expect(const pattern_list& pattern, timeout_arg expect_timeout,
                         std::optional<long> window) {
  return expect_list(compile_pattern_list(pattern), expect_timeout, window);
}

long expect_base::expect(std::initializer_list<pattern_entry> pattern, timeout_arg expect_timeout,
                         std::optional<long> window) {
  return expect_list(compile_pattern_list(pattern), expect_timeout, window);
}

long expect_base::expect(const pattern_entry& pattern, timeout_arg expect_timeout,
                         std::optional<long> window) {
  return expect_list(compile_pattern_list(pattern), expect_timeout, window);
}

long expect_base::expect(std::nullopt_t, timeout_arg expect_timeout, std::optional<long> window) {
  return expect_list(compile_pattern_list(std::nullopt), expect_timeout, window);
}

long expect_base::expect_list(const pattern_list& patterns, timeout_arg expect_timeout,
                              std::optional<long> window) {
  return expect_loop(std::make_shared<searcher_re>(patterns), expect_timeout, window);
}

long expect_base::expect_exact(const pattern_list& patterns, timeout_arg expect_timeout,
                               std::optional<long> window) {
  return expect_loop(std::make_shared<searcher_string>(patterns), expect_timeout, window);
}

long expect_base::expect_exact(std::initializer_list<pattern_entry> patterns, timeout_arg expect_timeout,
                               std::optional<long> window) {
  return expect_exact(pattern_list(patterns), expect_timeout, window);
}

long expect_base::expect_exact(const pattern_entry& pattern, timeout_arg expect_timeout,
                               std::optional<long> window) {
  return expect_exact(pattern_list{pattern}, expect_timeout, window);
}

// `incoming` is this call's unconsumed output: the buffer as the call found it, then every chunk
// read since. It grows by appending; the fields are cut from it once, when the call ends. So
// each search after the first of a call continues the one before it, and may skip what that
// one settled; the first one starts afresh, whatever the searcher did in earlier calls.
long expect_base::expect_loop(std::shared_ptr<searcher_base> loop_searcher, timeout_arg limit,
                              std::optional<long> window) {
  searcher = std::move(loop_searcher);
  std::optional<double> expect_timeout = detail::checked_timeout(limit.resolve(timeout));
  const double end_time = expect_timeout ? detail::now() + *expect_timeout : 0;
  if (window == -1) window = searchwindowsize;

  // The buffer's bytes begin `incoming`; they are given back if the call fails other than by
  // end of file or time-out.
  const std::size_t buffered = buffer.size();
  std::string incoming = std::move(buffer);
  buffer.clear();
  long freshlen = static_cast<long>(incoming.size());
  long requested = 0;
  std::size_t got = 0;
  try {
    if (!searcher) throw std::invalid_argument("expect_loop() needs a searcher, got none.");
    for (bool first = true;; first = false) {
      const long index = first ? searcher->search(incoming, freshlen, window)
                               : searcher->continue_search(incoming, freshlen, window);
      if (index >= 0) {
        record_match(*this, incoming, index);
        return index;
      }
      // The pause after a read is taken only when another read follows: it changes when the
      // next read happens, never what a search finds.
      if (!first) {
        pause_after_read(requested, got);
        if (expect_timeout) expect_timeout = end_time - detail::now();
      }
      // Tested only after a failed search, so output already buffered is always looked at.
      if (expect_timeout && *expect_timeout < 0) throw TIMEOUT("Timeout exceeded in expect_any().");
      requested = maxread;
      const std::string_view chunk = read_into_landing(requested, expect_timeout);
      detail::require_number(delayafterread, "delayafterread");
      got = chunk.size();
      freshlen = static_cast<long>(got);
      append_output(incoming, chunk);
    }
  } catch (const EOF_& error) {
    buffer.clear();
    before = std::move(incoming);
    return end_at_marker(*this, EOF_marker, searcher->eof_index, error);
  } catch (const TIMEOUT& error) {
    buffer = incoming;
    before = std::move(incoming);
    return end_at_marker(*this, TIMEOUT_marker, searcher->timeout_index, error);
  } catch (...) {
    // The buffer keeps what it held when the call began; this call's bytes are left in `before`.
    buffer.assign(incoming, 0, buffered);
    before = std::move(incoming);
    after.reset();
    match.reset();
    match_index.reset();
    throw;
  }
}

}  // namespace pexpect_custom
