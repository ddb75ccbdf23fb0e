#define PCRE2_CODE_UNIT_WIDTH 8
#include "pelnor/text/pretok_regex.h"

#include <pcre2.h>

#include <limits>
#include <new>
#include <stdexcept>

#include "pelnor/text/utf8.h"

namespace pelnor {

namespace {

// The JIT's stack grows on demand up to this bound; past it the match falls back to the
// interpreter, whose heap is bounded only by memory, so a long run never fails to match.
constexpr std::size_t kJitStackStartBytes = std::size_t{32} << 10;
constexpr std::size_t kJitStackMaxBytes = std::size_t{64} << 20;

// Unicode properties, `$` only at the very end, and texts that need not be valid UTF-8
// (invalid bytes match nothing); class intersection and difference as in `[\p{L}--\p{Lu}]`.
constexpr std::uint32_t kCompileOptions = PCRE2_UTF | PCRE2_UCP | PCRE2_DOLLAR_ENDONLY |
                                          PCRE2_MATCH_INVALID_UTF | PCRE2_ALT_EXTENDED_CLASS;

}  // namespace

// A thread's match state: PCRE2's match data and JIT stack may not be shared.
struct MatchState {
  MatchState()
      : data(pcre2_match_data_create(1, nullptr)),
        context(pcre2_match_context_create(nullptr)),
        jit_stack(pcre2_jit_stack_create(kJitStackStartBytes, kJitStackMaxBytes, nullptr)) {
    if (data == nullptr || context == nullptr || jit_stack == nullptr) throw std::bad_alloc();
    pcre2_jit_stack_assign(context, nullptr, jit_stack);
    pcre2_set_heap_limit(context, std::numeric_limits<std::uint32_t>::max());
    pcre2_set_match_limit(context, std::numeric_limits<std::uint32_t>::max());
    pcre2_set_depth_limit(context, std::numeric_limits<std::uint32_t>::max());
  }
  ~MatchState() {
    pcre2_jit_stack_free(jit_stack);
    pcre2_match_context_free(context);
    pcre2_match_data_free(data);
  }
  MatchState(const MatchState&) = delete;
  MatchState& operator=(const MatchState&) = delete;

  pcre2_match_data* data;
  pcre2_match_context* context;
  pcre2_jit_stack* jit_stack;
};

namespace {

std::string pcre2_message(int code) {
  PCRE2_UCHAR buffer[256];
  const int len = pcre2_get_error_message(code, buffer, sizeof buffer);
  return len < 0
             ? "PCRE2 error " + std::to_string(code)
             : std::string(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(len));
}

MatchState& match_state() {
  thread_local MatchState state;
  return state;
}

std::size_t char_len_at(Bytes text, std::size_t p) {
  std::size_t end = p + 1;
  while (end < text.size() && (text[end] & 0xC0) == 0x80 && end - p < 4) ++end;
  return end - p;
}

}  // namespace

Result<std::unique_ptr<const RegexSplitter>> RegexSplitter::compile(std::string_view pattern) {
  int error = 0;
  PCRE2_SIZE offset = 0;
  std::unique_ptr<RegexSplitter> splitter(new RegexSplitter());
  splitter->code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                  kCompileOptions, &error, &offset, nullptr);
  if (splitter->code_ == nullptr) {
    return Error{ErrorKind::kArgument,
                 "pelnor: the splitting pattern cannot be compiled (at byte " +
                     std::to_string(offset) + "): " + pcre2_message(error)};
  }
  // Without the JIT (a platform it does not support) the interpreter matches the same way.
  splitter->jit_ = pcre2_jit_compile(splitter->code_, PCRE2_JIT_COMPLETE) == 0;
  return std::unique_ptr<const RegexSplitter>(std::move(splitter));
}

RegexSplitter::~RegexSplitter() {
  pcre2_code_free(code_);
}

RegexSearch::RegexSearch(const RegexSplitter& splitter, Bytes text)
    : text_(text), code_(splitter.code_), jit_(splitter.jit_), state_(match_state()) {}

bool RegexSearch::match(std::size_t from, Span& found) {
  const auto* subject = reinterpret_cast<PCRE2_SPTR>(text_.data());
  // The JIT's own entry spares each match the general entry's checks, which the pattern's
  // compile options make needless. Without JIT code the interpreter matches, as past the JIT's
  // stack.
  const int rc =
      jit_ ? pcre2_jit_match(code_, subject, text_.size(), from, 0, state_.data, state_.context)
           : PCRE2_ERROR_JIT_STACKLIMIT;
  if (rc < 0 && !settled(from, rc)) return false;
  const PCRE2_SIZE* span = pcre2_get_ovector_pointer(state_.data);
  // \K can put a match's start after its end.
  found = {span[0], span[1] > span[0] ? span[1] - span[0] : 0};
  return true;
}

bool RegexSearch::settled(std::size_t from, int rc) {
  if (rc == PCRE2_ERROR_JIT_STACKLIMIT) {
    rc = pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(text_.data()), text_.size(), from,
                     PCRE2_NO_JIT, state_.data, state_.context);
  }
  if (rc == PCRE2_ERROR_NOMATCH) return false;
  if (rc == PCRE2_ERROR_NOMEMORY) throw std::bad_alloc();
  if (rc < 0) {
    throw std::runtime_error("the splitting pattern failed at byte " + std::to_string(from) + ": " +
                             pcre2_message(rc));
  }
  return true;
}

bool RegexSearch::next(std::size_t from, Span& piece) {
  if (from >= text_.size()) return false;
  Span found{};
  const bool matched = match(from, found);
  // Most pieces are a match right where the last one ended.
  if (matched && found.start == from && found.len > 0) {
    piece = found;
    return true;
  }
  return next_after(from, matched, found, piece);
}

bool RegexSearch::next_after(std::size_t from, bool matched, Span found, Span& piece) {
  const Bytes text = text_;
  for (;;) {
    const std::size_t unmatched_end = matched ? found.start : text.size();
    if (unmatched_end > from && !is_valid_utf8(text.subspan(from, unmatched_end - from))) {
      piece = {from, unmatched_end - from};
      return true;
    }
    if (!matched) return false;
    if (found.len > 0) {
      piece = found;
      return true;
    }
    // An empty match yields no piece; the search goes on from the next character, which is
    // kept if it is no UTF-8. An empty match at the very end has no next character.
    if (found.start >= text.size()) return false;
    const std::size_t step = char_len_at(text, found.start);
    if (!is_valid_utf8(text.subspan(found.start, step))) {
      piece = {found.start, step};
      return true;
    }
    from = found.start + step;
    if (from >= text.size()) return false;
    matched = match(from, found);
  }
}

}  // namespace pelnor
