// Compiled regular expressions over byte strings: the PCRE2 (8-bit) glue.
//
// One Regex::impl holds what never changes after construction: the compiled code (JIT-compiled
// for plain and, where the searchers resume, for partial matching, both before any search can
// see it), the source text, the flags and the name table. Copies of a Regex share their impl.
// What a search writes (the match data, and a larger JIT stack when a pattern needs one) belongs
// to the searching thread, so any number of threads may search with one Regex at once.

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "expect/regex_access.hpp"
#include "pexpect_custom/regex.hpp"

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
// is reserved only when a pattern needs it, once per thread.
constexpr PCRE2_SIZE jit_stack_start = PCRE2_SIZE{32} * 1024;
constexpr PCRE2_SIZE jit_stack_max = PCRE2_SIZE{8} * 1024 * 1024;

// What searches write, one per thread: a match-data block as large as the largest ovector this
// thread has needed (PCRE2 also keeps the interpreter's backtracking frames in it between
// searches), and a match context with a JIT stack of its own, made on first need.
class search_scratch {
 public:
  search_scratch() = default;
  search_scratch(const search_scratch&) = delete;
  search_scratch& operator=(const search_scratch&) = delete;
  ~search_scratch() {
    if (context_ != nullptr) pcre2_match_context_free(context_);
    if (stack_ != nullptr) pcre2_jit_stack_free(stack_);
    if (data_ != nullptr) pcre2_match_data_free(data_);
  }

  /// A match-data block with room for at least `pairs` offset pairs.
  pcre2_match_data* match_data(uint32_t pairs) {
    if (pairs > pairs_) {
      pcre2_match_data* larger = pcre2_match_data_create(pairs, nullptr);
      if (larger == nullptr) throw std::bad_alloc();
      if (data_ != nullptr) pcre2_match_data_free(data_);
      data_ = larger;
      pairs_ = pairs;
    }
    return data_;
  }

  /// A match context whose JIT stack grows up to jit_stack_max; nullptr if none can be made.
  pcre2_match_context* large_stack_context() {
    if (context_ == nullptr) {
      if (stack_ == nullptr) stack_ = pcre2_jit_stack_create(jit_stack_start, jit_stack_max, nullptr);
      if (stack_ == nullptr) return nullptr;
      context_ = pcre2_match_context_create(nullptr);
      if (context_ == nullptr) return nullptr;
      pcre2_jit_stack_assign(context_, nullptr, stack_);
    }
    return context_;
  }

 private:
  pcre2_match_data* data_ = nullptr;
  uint32_t pairs_ = 0;
  pcre2_jit_stack* stack_ = nullptr;
  pcre2_match_context* context_ = nullptr;
};

search_scratch& thread_scratch() {
  thread_local search_scratch scratch;
  return scratch;
}

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

// Nothing in it changes after construction: it is read by every thread that searches.
struct Regex::impl {
  std::string source;
  unsigned flags = 0;
  pcre2_code* code = nullptr;
  uint32_t ovector_pairs = 0;  // the whole match and every capturing group
  bool resumable = false;
  // (name, group number) from PCRE2's name table, in table order.
  std::vector<std::pair<std::string, std::size_t>> names;

  impl(std::string_view pattern, unsigned compile_flags);
  ~impl();
  impl(const impl&) = delete;
  impl& operator=(const impl&) = delete;

  /// PCRE2's result of one search, and the offsets it left in this thread's match data (valid
  /// until the thread's next search).
  struct run_result {
    int rc;  // a match (the highest group set plus one), PCRE2_ERROR_NOMATCH or PCRE2_ERROR_PARTIAL
    const PCRE2_SIZE* ovector;
  };

  /// Runs one search with the given match options. Throws on errors.
  run_result run(std::string_view subject, std::size_t start_offset, uint32_t options) const;
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

  // A failed JIT compilation (no JIT support, pattern too complex) leaves the interpreter. JIT
  // compilation changes the code, so the partial mode is compiled here too, before any search,
  // for the expressions whose searches the searchers resume.
  pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
  if (resumable) pcre2_jit_compile(code, PCRE2_JIT_PARTIAL_HARD);

  uint32_t capture_count = 0;
  pcre2_pattern_info(code, PCRE2_INFO_CAPTURECOUNT, &capture_count);
  ovector_pairs = capture_count + 1;

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
  pcre2_code_free(code);
}

Regex::impl::run_result Regex::impl::run(std::string_view subject, std::size_t start_offset,
                                         uint32_t options) const {
  if (start_offset > subject.size()) return {PCRE2_ERROR_NOMATCH, nullptr};
  search_scratch& scratch = thread_scratch();
  pcre2_match_data* match_data = scratch.match_data(ovector_pairs);
  auto subject_ptr = reinterpret_cast<PCRE2_SPTR>(subject.data());
  int rc = pcre2_match(code, subject_ptr, subject.size(), start_offset, options, match_data, nullptr);
  if (rc == PCRE2_ERROR_JIT_STACKLIMIT) {
    // Give the JIT this thread's larger stack and try again.
    if (pcre2_match_context* large_stack = scratch.large_stack_context()) {
      rc = pcre2_match(code, subject_ptr, subject.size(), start_offset, options, match_data, large_stack);
    }
  }
  if (rc == PCRE2_ERROR_JIT_STACKLIMIT) {
    // Still too deep for the JIT: the interpreter keeps its backtracking frames on the heap.
    rc = pcre2_match(code, subject_ptr, subject.size(), start_offset, options | PCRE2_NO_JIT, match_data,
                     nullptr);
  }
  if (rc >= 0 || rc == PCRE2_ERROR_NOMATCH || rc == PCRE2_ERROR_PARTIAL) {
    return {rc, pcre2_get_ovector_pointer(match_data)};
  }
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
  const impl::run_result found = impl_->run(subject, start_offset, 0);
  if (found.rc < 0) return false;
  match_start = found.ovector[0];
  match_end = found.ovector[1];
  return true;
}

std::optional<Match> Regex::search(std::string_view subject, std::size_t start_offset) const {
  if (!impl_) moved_from();
  const impl::run_result found = impl_->run(subject, start_offset, 0);
  if (found.rc < 0) return std::nullopt;

  // One slot per capturing group, whatever the number of groups that took part (PCRE2 marks the
  // expression's groups that did not as unset, the trailing ones included).
  const std::size_t slots = impl_->ovector_pairs;
  const PCRE2_SIZE* ovector = found.ovector;

  std::vector<std::optional<std::string>> groups(slots);
  std::vector<std::pair<std::size_t, std::size_t>> spans(slots, {std::string::npos, std::string::npos});
  for (std::size_t i = 0; i < slots; ++i) {
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
  // Without JIT code for this mode (an expression that is not resumable), PCRE2 runs the
  // interpreter instead.
  const Regex::impl& impl = *expression.impl_;
  Regex::impl::run_result found{};
  try {
    found = impl.run(subject, start_offset, PCRE2_PARTIAL_HARD);
  } catch (const std::runtime_error&) {
    // Past the engine's limits (backtracking, depth): nothing is settled, and the search stays
    // where it was rather than fail where a plain search may not.
    match_start = start_offset;
    return outcome::partial;
  }
  if (found.rc == PCRE2_ERROR_NOMATCH) return outcome::none;
  // A partial match reports where its attempt began; \K, which could move a complete match's
  // start past that, rules the expression out of resumed searches (see resumable()).
  match_start = found.ovector[0];
  return found.rc == PCRE2_ERROR_PARTIAL ? outcome::partial : outcome::complete;
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
