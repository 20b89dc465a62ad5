// Pattern export to INI (not yet available in this build).
#include "app/kivproxy.h"

bool FlushPatternPropertyToIni(const std::wstring& /*strPatternFile*/, const std::wstring& /*strIniFile*/)
{
    return false;
}

bool FlushPatternExtListToIni(const std::wstring& /*strPatternFile*/, const std::wstring& /*strIniFile*/)
{
    return false;
}
