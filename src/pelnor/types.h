// Types shared by every part of the core.
#pragma once

#include <cstdint>
#include <span>

namespace pelnor {

// A token id; ids below a vocabulary's token count are base tokens and equal their rank.
using TokenId = std::uint32_t;

// Marks the absence of a token in a 32-bit rank field.
inline constexpr TokenId NONE_RANK = 0xFFFFFFFF;

// A read-only run of bytes: text (normally UTF-8, but any bytes are accepted) or file content.
using Bytes = std::span<const std::uint8_t>;

}  // namespace pelnor
