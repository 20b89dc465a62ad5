// Conversions between UTF-16 and the system ANSI code page.
#include "common/text_convert.h"

#include <windows.h>

namespace UTIL {

std::string WideToAnsi(const std::wstring& text)
{
    if (text.empty()) {
        return std::string();
    }
    const int cch = ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                          nullptr, nullptr);
    if (cch <= 0) {
        return std::string();
    }
    std::string out(static_cast<size_t>(cch), '\0');
    if (::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], cch, nullptr,
                              nullptr) != cch) {
        return std::string();
    }
    return out;
}

std::wstring AnsiToWide(const std::string& text)
{
    if (text.empty()) {
        return std::wstring();
    }
    const int cch = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (cch <= 0) {
        return std::wstring();
    }
    std::wstring out(static_cast<size_t>(cch), L'\0');
    if (::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], cch) != cch) {
        return std::wstring();
    }
    return out;
}

} // namespace UTIL
