// IniWriteLoop.exe: the INI writes of PostPatternUpdate in a bare loop, the yardstick of the export.
//   IniWriteLoop <ini> <types> <extension list>
// Writes what the export writes for a pattern whose types all have the engine
// actions 0 and 2 and are named Type_00000, Type_00001, ...: Count, three keys
// per type and the list in four sections, each with WritePrivateProfileStringW.
#include <windows.h>

#include <cwchar>
#include <string>

int wmain(int argc, wchar_t* argv[])
{
    if (argc < 4) {
        return 2;
    }
    const wchar_t* ini = argv[1];
    const int types = _wtoi(argv[2]);
    const wchar_t* section = L"INI_MAJOR_VIRUS_TYPE_SECTION";
    bool ok = ::WritePrivateProfileStringW(section, L"Count", std::to_wstring(types).c_str(), ini) != FALSE;
    wchar_t key[32];
    wchar_t name[32];
    for (int n = 1; n <= types; ++n) {
        swprintf(key, 32, L"1st_Act_%03d", n);
        ok &= ::WritePrivateProfileStringW(section, key, L"1", ini) != FALSE;
        swprintf(key, 32, L"2nd_Act_%03d", n);
        ok &= ::WritePrivateProfileStringW(section, key, L"4", ini) != FALSE;
        swprintf(key, 32, L"Name_%03d", n);
        swprintf(name, 32, L"Type_%05d", n - 1);
        ok &= ::WritePrivateProfileStringW(section, key, name, ini) != FALSE;
    }
    for (const wchar_t* s : {L"Manual Scan Configuration", L"Real Time Scan Configuration",
                             L"Prescheduled Scan Configuration", L"Scan Now Configuration"}) {
        ok &= ::WritePrivateProfileStringW(s, L"DefaultExtList", argv[3], ini) != FALSE;
    }
    return ok ? 0 : 1;
}
