// Shared verbosity word and the level filter.
#include "log/debug_log.h"

#include <utility>

const wchar_t kLogLevelMapName[] = L"Global\\log_level_map_file";

CLogLevelMap::CLogLevelMap()
{
    SECURITY_DESCRIPTOR sd;
    if (!::InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE)) {
        return;
    }
    SECURITY_ATTRIBUTES sa = {sizeof(sa), &sd, FALSE};
    m_hMapping.Reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, sizeof(uint32_t),
                                          kLogLevelMapName));
    if (m_hMapping.IsValid()) {
        m_view.Reset(::MapViewOfFile(m_hMapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, sizeof(uint32_t)));
    }
    if (!m_view.IsValid()) {
        // The log server may let other processes only read the word.
        UTIL::UniqueHandle hReadOnly(::OpenFileMappingW(FILE_MAP_READ, FALSE, kLogLevelMapName));
        if (hReadOnly.IsValid()) {
            m_view.Reset(::MapViewOfFile(hReadOnly.Get(), FILE_MAP_READ, 0, 0, sizeof(uint32_t)));
            m_hMapping = std::move(hReadOnly);
        }
    }
}
