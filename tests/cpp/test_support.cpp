#include "test_support.h"

#include <limits>
#include <map>
#include <memory>
#include <stdexcept>
#include <thread>

#include "pelnor/engine/data.h"

namespace pelnor::testing {
namespace {

void put_u32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

}  // namespace

std::string vocab_file(const std::vector<std::string>& tokens, bool descending) {
  std::string out;
  put_u32(out, static_cast<std::uint32_t>(tokens.size()));
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const std::size_t rank = descending ? tokens.size() - 1 - i : i;
    const std::string& token = tokens[rank];
    out.push_back(static_cast<char>(token.size() & 0xFF));
    out.push_back(static_cast<char>(token.size() >> 8));
    out += token;
    put_u32(out, static_cast<std::uint32_t>(rank));
  }
  return out;
}

const Vocab& builtin_vocab(std::string_view file) {
  static std::map<std::string, std::unique_ptr<Vocab>, std::less<>> parsed;
  auto it = parsed.find(file);
  if (it == parsed.end()) {
    Result<std::unique_ptr<Vocab>> vocab = Vocab::parse(*builtin_file(file), file);
    if (!vocab.ok()) throw std::runtime_error(vocab.error());
    it = parsed.emplace(std::string(file), std::move(vocab.value())).first;
  }
  return *it->second;
}

void on_fresh_thread(const std::function<void()>& fn) {
  std::thread(fn).join();
}

const UniClassTable& builtin_classes(int classes) {
  static const UniClassTable three =
      UniClassTable::parse(*builtin_file("uniclass.bin"), "uniclass.bin", 3).value();
  static const UniClassTable five =
      UniClassTable::parse(*builtin_file("uniclass_o200k.bin"), "uniclass_o200k.bin", 5).value();
  return classes == 3 ? three : five;
}

std::string utf8(char32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | cp >> 6);
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | cp >> 12);
    s += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | cp >> 18);
    s += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    s += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return s;
}

ClassicBpe::ClassicBpe(const Vocab& vocab) {
  for (TokenId r = 0; r < vocab.token_count(); ++r) {
    const Bytes bytes = vocab.token_bytes(r);
    ranks_.emplace(std::string(bytes.begin(), bytes.end()), r);
  }
}

TokenId ClassicBpe::rank(std::string_view bytes) const {
  const auto it = ranks_.find(std::string(bytes));
  return it == ranks_.end() ? NONE_RANK : it->second;
}

std::vector<TokenId> ClassicBpe::encode(std::string_view piece) const {
  std::vector<std::string> parts;
  for (char c : piece) parts.emplace_back(1, c);
  // pair_rank[i]: rank of parts[i] + parts[i + 1], kept up to date around each merge.
  std::vector<TokenId> pair_rank;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i)
    pair_rank.push_back(rank(parts[i] + parts[i + 1]));
  for (;;) {
    std::size_t best = 0;
    for (std::size_t i = 1; i < pair_rank.size(); ++i) {
      if (pair_rank[i] < pair_rank[best]) best = i;
    }
    if (pair_rank.empty() || pair_rank[best] == NONE_RANK) break;
    parts[best] += parts[best + 1];
    parts.erase(parts.begin() + static_cast<std::ptrdiff_t>(best) + 1);
    pair_rank.erase(pair_rank.begin() + static_cast<std::ptrdiff_t>(best));
    if (best < pair_rank.size()) pair_rank[best] = rank(parts[best] + parts[best + 1]);
    if (best > 0) pair_rank[best - 1] = rank(parts[best - 1] + parts[best]);
  }
  std::vector<TokenId> ids;
  for (const std::string& part : parts) ids.push_back(rank(part));
  return ids;
}

}  // namespace pelnor::testing
