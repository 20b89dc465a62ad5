// Key-list library stand-in (ZorIVA.dll): hands out the maker's trusted public
// keys, embedded at build time from the maker's test certificate.
#include <windows.h>

#include <cstring>

#include "zoriva_keys.h"

namespace {
const int kKeyCount = static_cast<int>(sizeof(zoriva_keys::kKeys) / sizeof(zoriva_keys::kKeys[0]));
}

extern "C" {

// Number of keys the library holds.
__declspec(dllexport) int __cdecl GetCertificatePublicKeyAmount()
{
    return kKeyCount;
}

// Null buffer: writes the key's size to *pcbKey. Otherwise fills the buffer
// when *pcbKey is large enough. Non-zero on success.
__declspec(dllexport) int __cdecl GetCertificatePublicKey(int nIndex, BYTE* pbKey, DWORD* pcbKey)
{
    if (nIndex < 0 || nIndex >= kKeyCount || pcbKey == nullptr) {
        return 0;
    }
    const zoriva_keys::Key& key = zoriva_keys::kKeys[nIndex];
    if (pbKey == nullptr) {
        *pcbKey = static_cast<DWORD>(key.cb);
        return 1;
    }
    if (*pcbKey < key.cb) {
        *pcbKey = static_cast<DWORD>(key.cb);
        return 0;
    }
    memcpy(pbKey, key.pb, key.cb);
    *pcbKey = static_cast<DWORD>(key.cb);
    return 1;
}

} // extern "C"
