// A small library to sign in the signature tests.
#include <windows.h>

extern "C" __declspec(dllexport) int __cdecl KivSampleValue()
{
    return 42;
}
