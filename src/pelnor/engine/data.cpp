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

// Each embedded file: the symbol its bytes are bound to and its name in the data folder.
#define PELNOR_EMBEDDED_FILES(ENTRY)                           \
  ENTRY(pelnor_r50k_vocab, "r50k.vocab")                       \
  ENTRY(pelnor_r50k_special, "r50k.special")                   \
  ENTRY(pelnor_p50k_vocab, "p50k.vocab")                       \
  ENTRY(pelnor_p50k_special, "p50k.special")                   \
  ENTRY(pelnor_p50k_edit_special, "p50k_edit.special")         \
  ENTRY(pelnor_cl100k_vocab, "cl100k.vocab")                   \
  ENTRY(pelnor_o200k_vocab, "o200k.vocab")                     \
  ENTRY(pelnor_cl100k_special, "cl100k.special")               \
  ENTRY(pelnor_o200k_special, "o200k.special")                 \
  ENTRY(pelnor_o200k_harmony_special, "o200k_harmony.special") \
  ENTRY(pelnor_uniclass, "uniclass.bin")                       \
  ENTRY(pelnor_uniclass_o200k, "uniclass_o200k.bin")

PELNOR_EMBEDDED_FILES(PELNOR_EMBED)
#undef PELNOR_EMBED

namespace pelnor {
namespace {

struct EmbeddedFile {
  std::string_view name;
  const std::uint8_t* begin;
  const std::uint8_t* end;
};

#define PELNOR_EMBEDDED_FILE_ENTRY(symbol, file) {file, symbol##_begin, symbol##_end},
const EmbeddedFile kEmbeddedFiles[] = {PELNOR_EMBEDDED_FILES(PELNOR_EMBEDDED_FILE_ENTRY)};
#undef PELNOR_EMBEDDED_FILE_ENTRY
#undef PELNOR_EMBEDDED_FILES

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
