// Helpers for the signature tests: signed test files, the trusted test root,
// registry values with restore, and replacement trust-provider tables.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sign/trust_provider.h"
#include "test_support.h"

namespace sign_testing {

// Base of the tests that check log lines: a log server in this process.
class LoggedTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_capture.Started()); }

    // Waits for a record of this level whose text contains the fragment.
    bool Logged(int level, const std::wstring& fragment) const { return m_capture.WaitFor(level, -1, fragment); }
    // Records so far (after they stop arriving) of this level containing the fragment.
    size_t CountLogged(int level, const std::wstring& fragment) const
    {
        m_capture.Settle();
        return m_capture.Matching(level, -1, fragment).size();
    }
    std::string Dump() const { return m_capture.Dump(); }
    // Lets the records already sent arrive before dropping them.
    void ClearLog()
    {
        m_capture.Settle();
        m_capture.Clear();
    }

    testing_support::LogCapture m_capture;
};

// Trust data for a file, as a caller of the verifier fills it: no user
// interface, no revocation checks; the caller adds flags and state action.
WINTRUST_DATA FileTrustData(WINTRUST_FILE_INFO& fileInfo);

// A file of the signed test set (bin\signdata\<name>), made at build time.
std::wstring SignData(const std::wstring& name);

// The maker's subject public key bits as the key-list library holds them.
std::vector<BYTE> MakerPublicKey();

// Trusts the test root CA in the local machine's Root store while alive.
class TrustedTestRoot {
public:
    TrustedTestRoot();
    ~TrustedTestRoot();
    TrustedTestRoot(const TrustedTestRoot&) = delete;
    TrustedTestRoot& operator=(const TrustedTestRoot&) = delete;
    bool Added() const { return m_bAdded; }

private:
    std::vector<BYTE> m_der;
    bool m_bAdded = false;
};

// Gives a registry value under HKEY_LOCAL_MACHINE a string (or, with a null
// string, makes the key exist without the value) while alive; afterwards the
// old value is restored and the keys it created are deleted.
class ScopedRegistryValue {
public:
    ScopedRegistryValue(const std::wstring& subKey, const std::wstring& valueName, const wchar_t* pwszData);
    ~ScopedRegistryValue();
    ScopedRegistryValue(const ScopedRegistryValue&) = delete;
    ScopedRegistryValue& operator=(const ScopedRegistryValue&) = delete;
    bool Ok() const { return m_bOk; }

private:
    std::wstring m_subKey;
    std::wstring m_valueName;
    std::vector<std::wstring> m_created; // deepest last
    bool m_bHadValue = false;
    DWORD m_dwOldType = 0;
    std::vector<BYTE> m_oldData;
    bool m_bOk = false;
};

// A product folder of its own for the last-invalid-signature record while
// alive: a temporary folder with "Misc", named by the product's application
// path, so the record is written to RecordFile().
class ScopedRecordFolder {
public:
    ScopedRecordFolder();
    bool Ok() const { return m_bFolder && m_appPath.Ok(); }
    std::wstring RecordFile() const { return m_dir.File(L"Misc\\DSInvalidLogLastInfo.log"); }

private:
    testing_support::TempDir m_dir;
    bool m_bFolder;
    ScopedRegistryValue m_appPath;
};

// A folder with a copy of sign_probe.exe and, optionally, a bxnotify.dll of the
// signed test set (recorder, foreign, noreport) beside it; the recording
// variant writes the calls it receives to a file of the folder.
class ProbeFolder {
public:
    explicit ProbeFolder(const wchar_t* pwszBxNotifyVariant);
    bool Ready() const { return m_bReady; }
    const testing_support::TempDir& Dir() const { return m_dir; }
    testing_support::ProcessResult Run(const std::wstring& arguments) const;
    // The calls the recording library received, one per line.
    std::vector<std::string> Calls() const;

private:
    testing_support::TempDir m_dir;
    std::wstring m_probe;
    std::wstring m_record;
    bool m_bReady = false;
};

// Whether the program printed this exact line.
bool PrintedLine(const testing_support::ProcessResult& run, const std::string& line);

// The event text of a library refused for this issuer and path.
std::string RefusalMessage(const std::string& issuer, const std::string& path);

// Routes the trust-provider calls through `table` while alive.
class ScopedTrustProvider {
public:
    explicit ScopedTrustProvider(const TrustProviderTable& table) : m_pPrevious(SetTrustProvider(&table)) {}
    ~ScopedTrustProvider() { SetTrustProvider(m_pPrevious); }
    ScopedTrustProvider(const ScopedTrustProvider&) = delete;
    ScopedTrustProvider& operator=(const ScopedTrustProvider&) = delete;

private:
    const TrustProviderTable* m_pPrevious;
};

// The platform's table whose Authenticode chain policies behave as on Windows:
// Wine ignores WTPF_IGNOREEXPIRATION and has no CERT_CHAIN_POLICY_AUTHENTICODE_TS
// (the call fails with ERROR_FILE_NOT_FOUND); the emulation maps the registry
// policy settings onto the base policy's ignore flags.
struct PolicyCall {
    ULONG_PTR policy;          // CERT_CHAIN_POLICY_AUTHENTICODE or _TS
    DWORD dwRegPolicySettings; // from the extra policy parameters
    DWORD dwError;             // the status returned
};
const TrustProviderTable& PolicyEmulatingTable();
std::vector<PolicyCall> PolicyCalls();
void ClearPolicyCalls();

// PolicyEmulatingTable whose WinVerifyTrust also refuses, with
// CERT_E_UNTRUSTEDROOT, a signature the platform verified when its signer's
// chain does not end in a root of the machine's Root store: Wine 8 accepts any
// root. A verify without kept state is made with state here and closed again.
const TrustProviderTable& WindowsLikeTable();

// A recording, scriptable trust provider: by default every call goes to the
// platform (chain policies emulated as above); the two "2" entries are present,
// so the process looks like a multiple sign platform.
namespace fake {

struct VerifyStep {
    LONG status = 0;            // returned when neither substitute nor passThrough
    DWORD cSecondarySigs = 0;   // reported through the signature settings
    std::wstring substitute;    // verify this file instead (a real state results)
    bool passThrough = false;   // call the platform, then report cSecondarySigs
};

struct TrustCall {
    DWORD cbStruct = 0;
    DWORD dwUnionChoice = 0;
    DWORD dwStateAction = 0;
    DWORD dwProvFlags = 0;
    DWORD dwUIChoice = 0;
    DWORD fdwRevocationChecks = 0;
    bool bSettings = false;
    DWORD cbSettings = 0;
    DWORD dwIndex = 0;
    DWORD dwSettingsFlags = 0;
    bool bCryptoPolicy = false;
    DWORD cbCryptoPolicy = 0;
    DWORD dwPolicyChoice = 0;
    std::string strPolicyOid;
    DWORD cbFileInfo = 0;
    bool bFileHandle = false;
    DWORD cbCatalog = 0;
    std::wstring strCatalogFile;
    std::wstring strMemberTag;
    std::wstring strMemberFile;
    bool bCatAdmin = false;
    LONG result = 0;
};

enum class SignerFailure { None, ProvData, Signer, ProvCert, CertContext };

const TrustProviderTable& Table();
void Reset();                                    // clears script and records
void QueueVerify(const VerifyStep& step);        // answers the next verify calls in order
void QueueClose(LONG status);                    // answers the next close calls in order
void SetCatalog(const std::wstring& catalogPath); // hashes are "found" in this catalog
void SetSignerFailure(SignerFailure failure);
std::vector<TrustCall> Calls();
std::vector<std::wstring> AcquiredAlgorithms();  // CryptCATAdminAcquireContext2 calls
std::vector<std::vector<BYTE>> EnumeratedHashes();

} // namespace fake

} // namespace sign_testing
