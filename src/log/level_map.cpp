// Shared verbosity word and the level filter.
#include "log/debug_log.h"

const wchar_t kLogLevelMapName[] = L"Global\\log_level_map_file";

namespace {

const uint32_t kFilterSwitch = 0x10000;

// Threshold per level code 0..255: 2 fatal, 4 error, 5 warning, 7 info, -1 always, 9 debug.
struct LevelTable {
    signed char threshold[256];
    LevelTable()
    {
        for (int i = 0; i < 256; ++i) {
            threshold[i] = 9;
        }
        threshold[0] = threshold[1] = threshold[2] = threshold['F'] = 2;
        threshold[3] = threshold[4] = threshold['E'] = 4;
        threshold[5] = threshold['W'] = 5;
        threshold[6] = threshold[7] = threshold['I'] = 7;
        threshold['N'] = -1;
    }
};
const LevelTable g_levelTable;

} // namespace

int LogLevelThreshold(int nLevel)
{
    return (nLevel >= 0 && nLevel <= 255) ? g_levelTable.threshold[nLevel] : -32768;
}

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

CLogLevelMap& GetLogLevelMap()
{
    static CLogLevelMap s_map; // thread-safe creation; released at process exit
    return s_map;
}

bool IsLogLevelEnabled(int nLevel)
{
    if (nLevel < 0 || nLevel > 255) {
        return true;
    }
    uint32_t dwWord = 0;
    if (!GetLogLevelMap().ReadWord(&dwWord) || (dwWord & kFilterSwitch) == 0) {
        return true;
    }
    const int nVerbosity = static_cast<int16_t>(dwWord & 0xFFFF);
    return g_levelTable.threshold[nLevel] <= nVerbosity;
}
