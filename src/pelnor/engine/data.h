// The built-in data files, carried inside the binary.
#pragma once

#include <optional>
#include <string_view>

#include "pelnor/types.h"

namespace pelnor {

// Returns the read-only content of the built-in file of that name, or nothing for another name.
std::optional<Bytes> builtin_file(std::string_view name);

}  // namespace pelnor
