// A library file held from its signature check until its load, so that the
// bytes the check judged are the bytes the loader maps.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/unique_resource.h"

// The full form of the path, resolved against the current folder; empty with
// the last error set when it has none.
std::wstring FullPathOf(LPCWSTR pwszPath);

class CHeldFile {
public:
    CHeldFile() = default;
    CHeldFile(const CHeldFile&) = delete;
    CHeldFile& operator=(const CHeldFile&) = delete;

    // Resolves the path once to a full path (relative paths against the current
    // folder) and opens the file so that others may read it but not write,
    // rename or delete it while it is held; the folders above it are held
    // against renaming, so no other file can take its path either. False with the last error when the
    // path cannot be resolved or the file cannot be held (for example
    // ERROR_SHARING_VIOLATION while someone has it open for writing).
    bool Hold(LPCWSTR pwszPath);

    // The full path: what is checked and what is loaded. Empty until held.
    const std::wstring& FullPath() const { return m_fullPath; }

private:
    std::wstring m_fullPath;
    std::vector<UTIL::UniqueHandle> m_folders;
    UTIL::UniqueHandle m_hFile;
};
