// The error family and the call trace an error carries.

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

#include "expect/trace.hpp"
#include "pexpect_custom/errors.hpp"
#include "pexpect_custom/spawn.hpp"

using namespace pexpect_custom;

namespace {

std::vector<std::string> entries_of(const std::string& trace) {
  std::vector<std::string> entries;
  std::size_t start = 0;
  for (std::size_t end; (end = trace.find('\n', start)) != std::string::npos; start = end + 1) {
    entries.push_back(trace.substr(start, end - start));
  }
  EXPECT_EQ(start, trace.size()) << "the trace does not end in a line feed";
  return entries;
}

// Kept out of line so that it is a frame of its own in the trace.
[[gnu::noinline]] void raise_eof_from_test() {
  throw EOF_("End Of File (EOF).");
}

bool any_entry_contains(const std::vector<std::string>& entries, const std::string& text) {
  for (const auto& entry : entries) {
    if (entry.find(text) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

// ---- the error types ----------------------------------------------------------------------

TEST(ErrorTypes, TextIsExactlyTheValue) {
  ExceptionPexpect error("Cannot wait for dead child process.");
  EXPECT_STREQ(error.what(), "Cannot wait for dead child process.");
  EXPECT_EQ(error.value, "Cannot wait for dead child process.");
  EXPECT_STREQ(EOF_("End Of File (EOF).").what(), "End Of File (EOF).");
  EXPECT_STREQ(TIMEOUT("Timeout exceeded.").what(), "Timeout exceeded.");
  EXPECT_STREQ(ExceptionPexpect("").what(), "");
}

TEST(ErrorTypes, BaseHandlerCatchesBothSubclasses) {
  EXPECT_THROW(throw EOF_("x"), ExceptionPexpect);
  EXPECT_THROW(throw TIMEOUT("x"), ExceptionPexpect);
  EXPECT_THROW(throw EOF_("x"), std::exception);
}

TEST(ErrorTypes, TimeoutHandlerDoesNotCatchEof) {
  bool caught_as_timeout = false;
  bool caught_as_eof = false;
  try {
    try {
      throw EOF_("End Of File (EOF).");
    } catch (const TIMEOUT&) {
      caught_as_timeout = true;
    }
  } catch (const EOF_& error) {
    caught_as_eof = true;
    EXPECT_STREQ(error.what(), "End Of File (EOF).");
  }
  EXPECT_FALSE(caught_as_timeout);
  EXPECT_TRUE(caught_as_eof);
}

TEST(ErrorTypes, SystemErrorCarriesErrno) {
  SystemError error(ENOENT);
  EXPECT_STREQ(error.what(), "[Errno 2] No such file or directory");
  EXPECT_EQ(error.code().value(), ENOENT);
  EXPECT_EQ(error.code().category(), std::generic_category());
  EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
}

TEST(ErrorTypes, TerminalErrorIsASystemError) {
  try {
    errno = ENOTTY;
    throw_terminal_error();
  } catch (const SystemError& error) {
    EXPECT_NE(dynamic_cast<const TerminalError*>(&error), nullptr);
    EXPECT_STREQ(error.what(), "[Errno 25] Inappropriate ioctl for device");
  }
  errno = EBADF;
  EXPECT_THROW(throw_system_error(), std::system_error);
  try {
    errno = EBADF;
    throw_system_error();
  } catch (const SystemError& error) {
    EXPECT_EQ(dynamic_cast<const TerminalError*>(&error), nullptr);
    EXPECT_EQ(error.code().value(), EBADF);
  }
}

// ---- the call trace -----------------------------------------------------------------------

TEST(CallTrace, NamesTheFramesDownToTheRaise) {
  try {
    raise_eof_from_test();
    FAIL() << "nothing thrown";
  } catch (const ExceptionPexpect& error) {
    const auto entries = entries_of(error.get_trace());
    ASSERT_FALSE(entries.empty());
    for (const auto& entry : entries) EXPECT_EQ(entry.rfind("  File \"", 0), 0u) << entry;
    // Innermost last: the function that raised, not the error's own constructors.
    EXPECT_NE(entries.back().find("raise_eof_from_test"), std::string::npos) << entries.back();
    EXPECT_TRUE(any_entry_contains(entries, "CallTrace_NamesTheFramesDownToTheRaise_Test::TestBody()"));
    EXPECT_FALSE(any_entry_contains(entries, "ExceptionPexpect::ExceptionPexpect"));
    EXPECT_FALSE(any_entry_contains(entries, "capture_trace"));
  }
}

TEST(CallTrace, KeepsTheFramesOfTheLibrarysOwnCode) {
  try {
    spawn refused(3);
    FAIL() << "a descriptor was accepted as a command";
  } catch (const ExceptionPexpect& error) {
    const auto entries = entries_of(error.get_trace());
    EXPECT_TRUE(any_entry_contains(entries, "pexpect_custom::spawn::_spawn(int"));
    EXPECT_TRUE(any_entry_contains(entries, "pexpect_custom::spawn::spawn(int"));
  }
}

TEST(CallTrace, EntryFormat) {
  detail::trace_frame with_line{"src/pexpect_custom/spawn.cpp", 42, 0, "f()", "  throw x;"};
  detail::trace_frame without_line{"/usr/bin/prog", std::nullopt, 0x1a2b, "??", std::nullopt};
  EXPECT_EQ(detail::format_frames({with_line, without_line}),
            "  File \"src/pexpect_custom/spawn.cpp\", line 42, in f()\n"
            "      throw x;\n"
            "  File \"/usr/bin/prog\", offset 0x1a2b, in ??\n");
  EXPECT_EQ(detail::format_frames({}), "");
}

TEST(CallTrace, FormattingDropsFramesOfPexpectSourceFiles) {
  const std::vector<detail::trace_frame> frames = {
      {"main.cpp", 1, 0, "main", std::nullopt},
      {"/src/pexpect.cpp", 2, 0, "hidden_one", std::nullopt},
      {"pexpect_custom/src/read.cpp", 3, 0, "read_nonblocking", std::nullopt},
      {"include/pexpect.h", 4, 0, "hidden_two", std::nullopt},
  };
  const std::string trace = detail::format_frames(frames);
  EXPECT_NE(trace.find("in main\n"), std::string::npos);
  EXPECT_NE(trace.find("in read_nonblocking\n"), std::string::npos);
  EXPECT_EQ(trace.find("hidden"), std::string::npos);
}

TEST(CallTrace, FilterNotPexpect) {
  auto kept = [](const std::string& file) {
    return detail::filter_not_pexpect({file, 1, 0, "f", std::nullopt});
  };
  for (const char* dropped :
       {"pexpect.cpp", "/home/u/lib/pexpect.cc", "pexpect.hpp", "pexpect.h", "x/pexpect.py", "mypexpect.c",
        "pexpect.py:12", "a/pexpect_custom/pexpect.cxx"}) {
    EXPECT_FALSE(kept(dropped)) << dropped;
  }
  for (const char* shown :
       {"pexpect_custom/src/spawn.cpp", "pexpect_custom.hpp", "/usr/lib/libpexpect_custom.a", "pexpect",
        "pexpect.", "pexpect.cfg", "pexpect.hx", "pexpect/spawn.cpp", "PEXPECT.cpp", "", "main.cpp"}) {
    EXPECT_TRUE(kept(shown)) << shown;
  }
}
