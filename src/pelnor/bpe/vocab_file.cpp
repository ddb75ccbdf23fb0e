#include "pelnor/bpe/vocab_file.h"

#include <string>

#include "pelnor/little_endian.h"
namespace pelnor {
namespace {

void append_le(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace

Error bad_vocab(std::string_view reason, std::string_view label) {
  return Error{ErrorKind::kData,
               "pelnor: bad vocab file (" + std::string(reason) + "): " + std::string(label)};
}

Result<TokenStrings> read_vocab_file(Bytes data, std::string_view label) {
  if (data.size() < 4) return bad_vocab("truncated header", label);
  const std::uint32_t count = read_u32(data.data());
  if (count == 0 || count > kMaxTokenCount) {
    return bad_vocab("token count out of range (max 262144 ids)", label);
  }
  // Where each rank's bytes stand in the data; 0 = not seen (no record starts before 4).
  TableVector<std::size_t> record_of_rank(count, 0);
  std::size_t cursor = 4;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (data.size() - cursor < 2) return bad_vocab("truncated record", label);
    const std::uint32_t len = read_u16(data.data() + cursor);
    if (len == 0 || len > kMaxTokenBytes) return bad_vocab("token length out of range", label);
    if (data.size() - cursor < 2 + len + 4) return bad_vocab("truncated token bytes", label);
    const std::uint32_t rank = read_u32(data.data() + cursor + 2 + len);
    if (rank >= count) return bad_vocab("rank out of range", label);
    if (record_of_rank[rank] != 0) return bad_vocab("duplicate rank", label);
    record_of_rank[rank] = cursor;
    cursor += len + 6;
  }
  if (cursor != data.size()) return bad_vocab("trailing bytes", label);

  TokenStrings tokens;
  tokens.count_ = count;
  tokens.bytes_.reserve(data.size() - 4 - 6 * std::size_t{count} + kTokenBytesPadding);
  tokens.offsets_.reserve(count + 1);
  tokens.offsets_.push_back(0);
  tokens.lens_.reserve(count);
  for (std::uint32_t rank = 0; rank < count; ++rank) {
    const std::size_t at = record_of_rank[rank];
    const std::uint32_t len = read_u16(data.data() + at);
    const std::uint8_t* bytes = data.data() + at + 2;
    tokens.bytes_.insert(tokens.bytes_.end(), bytes, bytes + len);
    tokens.offsets_.push_back(static_cast<std::uint32_t>(tokens.bytes_.size()));
    tokens.lens_.push_back(static_cast<std::uint8_t>(len));
  }
  tokens.bytes_.resize(tokens.bytes_.size() + kTokenBytesPadding);
  return tokens;
}

std::vector<std::uint8_t> write_vocab_file(const TokenStrings& tokens) {
  std::vector<std::uint8_t> out;
  out.reserve(4 + tokens.offset(tokens.count()) + 6 * std::size_t{tokens.count()});
  append_le(out, tokens.count(), 4);
  for (TokenId rank = 0; rank < tokens.count(); ++rank) {
    const Bytes bytes = tokens.bytes(rank);
    append_le(out, static_cast<std::uint32_t>(bytes.size()), 2);
    out.insert(out.end(), bytes.begin(), bytes.end());
    append_le(out, rank, 4);
  }
  return out;
}

}  // namespace pelnor
