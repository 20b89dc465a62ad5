// Install workflow (not yet available in this build).
#include "app/kivproxy.h"

int InstallCommand(const std::wstring& /*strComponentId*/)
{
    return -1;
}
