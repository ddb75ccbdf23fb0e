#define PCRE2_CODE_UNIT_WIDTH 8
#include "pretok_regex.h"

#include <pcre2.h>

#include <limits>
#include <new>
#include <stdexcept>

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

std::string pcre2_message(int code) {
  PCRE2_UCHAR buffer[256];
  const int len = pcre2_get_error_message(code, buffer, sizeof buffer);
  return len < 0
             ? "PCRE2 error " + std::to_string(code)
             : std::string(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(len));
}

// Each thread's match state: PCRE2's match data and JIT stack may not be shared.
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

MatchState& match_state() {
  thread_local MatchState state;
  return state;
}

bool is_utf8(Bytes bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const std::uint8_t b = bytes[i];
    const std::size_t len = b < 0x80                 ? 1
                            : b >= 0xC2 && b <= 0xDF ? 2
                            : b >= 0xE0 && b <= 0xEF ? 3
                            : b >= 0xF0 && b <= 0xF4 ? 4
                                                     : 0;
    if (len == 0 || i + len > bytes.size()) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) return false;
    }
    const std::uint32_t second = bytes[i + 1 < bytes.size() ? i + 1 : i];
    if ((b == 0xE0 && second < 0xA0) || (b == 0xED && second > 0x9F) ||
        (b == 0xF0 && second < 0x90) || (b == 0xF4 && second > 0x8F)) {
      return false;
    }
    i += len;
  }
  return true;
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
  pcre2_jit_compile(splitter->code_, PCRE2_JIT_COMPLETE);
  return std::unique_ptr<const RegexSplitter>(std::move(splitter));
}

RegexSplitter::~RegexSplitter() {
  pcre2_code_free(code_);
}

bool RegexSplitter::match(Bytes text, std::size_t from, Span& found) const {
  MatchState& state = match_state();
  const auto* subject = reinterpret_cast<PCRE2_SPTR>(text.data());
  int rc = pcre2_match(code_, subject, text.size(), from, 0, state.data, state.context);
  if (rc == PCRE2_ERROR_JIT_STACKLIMIT) {
    rc = pcre2_match(code_, subject, text.size(), from, PCRE2_NO_JIT, state.data, state.context);
  }
  if (rc == PCRE2_ERROR_NOMATCH) return false;
  if (rc == PCRE2_ERROR_NOMEMORY) throw std::bad_alloc();
  if (rc < 0) {
    throw std::runtime_error("the splitting pattern failed at byte " + std::to_string(from) + ": " +
                             pcre2_message(rc));
  }
  const PCRE2_SIZE* span = pcre2_get_ovector_pointer(state.data);
  // \K can put a match's start after its end.
  found = {span[0], span[1] > span[0] ? span[1] - span[0] : 0};
  return true;
}

bool RegexSplitter::next(Bytes text, std::size_t from, Span& piece) const {
  Span found{};
  while (from < text.size()) {
    const bool matched = match(text, from, found);
    const std::size_t unmatched_end = matched ? found.start : text.size();
    if (unmatched_end > from && !is_utf8(text.subspan(from, unmatched_end - from))) {
      piece = {from, unmatched_end - from};
      return true;
    }
    if (!matched) return false;
    if (found.len > 0) {
      piece = found;
      return true;
    }
    // An empty match yields no piece; the search goes on from the next character, which is
    // kept if it is no UTF-8.
    const std::size_t step = char_len_at(text, found.start);
    if (!is_utf8(text.subspan(found.start, step))) {
      piece = {found.start, step};
      return true;
    }
    from = found.start + step;
  }
  return false;
}

}  // namespace pelnor
