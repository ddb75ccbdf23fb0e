// Core benchmarks: vocabulary construction, the merge of single pieces, pre-tokenizers, encoding
// and the batch runner beside the machine's own two-thread gain.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pelnor/bpe/merge.h"
#include "pelnor/bpe/pcache.h"
#include "pelnor/bpe/vocab.h"
#include "pelnor/engine/batch.h"
#include "pelnor/engine/data.h"
#include "pelnor/engine/encode.h"
#include "pelnor/engine/tokenizer.h"
#include "pelnor/text/pretok.h"
#include "pelnor/text/pretok_o200k.h"
#include "pelnor/text/pretok_r50k.h"
#include "pelnor/text/simd.h"
#include "pelnor/text/uniclass.h"

namespace pelnor {
namespace {

const char* const kVocabFiles[] = {"cl100k.vocab", "o200k.vocab"};

const Vocab& vocab(int index) {
  static std::unique_ptr<Vocab> parsed[2];
  if (!parsed[index]) {
    parsed[index] = std::move(Vocab::parse(*builtin_file(kVocabFiles[index]), "bench").value());
  }
  return *parsed[index];
}

Bytes as_bytes(const std::string& s) {
  return Bytes(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

void BM_ParseVocab(benchmark::State& state) {
  const Bytes file = *builtin_file(kVocabFiles[state.range(0)]);
  for (auto _ : state) benchmark::DoNotOptimize(Vocab::parse(file, "bench"));
  state.SetLabel(kVocabFiles[state.range(0)]);
}
BENCHMARK(BM_ParseVocab)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// One piece of n bytes, merged with a cold pair cache each time only on the first iteration.
void merge_bench(benchmark::State& state, const std::string& piece) {
  const Vocab& v = vocab(static_cast<int>(state.range(0)));
  IdVector out;
  for (auto _ : state) {
    out.clear();
    merge_piece(v, as_bytes(piece), out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * piece.size()));
  state.SetLabel(kVocabFiles[state.range(0)]);
}

void BM_MergeLetterRun(benchmark::State& state) {
  merge_bench(state, std::string(static_cast<std::size_t>(state.range(1)), 'a'));
}
BENCHMARK(BM_MergeLetterRun)
    ->Args({0, 100000})
    ->Args({1, 100000})
    ->Args({0, 1000000})
    ->Unit(benchmark::kMillisecond);

void BM_MergeDigitRun(benchmark::State& state) {
  merge_bench(state, std::string(static_cast<std::size_t>(state.range(1)), '7'));
}
BENCHMARK(BM_MergeDigitRun)->Args({0, 100000})->Args({1, 100000})->Unit(benchmark::kMillisecond);

void BM_MergeWord(benchmark::State& state) {
  merge_bench(state, " internationalization");
}
BENCHMARK(BM_MergeWord)->Arg(0)->Arg(1);

// A corpus file repeated to about 1 MB.
std::string corpus(const char* name) {
  std::ifstream in(std::string(PELNOR_SOURCE_DIR) + "/tests/corpus/" + name, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  std::string text;
  while (text.size() < (1 << 20)) text += content.str();
  return text;
}

const char* const kCorpora[] = {"english.txt", "code.txt", "chinese.txt"};

// Real, distinct text of the kinds bench/corpus.py assembles (`make bench` runs it first).
const char* const kRealKinds[] = {"english", "cpp", "russian", "chinese"};

std::string real_text(std::int64_t kind, const char* part = "") {
  std::ifstream in(
      std::string(PELNOR_SOURCE_DIR) + "/build/bench-corpus/" + kRealKinds[kind] + part + ".txt",
      std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

// Cuts a real text into pieces, over and over.
void pretokenize(benchmark::State& state, NextPiece next_piece, int classes, std::int64_t kind) {
  const char* file = classes == 3 ? "uniclass.bin" : "uniclass_o200k.bin";
  const UniClassTable table = UniClassTable::parse(*builtin_file(file), file, classes).value();
  const std::string text = real_text(kind);
  if (text.empty()) return state.SkipWithError("run bench/corpus.py first");
  std::size_t pieces = 0;
  for (auto _ : state) {
    for (std::size_t p = 0; p < text.size(); ++pieces) p += next_piece(table, as_bytes(text), p);
  }
  benchmark::DoNotOptimize(pieces);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

struct KernelScanners {
  const char* name;
  int classes;
  NextPiece (*scanner)(simd::Kernel);
};
const KernelScanners kKernelScanners[] = {{"cl100k", 3, cl100k_scanner},
                                          {"o200k", 5, o200k_scanner}};

// Each pre-tokenizer on each kernel, so that a regression in any path shows.
void BM_Pretokenize(benchmark::State& state) {
  const KernelScanners& rules = kKernelScanners[state.range(0)];
  const simd::Kernel kernel = simd::kAllKernels[state.range(1)];
  if (!simd::kernel_supported(kernel)) return state.SkipWithError("the CPU lacks this kernel");
  pretokenize(state, rules.scanner(kernel), rules.classes, state.range(2));
  state.SetLabel(std::string(rules.name) + " " + simd::kernel_name(kernel) + " " +
                 kRealKinds[state.range(2)]);
}
BENCHMARK(BM_Pretokenize)->ArgsProduct({{0, 1}, {0, 1, 2}, {0, 1, 2, 3}});

void BM_PretokenizeR50k(benchmark::State& state) {
  pretokenize(state, r50k_next_piece, 3, state.range(0));
  state.SetLabel(kRealKinds[state.range(0)]);
}
BENCHMARK(BM_PretokenizeR50k)->DenseRange(0, 3);

const char* const kEncodings[] = {"cl100k_base", "o200k_base"};

std::string real_label(const benchmark::State& state) {
  return std::string(kEncodings[state.range(0)]) + " " + kRealKinds[state.range(1)];
}

// The merge alone, with no piece cache: every piece of a real text, cut by the pre-tokenizer
// beforehand, merged on its own (the compatibility cache warms up in the first iteration).
void BM_MergeUncached(benchmark::State& state) {
  const Tokenizer tokenizer = Tokenizer::create(kEncodings[state.range(0)], "").value();
  const std::string text = real_text(state.range(1));
  if (text.empty()) return state.SkipWithError("run bench/corpus.py first");
  const Bytes bytes = as_bytes(text);
  std::vector<Bytes> pieces;
  for (std::size_t p = 0, len; p < text.size(); p += len) {
    len = tokenizer.rule_set() == RuleSet::kO200k
              ? o200k_next_piece(tokenizer.classes(), bytes, p)
              : cl100k_next_piece(tokenizer.classes(), bytes, p);
    pieces.push_back(bytes.subspan(p, len));
  }
  IdVector out(estimated_ids(text.size()));
  for (auto _ : state) {
    out.clear();
    for (const Bytes& piece : pieces) merge_piece(tokenizer.vocab(), piece, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * pieces.size()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.SetLabel(real_label(state) + " (items: pieces)");
}
BENCHMARK(BM_MergeUncached)->ArgsProduct({{0, 1}, {0, 1, 2, 3}})->Unit(benchmark::kMillisecond);

// A whole encode of a real text with the piece cache disabled (a lease held around it leaves
// the inner encode without a table), against the same text with the cache warm.
void BM_EncodeUncached(benchmark::State& state) {
  const Tokenizer tokenizer = Tokenizer::create(kEncodings[state.range(0)], "").value();
  const std::string text = real_text(state.range(1));
  if (text.empty()) return state.SkipWithError("run bench/corpus.py first");
  const CacheLease outer(tokenizer.identity(), 1);
  for (auto _ : state) benchmark::DoNotOptimize(encode_ordinary(tokenizer, as_bytes(text)));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.SetLabel(real_label(state));
}
BENCHMARK(BM_EncodeUncached)->ArgsProduct({{0, 1}, {0, 1, 2, 3}})->Unit(benchmark::kMillisecond);

void BM_EncodeRealWarm(benchmark::State& state) {
  const Tokenizer tokenizer = Tokenizer::create(kEncodings[state.range(0)], "").value();
  const std::string text = real_text(state.range(1));
  if (text.empty()) return state.SkipWithError("run bench/corpus.py first");
  benchmark::DoNotOptimize(encode_ordinary(tokenizer, as_bytes(text)));
  for (auto _ : state) benchmark::DoNotOptimize(encode_ordinary(tokenizer, as_bytes(text)));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.SetLabel(real_label(state));
}
BENCHMARK(BM_EncodeRealWarm)->ArgsProduct({{0, 1}, {0, 1, 2, 3}})->Unit(benchmark::kMillisecond);

// The first pass of a tokenizer over a real text: every table and cache starts cold. The
// construction is not timed.
// With warm_up, the tokenizer first encodes other text of the same kind (not timed): the text
// is then new to a tokenizer that has seen its language.
void first_pass(benchmark::State& state, bool warm_up) {
  const std::string text = real_text(state.range(1));
  if (text.empty()) return state.SkipWithError("run bench/corpus.py first");
  const std::string other = warm_up ? real_text(state.range(1), ".warm") : std::string();
  std::optional<Tokenizer> tokenizer;
  for (auto _ : state) {
    state.PauseTiming();
    tokenizer.reset();
    cache_inspection::drain_pool();
    tokenizer.emplace(std::move(Tokenizer::create(kEncodings[state.range(0)], "").value()));
    if (warm_up) benchmark::DoNotOptimize(encode_ordinary(*tokenizer, as_bytes(other)));
    state.ResumeTiming();
    benchmark::DoNotOptimize(encode_ordinary(*tokenizer, as_bytes(text)));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.SetLabel(real_label(state));
}

void BM_EncodeFirstPass(benchmark::State& state) {
  first_pass(state, false);
}
BENCHMARK(BM_EncodeFirstPass)
    ->ArgsProduct({{0, 1}, {0, 1, 2, 3}})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

void BM_EncodeNewText(benchmark::State& state) {
  first_pass(state, true);
}
BENCHMARK(BM_EncodeNewText)
    ->ArgsProduct({{0, 1}, {0, 1, 2, 3}})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

void BM_EncodeOrdinary(benchmark::State& state) {
  const Tokenizer tokenizer = Tokenizer::create(kEncodings[state.range(0)], "").value();
  const std::string text = corpus(kCorpora[state.range(1)]);
  for (auto _ : state) benchmark::DoNotOptimize(encode_ordinary(tokenizer, as_bytes(text)));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.SetLabel(std::string(kEncodings[state.range(0)]) + " " + kCorpora[state.range(1)]);
}
BENCHMARK(BM_EncodeOrdinary)->ArgsProduct({{0, 1}, {0, 1, 2}})->Unit(benchmark::kMillisecond);

// The English corpus as one text per line, on 1 and 2 batch threads.
void BM_EncodeBatchLines(benchmark::State& state) {
  const Tokenizer tokenizer = Tokenizer::create("o200k_base", "").value();
  const std::string text = corpus("english.txt");
  std::vector<Bytes> lines;
  for (std::size_t start = 0, end; start < text.size(); start = end) {
    end = std::min(text.find('\n', start), text.size() - 1) + 1;
    lines.push_back(as_bytes(text).subspan(start, end - start));
  }
  const auto threads = static_cast<std::uint64_t>(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(encode_batch(tokenizer, lines, threads, false));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_EncodeBatchLines)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

// 40-line chunks of real English on 1 and 2 batch threads, the tables warm.
void BM_EncodeBatchRealChunks(benchmark::State& state) {
  const Tokenizer tokenizer = Tokenizer::create("o200k_base", "").value();
  const std::string text = real_text(0);
  if (text.empty()) return state.SkipWithError("run bench/corpus.py first");
  std::vector<Bytes> chunks;
  for (std::size_t start = 0, end = 0; start < text.size(); start = end) {
    for (int line = 0; line < 40 && end < text.size(); ++line) {
      end = std::min(text.find('\n', end), text.size() - 1) + 1;
    }
    chunks.push_back(as_bytes(text).subspan(start, end - start));
  }
  const auto threads = static_cast<std::uint64_t>(state.range(0));
  benchmark::DoNotOptimize(encode_batch(tokenizer, chunks, threads, false));
  for (auto _ : state) benchmark::DoNotOptimize(encode_batch(tokenizer, chunks, threads, false));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_EncodeBatchRealChunks)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

// What threads that share nothing gain on this machine, started per iteration as the batch
// runner starts its workers: eight independent multiply chains each keep the multiplier busy,
// so two threads double the rate only on two whole cores. Set beside the batch figures, it tells
// the machine's limit from the runner's.
void BM_MachineReference(benchmark::State& state) {
  constexpr int kRounds = 250000;
  const auto threads = static_cast<int>(state.range(0));
  for (auto _ : state) {
    std::vector<std::thread> workers;
    workers.reserve(static_cast<std::size_t>(threads));
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([] {
        std::uint64_t x[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        for (int round = 0; round < kRounds; ++round) {
          for (std::uint64_t& chain : x) {
            chain = chain * 6364136223846793005ull + 1442695040888963407ull;
            benchmark::DoNotOptimize(chain);
          }
        }
      });
    }
    for (std::thread& worker : workers) worker.join();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * threads * kRounds * 8);
}
BENCHMARK(BM_MachineReference)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace pelnor
