// A library file held from its signature check until its load.
#include "sign/held_file.h"

#include <shlwapi.h>

namespace {

// The full form of the path; empty with the last error set when it has none.
std::wstring FullPathOf(LPCWSTR pwszPath)
{
    const DWORD cchNeeded = ::GetFullPathNameW(pwszPath, 0, nullptr, nullptr);
    if (cchNeeded == 0) {
        return std::wstring();
    }
    std::wstring fullPath(cchNeeded, L'\0');
    const DWORD cch = ::GetFullPathNameW(pwszPath, cchNeeded, &fullPath[0], nullptr);
    if (cch == 0 || cch >= cchNeeded) {
        ::SetLastError(cch == 0 ? ::GetLastError() : ERROR_INVALID_NAME);
        return std::wstring();
    }
    fullPath.resize(cch);
    return fullPath;
}

} // namespace

bool CHeldFile::Hold(LPCWSTR pwszPath)
{
    m_hFile.Reset();
    m_folders.clear();
    m_fullPath.clear();
    std::wstring fullPath = FullPathOf(pwszPath);
    if (fullPath.empty()) {
        return false;
    }

    // Each folder above the file, listed (an open for attributes alone would not
    // count for sharing) without FILE_SHARE_DELETE: none of them can be renamed
    // or removed, so the path keeps naming this file. A folder that cannot be
    // opened is left as it is.
    for (size_t slash = fullPath.find_last_of(L'\\'); slash != std::wstring::npos && slash > 0;
         slash = fullPath.find_last_of(L'\\', slash - 1)) {
        const std::wstring folder = fullPath.substr(0, slash);
        if (::PathIsRootW(folder.c_str()) || ::PathIsRootW((folder + L"\\").c_str())) {
            break;
        }
        UTIL::UniqueHandle hFolder(::CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (hFolder) {
            m_folders.push_back(std::move(hFolder));
        }
    }

    // No FILE_SHARE_WRITE or FILE_SHARE_DELETE: nobody changes, renames or
    // replaces the file until the handle goes.
    m_hFile.Reset(::CreateFileW(fullPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!m_hFile) {
        const DWORD dwErr = ::GetLastError();
        m_folders.clear();
        ::SetLastError(dwErr);
        return false;
    }
    m_fullPath.swap(fullPath);
    return true;
}
