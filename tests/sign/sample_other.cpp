// A second small library with other code: the file copied signatures are put on.
#include <windows.h>

extern "C" __declspec(dllexport) int __cdecl KivOtherValue(int n)
{
    return n * 7 + 3;
}
