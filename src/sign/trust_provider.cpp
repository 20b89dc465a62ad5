// The platform's trust-provider table and the switch to a replacement.
#include "sign/trust_provider.h"

#include <softpub.h>

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

GUID ActionGenericVerifyV2()
{
    GUID guid = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    return guid;
}

UTIL::UniqueHandle OpenFileForTrust(LPCWSTR pwszFile, WINTRUST_FILE_INFO& fileInfo)
{
    UTIL::UniqueHandle hFile(::CreateFileW(pwszFile, GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    fileInfo = {};
    fileInfo.cbStruct = sizeof(WINTRUST_FILE_INFO);
    fileInfo.pcwszFilePath = hFile ? nullptr : pwszFile;
    fileInfo.hFile = hFile ? hFile.Get() : INVALID_HANDLE_VALUE;
    fileInfo.pgKnownSubject = nullptr;
    return hFile;
}

CERT_STRONG_SIGN_PARA StrongSignPolicy()
{
    static const char kStrongSignPolicyOid[] = "1.3.6.1.4.1.311.72.1.1";
    CERT_STRONG_SIGN_PARA para = {};
    para.cbSize = sizeof(CERT_STRONG_SIGN_PARA);
    para.dwInfoChoice = CERT_STRONG_SIGN_OID_INFO_CHOICE;
    para.pszOID = const_cast<LPSTR>(kStrongSignPolicyOid);
    return para;
}

TRUST_SIGNATURE_SETTINGS SignatureSettings(CERT_STRONG_SIGN_PARA* pPolicy)
{
    TRUST_SIGNATURE_SETTINGS settings = {};
    settings.cbStruct = sizeof(TRUST_SIGNATURE_SETTINGS);
    settings.dwIndex = 0;
    settings.dwFlags = WSS_VERIFY_SPECIFIC | WSS_GET_SECONDARY_SIG_COUNT;
    settings.cSecondarySigs = 0;
    settings.dwVerifiedSigIndex = 0;
    settings.pCryptoPolicy = pPolicy;
    return settings;
}

std::wstring CertSimpleDisplayName(PCCERT_CONTEXT pCert)
{
    const DWORD cch = pCert != nullptr
                          ? ::CertGetNameStringW(pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0)
                          : 0;
    if (cch <= 1) {
        return std::wstring();
    }
    std::wstring name(cch, L'\0');
    ::CertGetNameStringW(pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, &name[0], cch);
    name.resize(wcslen(name.c_str()));
    return name;
}
