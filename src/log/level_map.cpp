// Shared verbosity word and the level filter.
#include "log/debug_log.h"

const wchar_t kLogLevelMapName[] = L"Global\\log_level_map_file";

CLogLevelMap::CLogLevelMap() : m_hMapping(nullptr), m_pView(nullptr)
{
    ::InitializeSRWLock(&m_lock);

    SECURITY_DESCRIPTOR sd;
    if (!::InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE)) {
        return;
    }
    SECURITY_ATTRIBUTES sa = {sizeof(sa), &sd, TRUE};
    m_hMapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, sizeof(uint32_t),
                                      kLogLevelMapName);
    if (m_hMapping != nullptr) {
        m_pView = static_cast<volatile uint32_t*>(
            ::MapViewOfFile(m_hMapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(uint32_t)));
    }
}

CLogLevelMap::~CLogLevelMap()
{
    Release();
}

void CLogLevelMap::Release()
{
    ::AcquireSRWLockExclusive(&m_lock);
    if (m_pView != nullptr) {
        ::UnmapViewOfFile(const_cast<uint32_t*>(m_pView));
        m_pView = nullptr;
    }
    if (m_hMapping != nullptr) {
        ::CloseHandle(m_hMapping);
        m_hMapping = nullptr;
    }
    ::ReleaseSRWLockExclusive(&m_lock);
}
