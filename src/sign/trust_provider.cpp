// The platform's trust-provider table and the switch to a replacement.
#include "sign/trust_provider.h"

#include <atomic>
#include <cwchar>

#include "common/unique_resource.h"

namespace {

std::atomic<const TrustProviderTable*> g_pTrustProvider{nullptr};

struct PlatformTrustProvider {
    UTIL::UniqueModule hWinTrust;
    TrustProviderTable table;

    PlatformTrustProvider()
        : table{&::WinVerifyTrust,
                &::WTHelperProvDataFromStateData,
                &::WTHelperGetProvSignerFromChain,
                &::WTHelperGetProvCertFromChain,
                &::CryptCATAdminAcquireContext,
                nullptr,
                &::CryptCATAdminCalcHashFromFileHandle,
                nullptr,
                &::CryptCATAdminEnumCatalogFromHash,
                &::CryptCATCatalogInfoFromContext,
                &::CryptCATAdminReleaseCatalogContext,
                &::CryptCATAdminReleaseContext,
                &::CertVerifyCertificateChainPolicy}
    {
        wchar_t wszPath[MAX_PATH + 1] = {};
        if (!BuildSystemWinTrustPath(wszPath, MAX_PATH + 1)) {
            return;
        }
        hWinTrust.Reset(::LoadLibraryW(wszPath));
        if (!hWinTrust) {
            return;
        }
        table.pfnCryptCATAdminAcquireContext2 = reinterpret_cast<PFN_CryptCATAdminAcquireContext2>(
            reinterpret_cast<void*>(::GetProcAddress(hWinTrust.Get(), "CryptCATAdminAcquireContext2")));
        table.pfnCryptCATAdminCalcHashFromFileHandle2 = reinterpret_cast<PFN_CryptCATAdminCalcHashFromFileHandle2>(
            reinterpret_cast<void*>(::GetProcAddress(hWinTrust.Get(), "CryptCATAdminCalcHashFromFileHandle2")));
    }
};

} // namespace

bool BuildSystemWinTrustPath(wchar_t* pwszPath, size_t cchPath)
{
    static const wchar_t kWinTrust[] = L"\\WinTrust.dll";
    const UINT cchDir = ::GetSystemDirectoryW(pwszPath, static_cast<UINT>(cchPath));
    if (cchDir == 0 || cchDir + wcslen(kWinTrust) + 1 > cchPath) {
        pwszPath[0] = L'\0';
        return false;
    }
    wcscat(pwszPath, kWinTrust);
    return true;
}

const TrustProviderTable& GetPlatformTrustProvider()
{
    static const PlatformTrustProvider s_platform;
    return s_platform.table;
}

const TrustProviderTable& GetTrustProvider()
{
    const TrustProviderTable* pTable = g_pTrustProvider.load(std::memory_order_acquire);
    return pTable != nullptr ? *pTable : GetPlatformTrustProvider();
}

const TrustProviderTable* SetTrustProvider(const TrustProviderTable* pTable)
{
    return g_pTrustProvider.exchange(pTable, std::memory_order_acq_rel);
}
