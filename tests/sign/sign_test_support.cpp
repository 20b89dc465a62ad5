// Helpers for the signature tests: signed test files, the trusted test root,
// registry values with restore, and replacement trust-provider tables.
#include "sign_test_support.h"

#include <softpub.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>

#include "sign/crypt_owners.h"
#include "test_support.h"
#include "zoriva_keys.h"

namespace sign_testing {

std::wstring SignData(const std::wstring& name)
{
    return testing_support::BinDir() + L"\\signdata\\" + name;
}

std::vector<BYTE> MakerPublicKey()
{
    const zoriva_keys::Key& key = zoriva_keys::kKeys[0];
    return std::vector<BYTE>(key.pb, key.pb + key.cb);
}

// ---------------------------------------------------------------------------

namespace {

std::vector<BYTE> PemToDer(const std::string& pem)
{
    DWORD cb = 0;
    if (!::CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr, &cb,
                                nullptr, nullptr)) {
        return {};
    }
    std::vector<BYTE> der(cb);
    ::CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, der.data(), &cb,
                           nullptr, nullptr);
    der.resize(cb);
    return der;
}

HCERTSTORE OpenMachineRoot()
{
    return ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
}

} // namespace

TrustedTestRoot::TrustedTestRoot()
{
    m_der = PemToDer(testing_support::ReadFileBytes(SignData(L"root.crt")));
    HCERTSTORE hRoot = OpenMachineRoot();
    if (hRoot == nullptr || m_der.empty()) {
        return;
    }
    m_bAdded = ::CertAddEncodedCertificateToStore(hRoot, X509_ASN_ENCODING, m_der.data(),
                                                  static_cast<DWORD>(m_der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                                  nullptr) != FALSE;
    ::CertCloseStore(hRoot, 0);
}

TrustedTestRoot::~TrustedTestRoot()
{
    if (!m_bAdded) {
        return;
    }
    HCERTSTORE hRoot = OpenMachineRoot();
    if (hRoot == nullptr) {
        return;
    }
    PCCERT_CONTEXT pProbe =
        ::CertCreateCertificateContext(X509_ASN_ENCODING, m_der.data(), static_cast<DWORD>(m_der.size()));
    if (pProbe != nullptr) {
        PCCERT_CONTEXT pFound =
            ::CertFindCertificateInStore(hRoot, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, pProbe, nullptr);
        if (pFound != nullptr) {
            ::CertDeleteCertificateFromStore(pFound); // frees pFound
        }
        ::CertFreeCertificateContext(pProbe);
    }
    ::CertCloseStore(hRoot, 0);
}

// ---------------------------------------------------------------------------

ScopedRegistryValue::ScopedRegistryValue(const std::wstring& subKey, const std::wstring& valueName,
                                         const wchar_t* pwszData)
    : m_subKey(subKey), m_valueName(valueName)
{
    // Note which components of the path exist already.
    std::wstring path;
    size_t pos = 0;
    while (pos != std::wstring::npos) {
        const size_t next = subKey.find(L'\\', pos);
        path = subKey.substr(0, next);
        HKEY hProbe = nullptr;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &hProbe) == ERROR_SUCCESS) {
            ::RegCloseKey(hProbe);
        } else {
            m_created.push_back(path);
        }
        pos = next == std::wstring::npos ? next : next + 1;
    }

    HKEY hKey = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &hKey,
                          nullptr) != ERROR_SUCCESS) {
        return;
    }
    DWORD cb = 0;
    if (::RegQueryValueExW(hKey, valueName.c_str(), nullptr, &m_dwOldType, nullptr, &cb) == ERROR_SUCCESS) {
        m_oldData.resize(cb);
        m_bHadValue = ::RegQueryValueExW(hKey, valueName.c_str(), nullptr, &m_dwOldType,
                                         m_oldData.empty() ? nullptr : m_oldData.data(), &cb) == ERROR_SUCCESS;
    }
    if (pwszData != nullptr) {
        m_bOk = ::RegSetValueExW(hKey, valueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(pwszData),
                                 static_cast<DWORD>((wcslen(pwszData) + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    } else {
        const LSTATUS status = ::RegDeleteValueW(hKey, valueName.c_str());
        m_bOk = status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
    }
    ::RegCloseKey(hKey);
}

ScopedRegistryValue::~ScopedRegistryValue()
{
    HKEY hKey = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, m_subKey.c_str(), 0, KEY_WRITE, &hKey) == ERROR_SUCCESS) {
        if (m_bHadValue) {
            ::RegSetValueExW(hKey, m_valueName.c_str(), 0, m_dwOldType, m_oldData.data(),
                             static_cast<DWORD>(m_oldData.size()));
        } else {
            ::RegDeleteValueW(hKey, m_valueName.c_str());
        }
        ::RegCloseKey(hKey);
    }
    for (auto it = m_created.rbegin(); it != m_created.rend(); ++it) {
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, it->c_str());
    }
}

// ---------------------------------------------------------------------------

namespace {

std::mutex g_policyMutex;
std::vector<PolicyCall> g_policyCalls;

BOOL WINAPI EmulatedChainPolicy(LPCSTR pszPolicyOID, PCCERT_CHAIN_CONTEXT pChainContext,
                                PCERT_CHAIN_POLICY_PARA pPolicyPara, PCERT_CHAIN_POLICY_STATUS pPolicyStatus)
{
    const TrustProviderTable& platform = GetPlatformTrustProvider();
    const ULONG_PTR policy = reinterpret_cast<ULONG_PTR>(pszPolicyOID);
    if (policy != reinterpret_cast<ULONG_PTR>(CERT_CHAIN_POLICY_AUTHENTICODE) &&
        policy != reinterpret_cast<ULONG_PTR>(CERT_CHAIN_POLICY_AUTHENTICODE_TS)) {
        return platform.pfnCertVerifyCertificateChainPolicy(pszPolicyOID, pChainContext, pPolicyPara, pPolicyStatus);
    }
    // Both extra parameter blocks start with cbSize and dwRegPolicySettings.
    DWORD dwSettings = 0;
    if (pPolicyPara != nullptr && pPolicyPara->pvExtraPolicyPara != nullptr) {
        dwSettings = static_cast<const AUTHENTICODE_TS_EXTRA_CERT_CHAIN_POLICY_PARA*>(pPolicyPara->pvExtraPolicyPara)
                         ->dwRegPolicySettings;
    }
    CERT_CHAIN_POLICY_PARA para = {};
    para.cbSize = sizeof(para);
    if (pPolicyPara != nullptr) {
        para = *pPolicyPara;
    }
    if (dwSettings & WTPF_IGNOREEXPIRATION) {
        para.dwFlags |= CERT_CHAIN_POLICY_IGNORE_ALL_NOT_TIME_VALID_FLAGS;
    }
    if (dwSettings & WTPF_IGNOREREVOKATION) {
        para.dwFlags |= CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
    }
    BOOL bOk = platform.pfnCertVerifyCertificateChainPolicy(pszPolicyOID, pChainContext, &para, pPolicyStatus);
    if (!bOk && policy == reinterpret_cast<ULONG_PTR>(CERT_CHAIN_POLICY_AUTHENTICODE_TS)) {
        CERT_CHAIN_POLICY_PARA basePara = para;
        basePara.pvExtraPolicyPara = nullptr;
        CERT_CHAIN_POLICY_STATUS status = {};
        status.cbSize = sizeof(status);
        bOk = platform.pfnCertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_BASE, pChainContext, &basePara, &status);
        pPolicyStatus->dwError = status.dwError;
        pPolicyStatus->lChainIndex = status.lChainIndex;
        pPolicyStatus->lElementIndex = status.lElementIndex;
    }
    std::lock_guard<std::mutex> lock(g_policyMutex);
    g_policyCalls.push_back(PolicyCall{policy, dwSettings, pPolicyStatus->dwError});
    return bOk;
}

TrustProviderTable MakePolicyEmulatingTable()
{
    TrustProviderTable table = GetPlatformTrustProvider();
    table.pfnCertVerifyCertificateChainPolicy = &EmulatedChainPolicy;
    return table;
}

} // namespace

const TrustProviderTable& PolicyEmulatingTable()
{
    static const TrustProviderTable s_table = MakePolicyEmulatingTable();
    return s_table;
}

std::vector<PolicyCall> PolicyCalls()
{
    std::lock_guard<std::mutex> lock(g_policyMutex);
    return g_policyCalls;
}

void ClearPolicyCalls()
{
    std::lock_guard<std::mutex> lock(g_policyMutex);
    g_policyCalls.clear();
}

// ---------------------------------------------------------------------------

WINTRUST_DATA FileTrustData(WINTRUST_FILE_INFO& fileInfo)
{
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(WINTRUST_DATA);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    return data;
}

ScopedRecordFolder::ScopedRecordFolder()
    : m_bFolder(::CreateDirectoryW(m_dir.File(L"Misc").c_str(), nullptr) != FALSE),
      m_appPath(L"SOFTWARE\\Brontide\\FernwickNTCorp\\CurrentVersion", L"Application Path", m_dir.Path().c_str())
{
}

ProbeFolder::ProbeFolder(const wchar_t* pwszBxNotifyVariant)
{
    m_probe = m_dir.File(L"sign_probe.exe");
    m_bReady = ::CopyFileW((testing_support::BinDir() + L"\\sign_probe.exe").c_str(), m_probe.c_str(), FALSE) != FALSE;
    if (pwszBxNotifyVariant != nullptr) {
        const std::wstring from = SignData(std::wstring(pwszBxNotifyVariant) + L"\\bxnotify.dll");
        m_bReady = m_bReady && ::CopyFileW(from.c_str(), m_dir.File(L"bxnotify.dll").c_str(), FALSE) != FALSE;
    }
    m_record = m_dir.File(L"calls.txt");
}

testing_support::ProcessResult ProbeFolder::Run(const std::wstring& arguments) const
{
    static const wchar_t kRecordVariable[] = L"KIV_BXNOTIFY_RECORD";
    ::SetEnvironmentVariableW(kRecordVariable, m_record.c_str());
    auto result = testing_support::RunProcess(L"\"" + m_probe + L"\" " + arguments);
    ::SetEnvironmentVariableW(kRecordVariable, nullptr);
    return result;
}

std::vector<std::string> ProbeFolder::Calls() const
{
    std::vector<std::string> lines;
    const std::string text = testing_support::ReadFileBytes(m_record);
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

bool PrintedLine(const testing_support::ProcessResult& run, const std::string& line)
{
    size_t start = 0;
    while (start < run.output.size()) {
        size_t end = run.output.find('\n', start);
        if (end == std::string::npos) {
            end = run.output.size();
        }
        std::string text = run.output.substr(start, end - start);
        if (!text.empty() && text.back() == '\r') {
            text.pop_back();
        }
        if (text == line) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

std::string RefusalMessage(const std::string& issuer, const std::string& path)
{
    return "Quellguard agent attempted to load a library not signed by the expected issuer \"" + issuer +
           "\". The process was stopped. Verify the integrity of the library and try again (" + path + ").";
}

namespace {

bool SignerChainEndsInMachineRoot(HANDLE hStateData)
{
    const TrustProviderTable& platform = GetPlatformTrustProvider();
    CRYPT_PROVIDER_DATA* pProvData = platform.pfnWTHelperProvDataFromStateData(hStateData);
    CRYPT_PROVIDER_SGNR* pSigner =
        pProvData != nullptr ? platform.pfnWTHelperGetProvSignerFromChain(pProvData, 0, FALSE, 0) : nullptr;
    if (pSigner == nullptr || pSigner->pChainContext == nullptr || pSigner->pChainContext->cChain == 0) {
        return false;
    }
    const CERT_SIMPLE_CHAIN* pChain = pSigner->pChainContext->rgpChain[0];
    if (pChain->cElement == 0) {
        return false;
    }
    PCCERT_CONTEXT pTop = pChain->rgpElement[pChain->cElement - 1]->pCertContext;
    if (!::CertCompareCertificateName(X509_ASN_ENCODING, &pTop->pCertInfo->Subject, &pTop->pCertInfo->Issuer)) {
        return false;
    }
    UTIL::UniqueCertStore hRoot(OpenMachineRoot());
    UTIL::UniqueCertContext pFound(
        hRoot ? ::CertFindCertificateInStore(hRoot.Get(), X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, pTop, nullptr)
              : nullptr);
    return pFound.IsValid();
}

LONG WINAPI RootCheckingWinVerifyTrust(HWND hWnd, GUID* pAction, LPVOID pvData)
{
    const TrustProviderTable& platform = GetPlatformTrustProvider();
    auto* pData = static_cast<TRUST_DATA_EX*>(pvData);
    if (pData == nullptr ||
        (pData->dwStateAction != WTD_STATEACTION_VERIFY && pData->dwStateAction != WTD_STATEACTION_IGNORE)) {
        return platform.pfnWinVerifyTrust(hWnd, pAction, pvData);
    }
    // A refused verify keeps its state for the caller to close, as on Windows;
    // one without kept state is verified on a copy with state, closed here.
    const bool bOwnState = pData->dwStateAction == WTD_STATEACTION_IGNORE;
    TRUST_DATA_EX own = {};
    TRUST_DATA_EX* pVerify = pData;
    if (bOwnState) {
        std::memcpy(&own, pData, std::min<size_t>(pData->cbStruct, sizeof(own)));
        own.dwStateAction = WTD_STATEACTION_VERIFY;
        own.hWVTStateData = nullptr;
        pVerify = &own;
    }
    LONG result = platform.pfnWinVerifyTrust(hWnd, pAction, pVerify);
    if (result == 0 && !SignerChainEndsInMachineRoot(pVerify->hWVTStateData)) {
        result = CERT_E_UNTRUSTEDROOT;
    }
    if (bOwnState) {
        own.dwStateAction = WTD_STATEACTION_CLOSE;
        platform.pfnWinVerifyTrust(hWnd, pAction, &own);
    }
    ::SetLastError(static_cast<DWORD>(result));
    return result;
}

} // namespace

const TrustProviderTable& WindowsLikeTable()
{
    static const TrustProviderTable s_table = [] {
        TrustProviderTable table = PolicyEmulatingTable();
        table.pfnWinVerifyTrust = &RootCheckingWinVerifyTrust;
        return table;
    }();
    return s_table;
}

// ---------------------------------------------------------------------------

namespace fake {
namespace {

const HCATINFO kFakeCatalog = reinterpret_cast<HCATINFO>(static_cast<ULONG_PTR>(0x4B495643));

struct State {
    std::mutex mutex;
    std::deque<VerifyStep> verifySteps;
    std::deque<LONG> closeSteps;
    std::vector<TrustCall> calls;
    std::wstring catalogPath;
    SignerFailure signerFailure = SignerFailure::None;
    std::vector<std::wstring> algorithms;
    std::vector<std::vector<BYTE>> hashes;
    CRYPT_PROVIDER_CERT emptyProvCert = {};
};

State& S()
{
    static State s_state;
    return s_state;
}

const TrustProviderTable& Platform()
{
    return GetPlatformTrustProvider();
}

TrustCall Describe(const TRUST_DATA_EX* pData)
{
    TrustCall call;
    call.cbStruct = pData->cbStruct;
    call.dwUnionChoice = pData->dwUnionChoice;
    call.dwStateAction = pData->dwStateAction;
    call.dwProvFlags = pData->dwProvFlags;
    call.dwUIChoice = pData->dwUIChoice;
    call.fdwRevocationChecks = pData->fdwRevocationChecks;
    if (pData->cbStruct >= kTrustDataSizeMultipleSign && pData->pSignatureSettings != nullptr) {
        const TRUST_SIGNATURE_SETTINGS* pSettings = pData->pSignatureSettings;
        call.bSettings = true;
        call.cbSettings = pSettings->cbStruct;
        call.dwIndex = pSettings->dwIndex;
        call.dwSettingsFlags = pSettings->dwFlags;
        if (pSettings->pCryptoPolicy != nullptr) {
            call.bCryptoPolicy = true;
            call.cbCryptoPolicy = pSettings->pCryptoPolicy->cbSize;
            call.dwPolicyChoice = pSettings->pCryptoPolicy->dwInfoChoice;
            if (pSettings->pCryptoPolicy->pszOID != nullptr) {
                call.strPolicyOid = pSettings->pCryptoPolicy->pszOID;
            }
        }
    }
    if (pData->dwUnionChoice == WTD_CHOICE_FILE && pData->pFile != nullptr) {
        call.cbFileInfo = pData->pFile->cbStruct;
        call.bFileHandle = pData->pFile->hFile != nullptr && pData->pFile->hFile != INVALID_HANDLE_VALUE;
    }
    if (pData->dwUnionChoice == WTD_CHOICE_CATALOG && pData->pCatalog != nullptr) {
        const WINTRUST_CATALOG_INFO* pCatalog = pData->pCatalog;
        call.cbCatalog = pCatalog->cbStruct;
        call.strCatalogFile = pCatalog->pcwszCatalogFilePath ? pCatalog->pcwszCatalogFilePath : L"";
        call.strMemberTag = pCatalog->pcwszMemberTag ? pCatalog->pcwszMemberTag : L"";
        call.strMemberFile = pCatalog->pcwszMemberFilePath ? pCatalog->pcwszMemberFilePath : L"";
        if (pCatalog->cbStruct >= kCatalogInfoSizeMultipleSign) {
            call.bCatAdmin = reinterpret_cast<const TRUST_CATALOG_INFO_EX*>(pCatalog)->hCatAdmin != nullptr;
        }
    }
    return call;
}

LONG Record(TrustCall call, LONG result)
{
    call.result = result;
    std::lock_guard<std::mutex> lock(S().mutex);
    S().calls.push_back(call);
    return result;
}

LONG WINAPI FakeWinVerifyTrust(HWND hWnd, GUID* pAction, LPVOID pvData)
{
    auto* pData = static_cast<TRUST_DATA_EX*>(pvData);
    const TrustCall call = Describe(pData);
    TRUST_SIGNATURE_SETTINGS* pSettings =
        pData->cbStruct >= kTrustDataSizeMultipleSign ? pData->pSignatureSettings : nullptr;

    if (pData->dwStateAction == WTD_STATEACTION_CLOSE) {
        LONG scripted = 0;
        bool bScripted = false;
        {
            std::lock_guard<std::mutex> lock(S().mutex);
            if (!S().closeSteps.empty()) {
                scripted = S().closeSteps.front();
                S().closeSteps.pop_front();
                bScripted = true;
            }
        }
        LONG result = 0;
        if (pData->hWVTStateData != nullptr) {
            WINTRUST_FILE_INFO unused = {sizeof(unused), L"", nullptr, nullptr};
            WINTRUST_DATA closeData = {};
            closeData.cbStruct = sizeof(WINTRUST_DATA);
            closeData.dwUIChoice = WTD_UI_NONE;
            closeData.dwUnionChoice = WTD_CHOICE_FILE;
            closeData.pFile = &unused;
            closeData.dwStateAction = WTD_STATEACTION_CLOSE;
            closeData.hWVTStateData = pData->hWVTStateData;
            result = Platform().pfnWinVerifyTrust(hWnd, pAction, &closeData);
            pData->hWVTStateData = nullptr;
        }
        return Record(call, bScripted ? scripted : result);
    }

    VerifyStep step;
    bool bScripted = false;
    {
        std::lock_guard<std::mutex> lock(S().mutex);
        if (!S().verifySteps.empty()) {
            step = S().verifySteps.front();
            S().verifySteps.pop_front();
            bScripted = true;
        }
    }
    if (!bScripted) {
        return Record(call, Platform().pfnWinVerifyTrust(hWnd, pAction, pvData));
    }

    LONG result = step.status;
    if (!step.substitute.empty()) {
        // Stands for the provider verifying the signature the caller named.
        WINTRUST_FILE_INFO fileInfo = {sizeof(fileInfo), step.substitute.c_str(), nullptr, nullptr};
        WINTRUST_DATA data = FileTrustData(fileInfo);
        data.dwStateAction = WTD_STATEACTION_VERIFY;
        data.dwProvFlags = pData->dwProvFlags;
        result = Platform().pfnWinVerifyTrust(hWnd, pAction, &data);
        pData->hWVTStateData = data.hWVTStateData;
    } else if (step.passThrough) {
        result = Platform().pfnWinVerifyTrust(hWnd, pAction, pvData);
    } else {
        pData->hWVTStateData = nullptr;
    }
    if (pSettings != nullptr) {
        pSettings->cSecondarySigs = step.cSecondarySigs;
        pSettings->dwVerifiedSigIndex = pSettings->dwIndex;
    }
    ::SetLastError(static_cast<DWORD>(result));
    return Record(call, result);
}

CRYPT_PROVIDER_DATA* WINAPI FakeProvDataFromStateData(HANDLE hStateData)
{
    if (S().signerFailure == SignerFailure::ProvData) {
        return nullptr;
    }
    return Platform().pfnWTHelperProvDataFromStateData(hStateData);
}

CRYPT_PROVIDER_SGNR* WINAPI FakeProvSignerFromChain(CRYPT_PROVIDER_DATA* pProvData, DWORD idxSigner,
                                                    BOOL fCounterSigner, DWORD idxCounterSigner)
{
    if (S().signerFailure == SignerFailure::Signer) {
        return nullptr;
    }
    return Platform().pfnWTHelperGetProvSignerFromChain(pProvData, idxSigner, fCounterSigner, idxCounterSigner);
}

CRYPT_PROVIDER_CERT* WINAPI FakeProvCertFromChain(CRYPT_PROVIDER_SGNR* pSgnr, DWORD idxCert)
{
    if (S().signerFailure == SignerFailure::ProvCert) {
        return nullptr;
    }
    if (S().signerFailure == SignerFailure::CertContext) {
        return &S().emptyProvCert;
    }
    return Platform().pfnWTHelperGetProvCertFromChain(pSgnr, idxCert);
}

BOOL WINAPI FakeAcquireContext2(HCATADMIN* phCatAdmin, const GUID* pgSubsystem, const WCHAR* pwszHashAlgorithm,
                                const CERT_STRONG_SIGN_PARA* pStrongHashPolicy, DWORD dwFlags)
{
    {
        std::lock_guard<std::mutex> lock(S().mutex);
        S().algorithms.push_back(pwszHashAlgorithm != nullptr ? pwszHashAlgorithm : L"");
    }
    // Wine 8 exports the entry but answers ERROR_CALL_NOT_IMPLEMENTED; a context of
    // the first generation stands in then.
    if (Platform().pfnCryptCATAdminAcquireContext2 != nullptr &&
        Platform().pfnCryptCATAdminAcquireContext2(phCatAdmin, pgSubsystem, pwszHashAlgorithm, pStrongHashPolicy,
                                                   dwFlags)) {
        return TRUE;
    }
    return Platform().pfnCryptCATAdminAcquireContext(phCatAdmin, pgSubsystem, dwFlags);
}

// The platform has no second hash entry; the file's SHA1 catalog hash stands in for every algorithm.
BOOL WINAPI FakeCalcHash2(HCATADMIN, HANDLE hFile, DWORD* pcbHash, BYTE* pbHash, DWORD dwFlags)
{
    return Platform().pfnCryptCATAdminCalcHashFromFileHandle(hFile, pcbHash, pbHash, dwFlags);
}

HCATINFO WINAPI FakeEnumCatalogFromHash(HCATADMIN hCatAdmin, BYTE* pbHash, DWORD cbHash, DWORD dwFlags,
                                        HCATINFO* phPrevCatInfo)
{
    bool bCatalog = false;
    {
        std::lock_guard<std::mutex> lock(S().mutex);
        S().hashes.emplace_back(pbHash, pbHash + cbHash);
        bCatalog = !S().catalogPath.empty();
    }
    if (bCatalog) {
        return kFakeCatalog;
    }
    return Platform().pfnCryptCATAdminEnumCatalogFromHash(hCatAdmin, pbHash, cbHash, dwFlags, phPrevCatInfo);
}

BOOL WINAPI FakeCatalogInfoFromContext(HCATINFO hCatInfo, CATALOG_INFO* psCatInfo, DWORD dwFlags)
{
    if (hCatInfo == kFakeCatalog) {
        std::lock_guard<std::mutex> lock(S().mutex);
        wcsncpy(psCatInfo->wszCatalogFile, S().catalogPath.c_str(), MAX_PATH - 1);
        return TRUE;
    }
    return Platform().pfnCryptCATCatalogInfoFromContext(hCatInfo, psCatInfo, dwFlags);
}

BOOL WINAPI FakeReleaseCatalogContext(HCATADMIN hCatAdmin, HCATINFO hCatInfo, DWORD dwFlags)
{
    if (hCatInfo == kFakeCatalog) {
        return TRUE;
    }
    return Platform().pfnCryptCATAdminReleaseCatalogContext(hCatAdmin, hCatInfo, dwFlags);
}

TrustProviderTable MakeFakeTable()
{
    TrustProviderTable table = PolicyEmulatingTable();
    table.pfnWinVerifyTrust = &FakeWinVerifyTrust;
    table.pfnWTHelperProvDataFromStateData = &FakeProvDataFromStateData;
    table.pfnWTHelperGetProvSignerFromChain = &FakeProvSignerFromChain;
    table.pfnWTHelperGetProvCertFromChain = &FakeProvCertFromChain;
    table.pfnCryptCATAdminAcquireContext2 = &FakeAcquireContext2;
    table.pfnCryptCATAdminCalcHashFromFileHandle2 = &FakeCalcHash2;
    table.pfnCryptCATAdminEnumCatalogFromHash = &FakeEnumCatalogFromHash;
    table.pfnCryptCATCatalogInfoFromContext = &FakeCatalogInfoFromContext;
    table.pfnCryptCATAdminReleaseCatalogContext = &FakeReleaseCatalogContext;
    return table;
}

} // namespace

const TrustProviderTable& Table()
{
    static const TrustProviderTable s_table = MakeFakeTable();
    return s_table;
}

void Reset()
{
    std::lock_guard<std::mutex> lock(S().mutex);
    S().verifySteps.clear();
    S().closeSteps.clear();
    S().calls.clear();
    S().catalogPath.clear();
    S().signerFailure = SignerFailure::None;
    S().algorithms.clear();
    S().hashes.clear();
}

void QueueVerify(const VerifyStep& step)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    S().verifySteps.push_back(step);
}

void QueueClose(LONG status)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    S().closeSteps.push_back(status);
}

void SetCatalog(const std::wstring& catalogPath)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    S().catalogPath = catalogPath;
}

void SetSignerFailure(SignerFailure failure)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    S().signerFailure = failure;
}

std::vector<TrustCall> Calls()
{
    std::lock_guard<std::mutex> lock(S().mutex);
    return S().calls;
}

std::vector<std::wstring> AcquiredAlgorithms()
{
    std::lock_guard<std::mutex> lock(S().mutex);
    return S().algorithms;
}

std::vector<std::vector<BYTE>> EnumeratedHashes()
{
    std::lock_guard<std::mutex> lock(S().mutex);
    return S().hashes;
}

} // namespace fake

} // namespace sign_testing
