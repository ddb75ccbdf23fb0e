// Core benchmarks: vocabulary construction and the merge of single pieces.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "pelnor/data.h"
#include "pelnor/merge.h"
#include "pelnor/vocab.h"

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
  std::vector<TokenId> out;
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

void BM_MergeWord(benchmark::State& state) { merge_bench(state, " internationalization"); }
BENCHMARK(BM_MergeWord)->Arg(0)->Arg(1);

}  // namespace
}  // namespace pelnor
