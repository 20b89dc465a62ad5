// Shared verbosity word and the level filter.
#include "log/debug_log.h"

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
}
