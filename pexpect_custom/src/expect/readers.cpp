// Reading the child's output like a file: by size, by line, all lines, or by iteration. Each
// reader is one expect call, so they share its buffering, time-outs and end-of-file handling.
#include <string>
#include <variant>

#include "pexpect_custom/expect_base.hpp"

namespace pexpect_custom {

namespace {

// The engine accepts at most this many repetitions in one {n} quantifier.
constexpr long largest_quantifier = 65535;

// An expression matching exactly `size` arbitrary bytes (dot-matches-newline). Beyond the
// engine's quantifier limit the count is split into whole blocks and a remainder, and the match
// is pinned to where the search starts with \G: unpinned, every later start position would be
// tried, each scanning to the end of the buffer (the engine's quick length check stops at 65535
// bytes too). Unpinned, the earliest match would begin there anyway.
Regex exact_length(long size) {
  if (size <= largest_quantifier) return Regex(".{" + std::to_string(size) + "}", Regex::dotall);
  const long blocks = size / largest_quantifier;
  const long rest = size % largest_quantifier;
  std::string source = "\\G(?:.{" + std::to_string(largest_quantifier) + "}){" + std::to_string(blocks) + "}";
  if (rest > 0) source += ".{" + std::to_string(rest) + "}";
  return Regex(source, Regex::dotall);
}

}  // namespace

std::string expect_base::read(long size) {
  if (size == 0) return {};
  if (size < 0) {
    expect(delimiter);
    return before.value_or(std::string());
  }
  if (expect({exact_length(size), delimiter}) == 0) return std::get<std::string>(after.value());
  return before.value_or(std::string());
}

std::string expect_base::readline(long size) {
  if (size == 0) return {};
  // The pseudo-terminal ends every line with CR LF; a lone LF does not end one.
  if (expect({"\r\n", delimiter}) == 0) return before.value_or(std::string()) + "\r\n";
  return before.value_or(std::string());
}

std::vector<std::string> expect_base::readlines(long /*sizehint*/) {
  std::vector<std::string> lines;
  while (true) {
    std::string line = readline();
    if (line.empty()) return lines;
    lines.push_back(std::move(line));
  }
}

std::optional<std::string> expect_base::next() {
  std::string line = readline();
  if (line.empty()) return std::nullopt;
  return line;
}

expect_base::line_iterator expect_base::begin() {
  return line_iterator(this);
}

expect_base::line_iterator expect_base::end() {
  return line_iterator();
}

expect_base::line_iterator::line_iterator(expect_base* owner) : owner_(owner) {
  ++*this;
}

// Reads the next line; at the first empty one the iterator becomes the end iterator.
expect_base::line_iterator& expect_base::line_iterator::operator++() {
  if (!owner_) return *this;
  std::optional<std::string> line = owner_->next();
  if (line)
    line_ = std::move(*line);
  else
    owner_ = nullptr;
  return *this;
}

}  // namespace pexpect_custom
