// Move-only owners for the CryptoAPI handle kinds the signature checks use.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "common/unique_resource.h"

namespace UTIL {

struct CertStoreTraits {
    using type = HCERTSTORE;
    static type Invalid() noexcept { return nullptr; }
    static bool IsValid(type h) noexcept { return h != nullptr; }
    static void Close(type h) noexcept { ::CertCloseStore(h, 0); }
};

struct CertContextTraits {
    using type = PCCERT_CONTEXT;
    static type Invalid() noexcept { return nullptr; }
    static bool IsValid(type h) noexcept { return h != nullptr; }
    static void Close(type h) noexcept { ::CertFreeCertificateContext(h); }
};

struct CertChainTraits {
    using type = PCCERT_CHAIN_CONTEXT;
    static type Invalid() noexcept { return nullptr; }
    static bool IsValid(type h) noexcept { return h != nullptr; }
    static void Close(type h) noexcept { ::CertFreeCertificateChain(h); }
};

struct CryptMsgTraits {
    using type = HCRYPTMSG;
    static type Invalid() noexcept { return nullptr; }
    static bool IsValid(type h) noexcept { return h != nullptr; }
    static void Close(type h) noexcept { ::CryptMsgClose(h); }
};

struct CryptProvTraits {
    using type = HCRYPTPROV;
    static type Invalid() noexcept { return 0; }
    static bool IsValid(type h) noexcept { return h != 0; }
    static void Close(type h) noexcept { ::CryptReleaseContext(h, 0); }
};

struct CryptHashTraits {
    using type = HCRYPTHASH;
    static type Invalid() noexcept { return 0; }
    static bool IsValid(type h) noexcept { return h != 0; }
    static void Close(type h) noexcept { ::CryptDestroyHash(h); }
};

using UniqueCertStore = UniqueResource<CertStoreTraits>;
using UniqueCertContext = UniqueResource<CertContextTraits>;
using UniqueCertChain = UniqueResource<CertChainTraits>;
using UniqueCryptMsg = UniqueResource<CryptMsgTraits>;
using UniqueCryptProv = UniqueResource<CryptProvTraits>;
using UniqueCryptHash = UniqueResource<CryptHashTraits>;

} // namespace UTIL
