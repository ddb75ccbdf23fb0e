#include "pelnor/engine/stream.h"

#include <algorithm>

#include "pelnor/bpe/merge.h"
#include "pelnor/engine/batch.h"
#include "pelnor/engine/encode.h"
#include "pelnor/engine/special_encode.h"
#include "pelnor/result.h"
#include "pelnor/text/pretok.h"
#include "pelnor/text/uniclass.h"

namespace pelnor {
namespace {

// What is held is drained in steps of at least this much new text per processor, so that the
// pieces cut again after each step are few beside those it hands out.
constexpr std::size_t kDrainBytes = std::size_t{1} << 20;
// A piece held that long is encoded in parts: its first kPartBytes, as the merge of those and
// the kPartLookaheadBytes after them encodes them, each part's ids joined to the next one's
// through the compatibility test before they are handed out.
constexpr std::size_t kLongPieceBytes = std::size_t{8} << 20;
constexpr std::size_t kPartBytes = std::size_t{1} << 20;
constexpr std::size_t kPartLookaheadBytes = std::size_t{64} << 10;
// The bytes past a boundary that make it final: the pre-tokenizers decide where a piece ends
// from at most three characters after it (but for runs of white space, read to their end), and
// a special string starting before the boundary ends within this many bytes of it.
constexpr std::size_t kMarginBytes = 16 + kMaxSpecialTokenBytes;

}  // namespace

StreamEncoder::StreamEncoder(const Tokenizer& tokenizer, bool with_special)
    : tokenizer_(tokenizer),
      with_special_(with_special),
      threads_(batch_thread_count(0, SIZE_MAX)),
      next_drain_(drain_bytes()) {}

std::size_t StreamEncoder::drain_bytes() const {
  return kDrainBytes * threads_;
}

void StreamEncoder::feed(Bytes more, IdVector& out) {
  held_.insert(held_.end(), more.begin(), more.end());
  if (held_.size() >= next_drain_) drain(false, out);
}

void StreamEncoder::finish(IdVector& out) {
  drain(true, out);
}

bool StreamEncoder::final_boundary(std::size_t piece_start, std::size_t boundary) const {
  const UniClassTable& classes = tokenizer_.classes();
  const std::uint8_t* s = held_.data();
  const std::size_t n = held_.size();
  const auto white_at = [&](std::size_t p, std::size_t& len) {
    const Char c = decode_char(s, n, p);
    len = c.len;
    return (classes.flags(c.cp) & kWhitespace) != 0;
  };
  std::size_t len = 0;
  bool all_white = true;
  for (std::size_t p = piece_start; p < boundary && all_white; p += len) {
    all_white = white_at(p, len);
  }
  // A piece of white space alone ends where the rules decide from the whole run it is in.
  std::size_t decided = boundary;
  while (all_white && decided < n && white_at(decided, len)) decided += len;
  return decided + kMarginBytes <= n;
}

std::size_t StreamEncoder::sure_piece_prefix() const {
  const std::size_t n = held_.size();
  if (n <= kMarginBytes || !tokenizer_.hand_written()) return 0;
  const std::size_t bound = n - kMarginBytes;
  const std::uint8_t* s = held_.data();
  const UniClassTable& classes = tokenizer_.classes();
  std::size_t run_end = 0;
  std::size_t last_newline_end = 0;
  while (run_end < n) {
    const Char c = decode_char(s, n, run_end);
    if ((classes.flags(c.cp) & kWhitespace) == 0) break;
    run_end += c.len;
    if (c.cp == '\n' || c.cp == '\r') last_newline_end = run_end;
  }
  // A piece that reaches past the bound goes on at least that far, its run being one class;
  // a run of white space held to its end is cut after its last line break by the cl100k and
  // o200k rules, which may still be followed by a later one.
  if (run_end <= bound || last_newline_end == 0 || tokenizer_.rule_set() == RuleSet::kR50k) {
    return bound;
  }
  return last_newline_end;
}

void StreamEncoder::drain(bool ended, IdVector& out) {
  const Bytes text(held_.data(), held_.size());
  const auto encode = [&](Bytes part) {
    return with_special_ ? encode_with_special(tokenizer_, part)
                         : encode_ordinary(tokenizer_, part);
  };
  if (ended) {
    const IdVector ids = encode(text);
    settle(ids.data(), ids.size(), text.size(), false, out);
    return;
  }
  if (tokenizer_.hand_written()) {
    // Where each piece and special string starts.
    std::vector<std::size_t> starts;
    const auto plain = [&](std::size_t start, std::size_t end) {
      for_each_piece(tokenizer_, text.subspan(start, end - start),
                     [&](std::size_t piece, std::size_t) { starts.push_back(start + piece); });
    };
    if (with_special_) {
      for_each_segment(tokenizer_, text, {}, plain,
                       [&](std::size_t start, std::size_t, TokenId) { starts.push_back(start); });
    } else if (!text.empty()) {
      plain(0, text.size());
    }
    for (std::size_t last = starts.size(); last-- > 1;) {
      if (!final_boundary(starts[last - 1], starts[last])) continue;
      // Up to there, in parts cut at final boundaries, encoded on all processors.
      const std::size_t step = starts[last] / threads_ + 1;
      std::vector<Bytes> parts;
      std::size_t from = 0;
      for (std::size_t i = 1; i <= last; ++i) {
        if (i == last || (starts[i] - from >= step && final_boundary(starts[i - 1], starts[i]))) {
          parts.push_back(text.subspan(from, starts[i] - from));
          from = starts[i];
        }
      }
      const BatchEncoding encoded = encode_batch(tokenizer_, parts, threads_, with_special_);
      for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::span<const TokenId> ids = encoded.ids_of(i);
        settle(ids.data(), ids.size(), parts[i].size(), false, out);
      }
      next_drain_ = held_.size() + drain_bytes();
      return;
    }
  }
  if (held_.size() < kLongPieceBytes) {
    next_drain_ = held_.size() + drain_bytes();
    return;
  }
  if (sure_piece_prefix() < kPartBytes + kPartLookaheadBytes) {
    // The one piece held may yet reach back over all of it (a line break, then more white
    // space than a part without a later break): held whole, tried again at twice its length.
    next_drain_ = 2 * held_.size();
    return;
  }
  // Part after part of the piece, down to half the length that starts them.
  do {
    IdVector part;
    merge_piece(tokenizer_.vocab(), Bytes(held_.data(), kPartBytes + kPartLookaheadBytes), part);
    std::size_t spelled = 0;
    std::size_t count = 0;
    for (; count < part.size(); ++count) {
      const std::size_t len = tokenizer_.vocab().token_len(part[count]);
      if (spelled + len > kPartBytes) break;
      spelled += len;
    }
    settle(part.data(), count, spelled, true, out);
  } while (held_.size() >= kLongPieceBytes / 2 &&
           sure_piece_prefix() >= kPartBytes + kPartLookaheadBytes);
  next_drain_ = held_.size() + drain_bytes();
}

void StreamEncoder::settle(const TokenId* ids, std::size_t count, std::size_t spelled, bool part,
                           IdVector& out) {
  // Ids that go on with a long piece hold its encoding only where they join the part before.
  if (count > 0 && in_long_piece_ && !tokenizer_.vocab().is_compatible(last_handed_out_, ids[0])) {
    throw InternalError("a piece too long to hold did not encode in parts");
  }
  out.append(ids, count);
  consumed_ += spelled;
  held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(spelled));
  if (count > 0) last_handed_out_ = ids[count - 1];
  in_long_piece_ = part;
}

}  // namespace pelnor
