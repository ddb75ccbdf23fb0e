#define PCRE2_CODE_UNIT_WIDTH 8
#include "pelnor/text/pretok_regex.h"

#include <pcre2.h>

#include <algorithm>
#include <charconv>
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

// A search first reads at most this many bytes of the text and takes PCRE2's backtracking
// steps in proportion; while that is not enough to decide, it tries again with twice both.
constexpr std::size_t kFirstWindowBytes = 4096;
constexpr std::uint64_t kStepsPerWindowByte = 16;
// The windows past each search's first that the searches of one text may read, in all: a few
// times the text, so that pieces and unmatched stretches of any length are searched out, but
// a pattern that backtracks without bound, or whose every search reads far past its match,
// fails within work in proportion to the text instead of running for hours.
constexpr std::uint64_t kBudgetPerTextByte = 8;
constexpr std::uint64_t kBudgetBaseBytes = 1 << 20;

// Unicode properties, `$` only at the very end, and texts that need not be valid UTF-8
// (invalid bytes match nothing).
constexpr std::uint32_t kCompileOptions =
    PCRE2_UTF | PCRE2_UCP | PCRE2_DOLLAR_ENDONLY | PCRE2_MATCH_INVALID_UTF;
// tiktoken's dialect lets \K move a match's start from inside a look-around.
constexpr std::uint32_t kExtraCompileOptions = PCRE2_EXTRA_ALLOW_LOOKAROUND_BSK;

// The splitting patterns' only callout, `(?C{N})` after a loop's body, whose iteration began
// where the empty group N matched: it fails an iteration that has not moved from there, as
// tiktoken's engine does, so that the body's other ways are tried.
int fail_unmoved_iteration(pcre2_callout_block* block, void* /*unused*/) {
  std::size_t group = 0;
  const auto* text = reinterpret_cast<const char*>(block->callout_string);
  std::from_chars(text, text + block->callout_string_length, group);
  return group < block->capture_top && block->offset_vector[2 * group] == block->current_position
             ? 1
             : 0;
}

std::string split_failure_message(SplitTooCostly::Cause cause, std::size_t offset) {
  const std::string at = " at byte " + std::to_string(offset) + " of the text";
  if (cause == SplitTooCostly::Cause::kBacktracking) {
    return "pelnor: pat_str backtracks without bound" + at +
           " (repeats that can match the same text in many ways, such as (a|a)*b or (x+x+)+y, "
           "over a long run of what they match)";
  }
  return "pelnor: pat_str reads too far ahead" + at +
         " (every search reads far past where its match ends, such as [^x]*x|. over a long "
         "text without an x): the work would grow with the square of the text's length";
}

}  // namespace

// A thread's match state: PCRE2's match data and JIT stack may not be shared.
struct MatchState {
  MatchState()
      : data(pcre2_match_data_create(1, nullptr)),
        context(pcre2_match_context_create(nullptr)),
        jit_stack(pcre2_jit_stack_create(kJitStackStartBytes, kJitStackMaxBytes, nullptr)) {
    if (data == nullptr || context == nullptr || jit_stack == nullptr) throw std::bad_alloc();
    pcre2_jit_stack_assign(context, nullptr, jit_stack);
    pcre2_set_callout(context, &fail_unmoved_iteration, nullptr);
    // Only the match limit bounds a search's work; memory, as for any encode, only by itself.
    pcre2_set_heap_limit(context, std::numeric_limits<std::uint32_t>::max());
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
  const std::unique_ptr<pcre2_compile_context, decltype(&pcre2_compile_context_free)> context(
      pcre2_compile_context_create(nullptr), &pcre2_compile_context_free);
  if (context == nullptr) throw std::bad_alloc();
  pcre2_set_compile_extra_options(context.get(), kExtraCompileOptions);
  // `.` stops at \n alone, whatever newline PCRE2's build chose.
  pcre2_set_newline(context.get(), PCRE2_NEWLINE_LF);
  splitter->code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                  kCompileOptions, &error, &offset, context.get());
  if (splitter->code_ == nullptr) {
    return Error{ErrorKind::kArgument,
                 "pelnor: the splitting pattern cannot be compiled (at byte " +
                     std::to_string(offset) + "): " + pcre2_message(error)};
  }
  // Without the JIT (a platform it does not support) the interpreter matches the same way.
  splitter->jit_ =
      pcre2_jit_compile(splitter->code_, PCRE2_JIT_COMPLETE | PCRE2_JIT_PARTIAL_HARD) == 0;
  return std::unique_ptr<const RegexSplitter>(std::move(splitter));
}

RegexSplitter::~RegexSplitter() {
  pcre2_code_free(code_);
}

SplitTooCostly::SplitTooCostly(Cause cause, std::size_t offset)
    : cause_(cause), offset_(offset), message_(split_failure_message(cause, offset)) {}

RegexSearch::RegexSearch(const RegexSplitter& splitter, Bytes text)
    : text_(text),
      code_(splitter.code_),
      jit_(splitter.jit_),
      state_(match_state()),
      budget_(kBudgetPerTextByte * (std::uint64_t{text.size()} + 1) + kBudgetBaseBytes) {}

bool RegexSearch::match(std::size_t from, Span& found) {
  std::uint64_t window = kFirstWindowBytes;
  for (bool first = true;; first = false) {
    if (!first) window *= 2;
    const std::uint64_t steps = std::min<std::uint64_t>(kStepsPerWindowByte * window,
                                                        std::numeric_limits<std::uint32_t>::max());
    const Attempt outcome =
        attempt(from, static_cast<std::size_t>(std::min<std::uint64_t>(window, SIZE_MAX)),
                static_cast<std::uint32_t>(steps));
    if (outcome == Attempt::kFound) {
      const PCRE2_SIZE* span = pcre2_get_ovector_pointer(state_.data);
      // \K can put a match's start after its end.
      found = {span[0], span[1] > span[0] ? span[1] - span[0] : 0};
      return true;
    }
    if (outcome == Attempt::kNone) return false;
    if (window * 2 > budget_) {
      throw SplitTooCostly(outcome == Attempt::kLimitTooSmall ? SplitTooCostly::Cause::kBacktracking
                                                              : SplitTooCostly::Cause::kLookahead,
                           from);
    }
    budget_ -= window * 2;
  }
}

RegexSearch::Attempt RegexSearch::attempt(std::size_t from, std::size_t window,
                                          std::uint32_t steps) {
  const auto* subject = reinterpret_cast<PCRE2_SPTR>(text_.data());
  // A window short of the text's end is searched in PCRE2's partial mode: a search that would
  // read past the window's end stops there, undecided, so that a decided one is the search of
  // the whole text.
  const bool cut = text_.size() - from > window;
  const std::size_t end = cut ? from + window : text_.size();
  const std::uint32_t options = cut ? PCRE2_PARTIAL_HARD : 0;
  pcre2_set_match_limit(state_.context, steps);
  // The JIT's own entry spares each match the general entry's checks, which the pattern's
  // compile options make needless. Without JIT code the interpreter matches, as past the JIT's
  // stack.
  int rc = jit_ ? pcre2_jit_match(code_, subject, end, from, options, state_.data, state_.context)
                : PCRE2_ERROR_JIT_STACKLIMIT;
  if (rc == PCRE2_ERROR_JIT_STACKLIMIT) {
    rc =
        pcre2_match(code_, subject, end, from, options | PCRE2_NO_JIT, state_.data, state_.context);
  }
  if (rc >= 0) return Attempt::kFound;
  switch (rc) {
    case PCRE2_ERROR_NOMATCH:
      return cut ? Attempt::kWindowTooSmall : Attempt::kNone;
    case PCRE2_ERROR_PARTIAL:
      return Attempt::kWindowTooSmall;
    case PCRE2_ERROR_MATCHLIMIT:
      return Attempt::kLimitTooSmall;
    case PCRE2_ERROR_NOMEMORY:
    case PCRE2_ERROR_HEAPLIMIT:
      throw std::bad_alloc();
    default:
      throw std::runtime_error("the splitting pattern failed at byte " + std::to_string(from) +
                               ": " + pcre2_message(rc));
  }
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
    // A match that ends where the search began, its start moved back by \K in a look-behind,
    // is as empty as one that matched nothing: taking it would find it again, and again.
    if (found.len > 0 && found.start + found.len > from) {
      piece = found;
      return true;
    }
    // An empty match yields no piece; the search goes on from the next character, which is
    // kept if it is no UTF-8. An empty match at the very end has no next character.
    const std::size_t at = std::max(found.start, from);
    if (at >= text.size()) return false;
    const std::size_t step = char_len_at(text, at);
    if (!is_valid_utf8(text.subspan(at, step))) {
      piece = {at, step};
      return true;
    }
    from = at + step;
    if (from >= text.size()) return false;
    matched = match(from, found);
  }
}

}  // namespace pelnor
