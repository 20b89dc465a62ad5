// Attacks on the signature checks, each with a real file made at build time.
// The maker's test root is trusted, as the maker's root is on every real
// installation, and the trust provider answers as Windows does where Wine
// cannot: a chain under a self-made root is refused.
#include <gtest/gtest.h>

#include <string>

#include "common/text_convert.h"
#include "log/debug_log.h"
#include "sign/issuer_check.h"
#include "sign/signature_manager.h"
#include "sign/verify_file_sign.h"
#include "sign_test_support.h"
#include "test_support.h"

using sign_testing::PrintedLine;
using sign_testing::ProbeFolder;
using sign_testing::RefusalMessage;
using sign_testing::ScopedTrustProvider;
using sign_testing::SignData;
using testing_support::BinDir;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using Mgr = CQgdDigitalSignatureManagerEx;

namespace {

const DWORD kBadDigest = 0x80096010;

class AttackTest : public sign_testing::LoggedTest {
protected:
    void SetUp() override
    {
        LoggedTest::SetUp();
        ASSERT_TRUE(m_root.Added());
    }

    sign_testing::TrustedTestRoot m_root;
    ScopedTrustProvider m_windows{sign_testing::WindowsLikeTable()};
};

std::string RecordBytes(const std::wstring& file, DWORD dwCode)
{
    const std::wstring record = file + L"\t" + std::to_wstring(static_cast<int>(dwCode));
    return std::string(reinterpret_cast<const char*>(record.c_str()), (record.size() + 1) * sizeof(wchar_t));
}

// During the first verification, tries what another process would do to swap
// the checked library for another one before it is loaded.
struct SwapAttempts {
    std::wstring target;
    std::wstring replacement;
    bool bTried = false;
    DWORD dwWrite = 0;        // open the library for writing
    DWORD dwReplace = 0;      // move another file over it
    DWORD dwRenameFolder = 0; // move its folder away (undone at once if it worked)
};
SwapAttempts g_swap;

DWORD ErrorOf(BOOL bDone)
{
    return bDone ? ERROR_SUCCESS : ::GetLastError();
}

LONG WINAPI SwappingWinVerifyTrust(HWND hWnd, GUID* pAction, LPVOID pvData)
{
    const LONG lStatus = sign_testing::WindowsLikeTable().pfnWinVerifyTrust(hWnd, pAction, pvData);
    if (g_swap.bTried || static_cast<TRUST_DATA_EX*>(pvData)->dwStateAction != WTD_STATEACTION_VERIFY) {
        return lStatus;
    }
    g_swap.bTried = true;
    UTIL::UniqueHandle hWrite(::CreateFileW(g_swap.target.c_str(), GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    g_swap.dwWrite = hWrite ? ERROR_SUCCESS : ::GetLastError();
    hWrite.Reset();
    const std::wstring folder = g_swap.target.substr(0, g_swap.target.find_last_of(L'\\'));
    g_swap.dwRenameFolder = ErrorOf(::MoveFileW(folder.c_str(), (folder + L"-moved").c_str()));
    if (g_swap.dwRenameFolder == ERROR_SUCCESS) {
        ::MoveFileW((folder + L"-moved").c_str(), folder.c_str());
    }
    g_swap.dwReplace = ErrorOf(
        ::MoveFileExW(g_swap.replacement.c_str(), g_swap.target.c_str(), MOVEFILE_REPLACE_EXISTING));
    return lStatus;
}

} // namespace

TEST_F(AttackTest, ChangedOrTransplantedOrGraftedSignaturesAreRefusedWithEventAndRecord)
{
    struct Case {
        const wchar_t* file;
        DWORD dwCode;
        const wchar_t* refusal;
    };
    const Case cases[] = {
        // A maker-signed library whose code was changed afterwards.
        {L"tampered.dll", kBadDigest, L"VerifyDigitalSignatureCertInfo - The signature does not sign this file"},
        // The maker's signature block copied onto another library.
        {L"transplanted.dll", kBadDigest, L"VerifyDigitalSignatureCertInfo - The signature does not sign this file"},
        // Signed by anyone, carrying a maker signature copied from another file as nested signature.
        {L"grafted.dll", ERROR_FAILED_ISSUER_CHECK,
         L"VerifyDigitalSignatureCertInfo - The signature does not sign this file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing_support::Narrow(c.file));
        ClearLog();
        const std::wstring library = SignData(c.file);
        const DigitalSignatureResult result = Mgr::VerifyDigitalSignature(library.c_str(), SIGNER_FLAG_MAKER, false);
        EXPECT_FALSE(result.bValid);
        EXPECT_EQ(c.dwCode, result.dwErrorCode);
        EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, c.refusal)) << Dump();

        ProbeFolder folder(L"recorder");
        ASSERT_TRUE(folder.Ready());
        sign_testing::ScopedRecordFolder product;
        ASSERT_TRUE(product.Ok());
        const auto run = folder.Run(L"--windows-trust load \"Brontide, Inc.\" \"" + library + L"\"");
        EXPECT_TRUE(PrintedLine(run, "module=0 err=536876103")) << run.output;
        const auto calls = folder.Calls();
        ASSERT_EQ(4u, calls.size());
        EXPECT_NE(std::string::npos, calls[2].find(RefusalMessage("Brontide, Inc.", UTIL::WideToAnsi(library))));
        EXPECT_EQ(RecordBytes(library, c.dwCode), ReadFileBytes(product.RecordFile()));
    }
}

TEST_F(AttackTest, NestedSignatureCountsOnlyForTheFileItSigned)
{
    CVerifyFileSignV2* pVerifier = CVerifyFileSignV2::GetInstance();
    WINTRUST_FILE_INFO fileInfo = {sizeof(fileInfo), nullptr, nullptr, nullptr};
    WINTRUST_DATA data = sign_testing::FileTrustData(fileInfo);

    // The key list trusts the maker's key, which signed the grafted nested signature.
    EXPECT_FALSE(pVerifier->VerifyEmbeddedSignatureByCertInfo(SignData(L"grafted.dll").c_str(), data));
    EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, L"VerifySecondarySignatureAndGetCertInfo - The nested signature does not "
                                        L"sign this file: its signed digest does not match"));
    EXPECT_EQ(0u, CountLogged(LOG_LEVEL_DEBUG, L"Secondary signature verified: 1")) << Dump();

    // A genuine nested maker signature over the same file still counts, on both paths.
    EXPECT_TRUE(pVerifier->VerifyEmbeddedSignatureByCertInfo(SignData(L"other_nested_maker.dll").c_str(), data));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"Secondary signature verified: 1"));
    EXPECT_TRUE(Mgr::VerifyDigitalSignature(SignData(L"other_nested_maker.dll").c_str(), SIGNER_FLAG_MAKER, false)
                    .bValid);
}

TEST_F(AttackTest, ForgedOrCopiedKeyListLibraryIsNeitherLoadedNorTrusted)
{
    CVerifyFileSignV2* pVerifier = CVerifyFileSignV2::GetInstance();
    ClearLog(); // the lines of the library beside the program, loaded when the verifier was made
    // "Brontide, Inc." under a self-made root: the name is right, the chain is not.
    EXPECT_FALSE(pVerifier->LoadZorIVAAndUpdatePublicKeyList(SignData(L"zoriva_forged.dll").c_str()));
    EXPECT_TRUE(Logged(LOG_LEVEL_ERROR,
                       L"IntegrityCheckForZorIVA - The trust provider refused the signature, error code: 800b0109"));
    // The maker's signature block copied onto the key-list library.
    EXPECT_FALSE(pVerifier->LoadZorIVAAndUpdatePublicKeyList(SignData(L"zoriva_transplanted.dll").c_str()));
    EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, L"VerifySignatureAndGetCertInfo - The primary signature does not sign this "
                                        L"file: its signed digest does not match"));
    EXPECT_EQ(0u, CountLogged(LOG_LEVEL_DEBUG, L"Load ZorIVA successfully")) << Dump();

    // The genuine key-list library is still accepted.
    EXPECT_TRUE(pVerifier->LoadZorIVAAndUpdatePublicKeyList((BinDir() + L"\\ZorIVA.dll").c_str()));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"Load ZorIVA successfully"));
}

TEST_F(AttackTest, RelativePathLoadsTheFileThatWasChecked)
{
    // The program's folder holds an unsigned x.dll; the current folder a maker-signed one.
    ProbeFolder folder(nullptr);
    ASSERT_TRUE(folder.Ready());
    ASSERT_TRUE(::CopyFileW(SignData(L"unsigned.dll").c_str(), folder.Dir().File(L"x.dll").c_str(), FALSE));
    TempDir current;
    ASSERT_TRUE(::CopyFileW(SignData(L"maker.dll").c_str(), current.File(L"x.dll").c_str(), FALSE));

    const auto run = folder.Run(L"--windows-trust --cwd \"" + current.Path() + L"\" load \"Brontide, Inc.\" x.dll");
    EXPECT_EQ(0u, run.output.find("module=1 ")) << run.output;
    EXPECT_TRUE(PrintedLine(run, "path=" + testing_support::Narrow(current.File(L"x.dll")))) << run.output;
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"CheckFileIssuer - successfully to check digital signature for " +
                                            current.File(L"x.dll")));
}

TEST_F(AttackTest, LibraryCannotBeSwappedBetweenItsCheckAndItsLoad)
{
    TempDir dir;
    g_swap = SwapAttempts();
    g_swap.target = dir.File(L"plugin.dll");
    g_swap.replacement = dir.File(L"replacement.dll");
    ASSERT_TRUE(::CopyFileW(SignData(L"maker.dll").c_str(), g_swap.target.c_str(), FALSE));
    ASSERT_TRUE(::CopyFileW(SignData(L"unsigned.dll").c_str(), g_swap.replacement.c_str(), FALSE));
    TrustProviderTable swapping = sign_testing::WindowsLikeTable();
    swapping.pfnWinVerifyTrust = &SwappingWinVerifyTrust;
    ScopedTrustProvider provider(swapping);

    HMODULE hModule = LoadLibraryWithIssuerCheckW(L"Brontide, Inc.", g_swap.target.c_str());
    ASSERT_NE(nullptr, hModule) << ::GetLastError();
    ::FreeLibrary(hModule);
    ASSERT_TRUE(g_swap.bTried);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), g_swap.dwWrite);
    EXPECT_NE(static_cast<DWORD>(ERROR_SUCCESS), g_swap.dwReplace);
    EXPECT_NE(static_cast<DWORD>(ERROR_SUCCESS), g_swap.dwRenameFolder);
    EXPECT_EQ(ReadFileBytes(SignData(L"maker.dll")), ReadFileBytes(g_swap.target));

    // Once loaded and freed, the library is nobody's to hold any more.
    EXPECT_TRUE(::MoveFileExW(g_swap.replacement.c_str(), g_swap.target.c_str(), MOVEFILE_REPLACE_EXISTING));
}
