// NoOrdinalEngine.dll: a library that loads but exports none of the engine's ordinals.
#include <windows.h>

extern "C" __declspec(dllexport) int NotAnEngine()
{
    return 0;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
