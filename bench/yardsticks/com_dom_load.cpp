// ComDomLoad.exe: COM for the main thread and one document load, the floor of an already-installed
// Install; without an argument COM alone, the floor of every command past the argument check.
//   ComDomLoad [component list]
#include <windows.h>

#include <objbase.h>

#include "dom_load.h"

int wmain(int argc, wchar_t* argv[])
{
    const HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const bool loaded = argc < 2 || bench::LoadIntoDomAlone(argv[1]);
    if (SUCCEEDED(hr)) {
        ::CoUninitialize();
    }
    return loaded ? 0 : 1;
}
