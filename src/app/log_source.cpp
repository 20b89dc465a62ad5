// Log source name of the program's own lines.
#include "app/kivproxy.h"

const wchar_t kKivProxySource[] = L"Utility/KivProxy/KivProxy";
