// IniWriteLoop.exe: the INI writes of PostPatternUpdate in a bare loop, the yardstick of the export.
//   IniWriteLoop <ini> <types> <extension list> [com]
// Writes what the export writes for a pattern whose types all have the engine
// actions 0 and 2 and are named Type_00000, Type_00001, ...: Count, three keys
// per type and the list in four sections, each with WritePrivateProfileStringW.
// With "com" the writes run between CoInitializeEx and CoUninitialize, as every
// command of KivProxy.exe runs; ole32 is loaded only then, as KivProxy.exe does.
#include <windows.h>

#include <objbase.h>

#include <cwchar>
#include <string>

int wmain(int argc, wchar_t* argv[])
{
    if (argc < 4) {
        return 2;
    }
    const bool com = argc > 4 && wcscmp(argv[4], L"com") == 0;
    using CoInitializeExFn = HRESULT(WINAPI*)(void*, DWORD);
    using CoUninitializeFn = void(WINAPI*)();
    HMODULE hOle32 = com ? ::LoadLibraryW(L"ole32.dll") : nullptr;
    auto coInitializeEx = reinterpret_cast<CoInitializeExFn>(
        reinterpret_cast<void (*)()>(hOle32 ? ::GetProcAddress(hOle32, "CoInitializeEx") : nullptr));
    auto coUninitialize = reinterpret_cast<CoUninitializeFn>(
        reinterpret_cast<void (*)()>(hOle32 ? ::GetProcAddress(hOle32, "CoUninitialize") : nullptr));
    const HRESULT hr = coInitializeEx && coUninitialize ? coInitializeEx(nullptr, COINIT_MULTITHREADED) : E_FAIL;
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
    if (SUCCEEDED(hr)) {
        coUninitialize();
    }
    return ok && (!com || SUCCEEDED(hr)) ? 0 : 1;
}
