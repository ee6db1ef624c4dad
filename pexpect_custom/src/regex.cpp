// Compiled regular expressions over byte strings: the PCRE2 (8-bit) glue.
//
// One Regex::impl holds the compiled code (JIT-compiled when the platform allows it), the source
// text, the flags, the name table, and one match-data block reused by every search. Copies of a
// Regex share their impl, and so their match data: a Regex is not safe for concurrent searches.
// The partial-matching code the searchers use is JIT-compiled only when first needed.

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "pexpect_custom/regex.hpp"
#include "regex_access.hpp"

namespace pexpect_custom {

namespace {

/// PCRE2's own text for an error code.
std::string pcre2_message(int code) {
  PCRE2_UCHAR buffer[256];
  int length = pcre2_get_error_message(code, buffer, sizeof buffer);
  if (length < 0) return "PCRE2 error " + std::to_string(code);
  return std::string(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(length));
}

// Largest JIT stack tried after the default (32 KiB, on the machine stack) runs out. The memory
// is reserved only when a pattern needs it.
constexpr PCRE2_SIZE jit_stack_start = PCRE2_SIZE{32} * 1024;
constexpr PCRE2_SIZE jit_stack_max = PCRE2_SIZE{8} * 1024 * 1024;

// Whether matches are found alike from any start offset at or before them (see
// regex_access::resumable). Read conservatively from the source: a backslash before G or K, or
// any "(*", rules it out, even where it is literal text.
bool resumable_source(std::string_view source) {
  for (std::size_t i = 0; i + 1 < source.size(); ++i) {
    if (source[i] == '\\') {
      if (source[i + 1] == 'G' || source[i + 1] == 'K') return false;
      ++i;  // the escaped character is not looked at again
    } else if (source[i] == '(' && source[i + 1] == '*') {
      return false;
    }
  }
  return true;
}

}  // namespace

regex_error::regex_error(const std::string& message, std::size_t offset)
    : std::invalid_argument(message + " at offset " + std::to_string(offset)), offset_(offset) {}

// ---- Match ----------------------------------------------------------------------------------

Match::Match(std::size_t start, std::size_t end, std::vector<std::optional<std::string>> groups,
             std::vector<std::pair<std::size_t, std::size_t>> spans, std::map<std::string, std::size_t> names)
    : groups_(std::move(groups)), spans_(std::move(spans)), names_(std::move(names)) {
  // Group 0 is the whole match: make sure it is there and agrees with start/end.
  if (spans_.empty()) spans_.emplace_back(start, end);
  if (groups_.empty()) groups_.emplace_back(std::nullopt);
  if (groups_.size() < spans_.size()) groups_.resize(spans_.size());
  if (spans_.size() < groups_.size()) {
    spans_.resize(groups_.size(), {std::string::npos, std::string::npos});
  }
  spans_[0] = {start, end};
}

namespace {
[[noreturn]] void no_such_group(std::size_t n) {
  throw std::out_of_range("no such group: " + std::to_string(n));
}
}  // namespace

std::size_t Match::start(std::size_t n) const {
  if (n >= spans_.size()) no_such_group(n);
  return spans_[n].first;
}

std::size_t Match::end(std::size_t n) const {
  if (n >= spans_.size()) no_such_group(n);
  return spans_[n].second;
}

std::optional<std::string> Match::group(std::size_t n) const {
  if (n >= groups_.size()) no_such_group(n);
  return groups_[n];
}

std::optional<std::string> Match::group(std::string_view name) const {
  auto found = names_.find(std::string(name));
  if (found == names_.end()) throw std::out_of_range("no such group: " + std::string(name));
  return group(found->second);
}

std::vector<std::optional<std::string>> Match::groups() const {
  if (groups_.size() <= 1) return {};
  return {groups_.begin() + 1, groups_.end()};
}

std::map<std::string, std::optional<std::string>> Match::groupdict() const {
  std::map<std::string, std::optional<std::string>> result;
  for (const auto& [name, number] : names_) result.emplace(name, group(number));
  return result;
}

// ---- Regex ----------------------------------------------------------------------------------

struct Regex::impl {
  std::string source;
  unsigned flags = 0;
  pcre2_code* code = nullptr;
  pcre2_match_data* match_data = nullptr;  // allocated once, reused by every search
  bool jit = false;
  bool partial_jit_tried = false;
  bool resumable = false;
  // Made only when a JIT match runs out of the default stack.
  pcre2_match_context* match_context = nullptr;
  pcre2_jit_stack* jit_stack = nullptr;
  // (name, group number) from PCRE2's name table, in table order.
  std::vector<std::pair<std::string, std::size_t>> names;

  impl(std::string_view pattern, unsigned compile_flags);
  ~impl();
  impl(const impl&) = delete;
  impl& operator=(const impl&) = delete;

  /// Runs one search with the given match options; returns PCRE2's result, which is a match
  /// (the ovector then holds it), PCRE2_ERROR_NOMATCH or PCRE2_ERROR_PARTIAL. Throws on errors.
  int run(std::string_view subject, std::size_t start_offset, uint32_t options);
  /// Runs one plain search; true on a match.
  bool run(std::string_view subject, std::size_t start_offset) { return run(subject, start_offset, 0) >= 0; }
};

Regex::impl::impl(std::string_view pattern, unsigned compile_flags)
    : source(pattern), flags(compile_flags), resumable(resumable_source(pattern)) {
  uint32_t options = 0;
  if (flags & Regex::dotall) options |= PCRE2_DOTALL;
  if (flags & Regex::ignorecase) options |= PCRE2_CASELESS;

  int error_code = 0;
  PCRE2_SIZE error_offset = 0;
  code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(source.data()), source.size(), options, &error_code,
                       &error_offset, nullptr);
  if (code == nullptr) throw regex_error(pcre2_message(error_code), error_offset);

  // A failed JIT compilation (no JIT support, pattern too complex) leaves the interpreter.
  jit = pcre2_jit_compile(code, PCRE2_JIT_COMPLETE) == 0;

  match_data = pcre2_match_data_create_from_pattern(code, nullptr);
  if (match_data == nullptr) {
    pcre2_code_free(code);
    throw std::bad_alloc();
  }

  uint32_t name_count = 0;
  uint32_t entry_size = 0;
  PCRE2_SPTR table = nullptr;
  pcre2_pattern_info(code, PCRE2_INFO_NAMECOUNT, &name_count);
  if (name_count > 0) {
    pcre2_pattern_info(code, PCRE2_INFO_NAMEENTRYSIZE, &entry_size);
    pcre2_pattern_info(code, PCRE2_INFO_NAMETABLE, &table);
    for (uint32_t i = 0; i < name_count; ++i) {
      PCRE2_SPTR entry = table + static_cast<std::size_t>(i) * entry_size;
      std::size_t number = (static_cast<std::size_t>(entry[0]) << 8) | entry[1];
      names.emplace_back(std::string(reinterpret_cast<const char*>(entry + 2)), number);
    }
  }
}

Regex::impl::~impl() {
  if (match_context != nullptr) pcre2_match_context_free(match_context);
  if (jit_stack != nullptr) pcre2_jit_stack_free(jit_stack);
  pcre2_match_data_free(match_data);
  pcre2_code_free(code);
}

int Regex::impl::run(std::string_view subject, std::size_t start_offset, uint32_t options) {
  if (start_offset > subject.size()) return PCRE2_ERROR_NOMATCH;
  auto subject_ptr = reinterpret_cast<PCRE2_SPTR>(subject.data());
  int rc = pcre2_match(code, subject_ptr, subject.size(), start_offset, options, match_data, match_context);
  if (rc == PCRE2_ERROR_JIT_STACKLIMIT && jit_stack == nullptr) {
    // Give the JIT a larger stack of its own and try again.
    jit_stack = pcre2_jit_stack_create(jit_stack_start, jit_stack_max, nullptr);
    if (match_context == nullptr) match_context = pcre2_match_context_create(nullptr);
    if (jit_stack != nullptr && match_context != nullptr) {
      pcre2_jit_stack_assign(match_context, nullptr, jit_stack);
      rc = pcre2_match(code, subject_ptr, subject.size(), start_offset, options, match_data, match_context);
    }
  }
  if (rc == PCRE2_ERROR_JIT_STACKLIMIT) {
    // Still too deep for the JIT: the interpreter keeps its backtracking frames on the heap.
    rc = pcre2_match(code, subject_ptr, subject.size(), start_offset, options | PCRE2_NO_JIT, match_data,
                     match_context);
  }
  if (rc >= 0 || rc == PCRE2_ERROR_NOMATCH || rc == PCRE2_ERROR_PARTIAL) return rc;
  throw std::runtime_error("regular expression search failed: " + pcre2_message(rc));
}

Regex::Regex(std::string_view pattern, unsigned flags) {
  if ((flags & ~static_cast<unsigned>(dotall | ignorecase)) != 0) {
    throw std::invalid_argument("Regex: unknown flag bits " + std::to_string(flags));
  }
  impl_ = std::make_shared<impl>(pattern, flags);
}

namespace {
[[noreturn]] void moved_from() {
  throw std::logic_error("Regex: use of a moved-from object");
}
}  // namespace

const std::string& Regex::pattern() const {
  if (!impl_) moved_from();
  return impl_->source;
}

unsigned Regex::flags() const {
  if (!impl_) moved_from();
  return impl_->flags;
}

bool Regex::search_span(std::string_view subject, std::size_t start_offset, std::size_t& match_start,
                        std::size_t& match_end) const {
  if (!impl_) moved_from();
  if (!impl_->run(subject, start_offset)) return false;
  const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(impl_->match_data);
  match_start = ovector[0];
  match_end = ovector[1];
  return true;
}

std::optional<Match> Regex::search(std::string_view subject, std::size_t start_offset) const {
  if (!impl_) moved_from();
  if (!impl_->run(subject, start_offset)) return std::nullopt;

  // One slot per capturing group, whatever the number of groups that took part.
  uint32_t capture_count = 0;
  pcre2_pattern_info(impl_->code, PCRE2_INFO_CAPTURECOUNT, &capture_count);
  const std::size_t slots = static_cast<std::size_t>(capture_count) + 1;
  const uint32_t ovector_pairs = pcre2_get_ovector_count(impl_->match_data);
  const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(impl_->match_data);

  std::vector<std::optional<std::string>> groups(slots);
  std::vector<std::pair<std::size_t, std::size_t>> spans(slots, {std::string::npos, std::string::npos});
  for (std::size_t i = 0; i < slots && i < ovector_pairs; ++i) {
    PCRE2_SIZE group_start = ovector[2 * i];
    PCRE2_SIZE group_end = ovector[2 * i + 1];
    if (group_start == PCRE2_UNSET || group_end == PCRE2_UNSET) continue;
    spans[i] = {group_start, group_end};
    // \K can leave a start after the end; report no text then rather than fail.
    groups[i] = group_start <= group_end ? std::string(subject.substr(group_start, group_end - group_start))
                                         : std::string();
  }

  // A name used by several groups ((?J)) stands for the first of them that took part.
  std::map<std::string, std::size_t> names;
  for (const auto& [name, number] : impl_->names) {
    auto [it, inserted] = names.emplace(name, number);
    if (!inserted && !groups[it->second] && number < slots && groups[number]) it->second = number;
  }

  const auto [match_start, match_end] = spans[0];
  return Match(match_start, match_end, std::move(groups), std::move(spans), std::move(names));
}

// ---- the searchers' access -----------------------------------------------------------------

namespace detail {

regex_access::outcome regex_access::search_partial(const Regex& expression, std::string_view subject,
                                                   std::size_t start_offset, std::size_t& match_start) {
  if (!expression.impl_) moved_from();
  Regex::impl& impl = *expression.impl_;
  if (!impl.partial_jit_tried) {
    // Without JIT code for this mode, PCRE2 runs the interpreter instead.
    pcre2_jit_compile(impl.code, PCRE2_JIT_PARTIAL_HARD);
    impl.partial_jit_tried = true;
  }
  int rc = PCRE2_ERROR_PARTIAL;
  try {
    rc = impl.run(subject, start_offset, PCRE2_PARTIAL_HARD);
  } catch (const std::runtime_error&) {
    // Past the engine's limits (backtracking, depth): nothing is settled, and the search stays
    // where it was rather than fail where a plain search may not.
    match_start = start_offset;
    return outcome::partial;
  }
  if (rc == PCRE2_ERROR_NOMATCH) return outcome::none;
  // A partial match reports where its attempt began; \K, which could move a complete match's
  // start past that, rules the expression out of resumed searches (see resumable()).
  match_start = pcre2_get_ovector_pointer(impl.match_data)[0];
  return rc == PCRE2_ERROR_PARTIAL ? outcome::partial : outcome::complete;
}

bool regex_access::resumable(const Regex& expression) {
  if (!expression.impl_) moved_from();
  return expression.impl_->resumable;
}

const void* regex_access::identity(const Regex& expression) {
  return expression.impl_.get();
}

}  // namespace detail

}  // namespace pexpect_custom
