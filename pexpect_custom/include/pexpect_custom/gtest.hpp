#pragma once
// GoogleTest assertions for golden snapshots of a screen (target pexpect_custom::gtest):
//
// ```cpp
// screen shown(3, 20);
// shown.feed("hello");
// EXPECT_SCREEN_MATCHES(shown, "golden/hello.txt");
// EXPECT_TRUE(matches_snapshot(shown, "golden/hello_bold.txt", {.attributes = true}));
// ```
//
// A failure carries the difference; with PEXPECT_UPDATE_SNAPSHOTS=1 the files are written and
// the test passes, printing which ones it wrote.

#include <gtest/gtest.h>

#include <iostream>
#include <string>

#include "pexpect_custom/screen.hpp"
#include "pexpect_custom/snapshot.hpp"

namespace pexpect_custom {

/// check_snapshot as a GoogleTest assertion result: a failure's message is the difference.
inline ::testing::AssertionResult matches_snapshot(const screen& shown, const std::string& path,
                                                   snapshot_options options = {}) {
  const snapshot_result result = check_snapshot(shown, path, options);
  if (!result) return ::testing::AssertionFailure() << result.message;
  if (!result.message.empty()) std::cout << "[ SNAPSHOT ] " << result.message << std::endl;
  return ::testing::AssertionSuccess();
}

}  // namespace pexpect_custom

/// Checks the screen `shown` against the golden file `path` (snapshot_options as a third
/// argument); the test goes on after a failure.
#define EXPECT_SCREEN_MATCHES(shown, ...) EXPECT_TRUE(::pexpect_custom::matches_snapshot(shown, __VA_ARGS__))
/// The same, ending the test on a failure.
#define ASSERT_SCREEN_MATCHES(shown, ...) ASSERT_TRUE(::pexpect_custom::matches_snapshot(shown, __VA_ARGS__))
