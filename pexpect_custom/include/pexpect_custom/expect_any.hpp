#pragma once
// expect_any: one wait on several sessions, each with its own patterns.

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "pexpect_custom/expect_base.hpp"
#include "pexpect_custom/pattern.hpp"
#include "pexpect_custom/searcher.hpp"
#include "pexpect_custom/timeout.hpp"

namespace pexpect_custom {

/// One session of an expect_any call and what to wait for on it. Build it with `on` (regular
/// expressions, as `expect`) or `on_exact` (plain text, as `expect_exact`).
struct expect_request {
  expect_base* session = nullptr;
  std::shared_ptr<searcher_base> searcher;
  /// -1: the session's `searchwindowsize` field; nullopt: no window.
  std::optional<long> searchwindowsize = -1;
};

/// Waits on `session` for regular expressions and markers, compiled as `expect` compiles them
/// (with the session's `ignorecase`).
expect_request on(expect_base& session, const pattern_list& patterns,
                  std::optional<long> searchwindowsize = -1);
/// Waits on `session` for plain text and markers, as `expect_exact` does.
expect_request on_exact(expect_base& session, const pattern_list& patterns,
                        std::optional<long> searchwindowsize = -1);

/// Which session ended the call, and the index in its list.
struct expect_any_result {
  std::size_t session;  ///< position of the request in the call's list
  long index;           ///< the pattern index, as that session's expect would return it
};

/// Waits until one session's output matches its list, and returns which session and which
/// entry. That session's `buffer`, `before`, `after`, `match`, `match_index` and `searcher` are
/// exactly as its own expect would leave them; every other session keeps every byte read
/// meanwhile in its `buffer` (and its other result fields as they were), so a later expect on
/// it sees them. When several sessions can end the call at once, the earlier request wins.
///
/// One time-out covers the whole call (-1: the first session's `timeout` field; nullopt: no
/// limit). At the time-out, the first request whose list holds TIMEOUT_marker ends the call with
/// that index; without one, the first session raises TIMEOUT as its expect would. End of file on
/// a session returns its list's EOF_marker index, or raises EOF_ as its expect would. Waits by
/// sleeping in poll on every session's descriptors; it does not pause after reads
/// (`delayafterread`). Throws std::invalid_argument for an empty list or a request without a
/// session.
/// ```cpp
/// spawn build("make -j4"), shell("/bin/sh");
/// auto [which, index] = expect_any({on(build, {"done", EOF_marker}), on_exact(shell, {"$ "})}, 60);
/// ```
expect_any_result expect_any(const std::vector<expect_request>& requests, timeout_arg timeout = -1);

}  // namespace pexpect_custom
