// Conversions between UTF-16 and the system ANSI code page.
#pragma once

#include <string>

namespace UTIL {

// Both return an empty string when the conversion fails.
std::string WideToAnsi(const std::wstring& text);
std::wstring AnsiToWide(const std::string& text);

} // namespace UTIL
