// Readable pattern descriptions: the text PatternTool builds pattern files from and dumps them to.
#pragma once

#include <string>

#include "pattern_format.h"

namespace quarn32 {

// Parses a description (see docs/pattern-format.md). On failure returns false and sets `error`
// to "line N: reason"; `out` is then unchanged.
bool ParseDescription(const std::string& text, Pattern* out, std::string* error);

// Writes a description that ParseDescription reads back to the same pattern.
std::string FormatDescription(const Pattern& pattern);

} // namespace quarn32
