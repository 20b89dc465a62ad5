// A library file held from its signature check until its load.
#include "sign/held_file.h"

namespace {

// Length of the part of a full path that names its drive or share, with the
// separator after it: C:\ and \\?\C:\ or \\server\share\ and \\?\UNC\server\share\ .
size_t RootLength(const std::wstring& path)
{
    size_t start = 0;
    bool bUnc = false;
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        start = 8;
        bUnc = true;
    } else if (path.compare(0, 4, L"\\\\?\\") == 0) {
        start = 4;
    } else if (path.compare(0, 2, L"\\\\") == 0) {
        start = 2;
        bUnc = true;
    }
    if (!bUnc) {
        return start + 3;
    }
    const size_t server = path.find(L'\\', start);
    const size_t share = server == std::wstring::npos ? server : path.find(L'\\', server + 1);
    return share == std::wstring::npos ? path.size() : share + 1;
}

} // namespace

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
    const size_t cchRoot = RootLength(fullPath);
    for (size_t slash = fullPath.find_last_of(L'\\'); slash != std::wstring::npos && slash >= cchRoot;
         slash = fullPath.find_last_of(L'\\', slash - 1)) {
        UTIL::UniqueHandle hFolder(::CreateFileW(fullPath.substr(0, slash).c_str(), FILE_LIST_DIRECTORY,
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
