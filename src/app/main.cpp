// KivProxy.exe: add-on component operations for the plug-in manager.
#include "app/kivproxy.h"

int wmain(int argc, wchar_t* argv[])
{
    return RunKivProxy(argc, argv);
}
