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

const char kNestedSignatureOid[] = "1.3.6.1.4.1.311.2.4.1";

TrustLibrary ProbeTrustLibrary()
{
    TrustLibrary library;
    wchar_t wszWinTrust[MAX_PATH + 1] = {};
    if (!BuildSystemWinTrustPath(wszWinTrust, MAX_PATH + 1)) {
        return library;
    }
    library.hWinTrust.Reset(::LoadLibraryW(wszWinTrust));
    if (!library.hWinTrust) {
        return library;
    }
    // The table in use holds this library's exports unless it was replaced.
    const TrustProviderTable& api = GetTrustProvider();
    library.pfnCryptCATAdminAcquireContext2 = api.pfnCryptCATAdminAcquireContext2;
    library.pfnCryptCATAdminCalcHashFromFileHandle2 = api.pfnCryptCATAdminCalcHashFromFileHandle2;
    library.bMultipleSign = SupportsMultipleSign(api);
    return library;
}

TRUST_DATA_EX CheckTrustData(DWORD cbStruct, DWORD dwUnionChoice)
{
    TRUST_DATA_EX data = {};
    data.cbStruct = cbStruct;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = dwUnionChoice;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = kCheckProvFlags;
    return data;
}

CTrustState::~CTrustState()
{
    const DWORD dwErr = ::GetLastError();
    Close();
    ::SetLastError(dwErr);
}

LONG CTrustState::Verify(DWORD dwStateAction)
{
    GUID action = ActionGenericVerifyV2();
    m_data.dwStateAction = dwStateAction;
    m_bOpen = true;
    return GetTrustProvider().pfnWinVerifyTrust(TrustWindow(), &action, &m_data);
}

LONG CTrustState::Close()
{
    if (!m_bOpen) {
        return 0;
    }
    m_bOpen = false;
    GUID action = ActionGenericVerifyV2();
    m_data.dwStateAction = WTD_STATEACTION_CLOSE;
    const LONG lClose = GetTrustProvider().pfnWinVerifyTrust(TrustWindow(), &action, &m_data);
    m_data.hWVTStateData = nullptr;
    return lClose;
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

UTIL::UniqueHandle OpenFileToHash(LPCWSTR pwszFile)
{
    return UTIL::UniqueHandle(::CreateFileW(pwszFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
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

bool GetMessageParam(HCRYPTMSG hMsg, DWORD dwParamType, std::vector<BYTE>& value)
{
    DWORD cb = 0;
    if (!::CryptMsgGetParam(hMsg, dwParamType, 0, nullptr, &cb)) {
        return false;
    }
    value.assign(cb, 0);
    if (!::CryptMsgGetParam(hMsg, dwParamType, 0, value.data(), &cb)) {
        return false;
    }
    value.resize(cb);
    return true;
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
