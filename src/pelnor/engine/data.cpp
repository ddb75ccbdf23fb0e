#include "pelnor/engine/data.h"

#include <cstddef>

// Each file is assembled into .rodata with .incbin, so the build copies bytes instead of
// compiling megabytes of array literals. The build system lists the files as dependencies of
// this translation unit, so a regenerated file is embedded again.
// clang-format off
#define PELNOR_EMBED(symbol, file)                                \
  asm(".pushsection .rodata\n"                                    \
      ".balign 16\n"                                              \
      ".globl " #symbol "_begin\n"                                \
      ".hidden " #symbol "_begin\n"                               \
      #symbol "_begin:\n"                                         \
      ".incbin \"" PELNOR_DATA_DIR "/" file "\"\n"                \
      ".globl " #symbol "_end\n"                                  \
      ".hidden " #symbol "_end\n"                                 \
      #symbol "_end:\n"                                           \
      ".popsection\n");                                           \
  extern "C" __attribute__((visibility("hidden")))                \
  const std::uint8_t symbol##_begin[], symbol##_end[];
// clang-format on

PELNOR_EMBED(pelnor_r50k_vocab, "r50k.vocab")
PELNOR_EMBED(pelnor_r50k_special, "r50k.special")
PELNOR_EMBED(pelnor_p50k_vocab, "p50k.vocab")
PELNOR_EMBED(pelnor_p50k_special, "p50k.special")
PELNOR_EMBED(pelnor_p50k_edit_special, "p50k_edit.special")
PELNOR_EMBED(pelnor_cl100k_vocab, "cl100k.vocab")
PELNOR_EMBED(pelnor_o200k_vocab, "o200k.vocab")
PELNOR_EMBED(pelnor_cl100k_special, "cl100k.special")
PELNOR_EMBED(pelnor_o200k_special, "o200k.special")
PELNOR_EMBED(pelnor_o200k_harmony_special, "o200k_harmony.special")
PELNOR_EMBED(pelnor_uniclass, "uniclass.bin")
PELNOR_EMBED(pelnor_uniclass_o200k, "uniclass_o200k.bin")

namespace pelnor {
namespace {

struct EmbeddedFile {
  std::string_view name;
  const std::uint8_t* begin;
  const std::uint8_t* end;
};

const EmbeddedFile kEmbeddedFiles[] = {
    {"r50k.vocab", pelnor_r50k_vocab_begin, pelnor_r50k_vocab_end},
    {"r50k.special", pelnor_r50k_special_begin, pelnor_r50k_special_end},
    {"p50k.vocab", pelnor_p50k_vocab_begin, pelnor_p50k_vocab_end},
    {"p50k.special", pelnor_p50k_special_begin, pelnor_p50k_special_end},
    {"p50k_edit.special", pelnor_p50k_edit_special_begin, pelnor_p50k_edit_special_end},
    {"cl100k.vocab", pelnor_cl100k_vocab_begin, pelnor_cl100k_vocab_end},
    {"o200k.vocab", pelnor_o200k_vocab_begin, pelnor_o200k_vocab_end},
    {"cl100k.special", pelnor_cl100k_special_begin, pelnor_cl100k_special_end},
    {"o200k.special", pelnor_o200k_special_begin, pelnor_o200k_special_end},
    {"o200k_harmony.special", pelnor_o200k_harmony_special_begin, pelnor_o200k_harmony_special_end},
    {"uniclass.bin", pelnor_uniclass_begin, pelnor_uniclass_end},
    {"uniclass_o200k.bin", pelnor_uniclass_o200k_begin, pelnor_uniclass_o200k_end},
};

}  // namespace

std::optional<Bytes> builtin_file(std::string_view name) {
  for (const EmbeddedFile& file : kEmbeddedFiles) {
    if (file.name == name) {
      return Bytes(file.begin, static_cast<std::size_t>(file.end - file.begin));
    }
  }
  return std::nullopt;
}

}  // namespace pelnor
