#include "pelnor/text/pretok_split.h"

#include <cassert>

namespace pelnor {
namespace {

std::size_t char_len_at(Bytes text, std::size_t p) {
  std::size_t end = p + 1;
  while (end < text.size() && (text[end] & 0xC0) == 0x80) ++end;
  return end - p;
}

}  // namespace

LevelPieces::LevelPieces(const SplitLevel& level, Bytes span) : level_(level), span_(span) {
  if (level.pattern != nullptr) search_.emplace(*level.pattern, span);
}

bool LevelPieces::next_part(Part& part) {
  if (!search_) {
    if (covered_ >= span_.size()) return false;
    const std::size_t len = level_.rules(level_.classes, span_, covered_);
    part = {covered_, covered_ + len, true};
    covered_ = part.end;
    return true;
  }
  if (found_) {
    part = {found_->start, found_->start + found_->len, true};
    covered_ = part.end;
    found_.reset();
    return true;
  }
  Span match{};
  bool matched = false;
  while (search_from_ <= span_.size() && search_->find(search_from_, match)) {
    // A match searches on after itself; an empty one a character later. An empty match where
    // the last one ended is no match.
    const bool repeats_end = match.len == 0 && last_match_end_ == match.start;
    search_from_ = match.len > 0                ? match.start + match.len
                   : match.start < span_.size() ? match.start + char_len_at(span_, match.start)
                                                : span_.size() + 1;
    if (!repeats_end) {
      matched = true;
      break;
    }
  }
  if (!matched) search_from_ = span_.size() + 1;
  const std::size_t stretch_end = matched ? match.start : span_.size();
  if (stretch_end > covered_) {
    part = {covered_, stretch_end, false};
    covered_ = stretch_end;
    if (matched) found_ = match;
  } else if (matched) {
    part = {match.start, match.start + match.len, true};
    covered_ = part.end;
  } else {
    return false;
  }
  if (matched) last_match_end_ = match.start + match.len;
  return true;
}

bool LevelPieces::hold(const Part& part, Span& piece) {
  const std::optional<Part> before = held_;
  held_ = part;
  held_ends_delimiting_ = delimits(part);
  if (!before || before->end == before->start) return false;
  piece = {before->start, before->end - before->start};
  return true;
}

bool LevelPieces::take(const Part& part, Span& piece) {
  const auto whole = [&](std::size_t start, std::size_t end) {
    if (end == start) return false;
    piece = {start, end - start};
    return true;
  };
  switch (level_.behavior) {
    case SplitBehavior::kRemoved:
      return !delimits(part) && whole(part.start, part.end);
    case SplitBehavior::kIsolated:
      return whole(part.start, part.end);
    case SplitBehavior::kMergedWithPrevious:
      // A delimiter joins the part before it, unless that part was a delimiter too.
      if (delimits(part) && held_ && !held_ends_delimiting_) {
        held_->end = part.end;
        held_ends_delimiting_ = true;
        return false;
      }
      return hold(part, piece);
    case SplitBehavior::kMergedWithNext:
      // Only a delimiter is held, until the part after it shows whether it joins it.
      if (held_ && !delimits(part)) {
        const std::size_t start = held_->start;
        held_.reset();
        return whole(start, part.end);
      }
      if (delimits(part)) return hold(part, piece);
      return whole(part.start, part.end);
    case SplitBehavior::kContiguous:
      if (held_ && held_->matched && part.matched) {
        held_->end = part.end;
        return false;
      }
      return hold(part, piece);
  }
  return false;
}

bool LevelPieces::next(Span& piece) {
  Part part{};
  while (next_part(part)) {
    if (take(part, piece)) return true;
  }
  if (!held_) return false;
  const Part last = *held_;
  held_.reset();
  if (last.end == last.start) return false;
  piece = {last.start, last.end - last.start};
  return true;
}

LevelCutter::LevelCutter(std::span<const SplitLevel> levels, Bytes text)
    : levels_(levels), text_(text) {
  assert(!levels.empty());
  cutters_.emplace_back(levels_[0], text);
  bases_.push_back(0);
}

bool LevelCutter::next(Span& piece) {
  while (!cutters_.empty()) {
    Span found{};
    bool more = false;
    try {
      more = cutters_.back().next(found);
    } catch (const SplitTooCostly& failure) {
      throw failure.from_base(bases_.back());
    }
    if (!more) {
      cutters_.pop_back();
      bases_.pop_back();
      continue;
    }
    const std::size_t start = bases_.back() + found.start;
    if (cutters_.size() == levels_.size()) {
      piece = {start, found.len};
      return true;
    }
    cutters_.emplace_back(levels_[cutters_.size()], text_.subspan(start, found.len));
    bases_.push_back(start);
  }
  return false;
}

}  // namespace pelnor
