// The process-wide lock objects, constructed during static initialisation.
#include "sign/locks.h"

namespace UTIL {
CSingletonLocker g_SingletonCreationLocker;
} // namespace UTIL

CSLock g_CSLock;
