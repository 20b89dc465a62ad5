// Multiple-signature verifier against the platform's trust provider, with real
// signed files, real key-list libraries and the real registry.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>
#include <mssip.h>

#include <string>
#include <utility>
#include <vector>

#include "log/debug_log.h"
#include "sign/signature_manager.h"
#include "sign/verify_file_sign.h"
#include "sign_test_support.h"
#include "test_support.h"

using sign_testing::MakerPublicKey;
using sign_testing::ScopedRegistryValue;
using sign_testing::SignData;
using testing_support::BinDir;
using testing_support::LogCapture;
using testing_support::ReadFileBytes;
using testing_support::RunProcess;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

const wchar_t kAppPathKey[] = L"SOFTWARE\\Brontide\\FernwickNTCorp\\CurrentVersion";
const wchar_t kServiceInfoKey[] = L"SOFTWARE\\Brontide\\Quellguard\\service\\Information";

class VerifyFileSignTest : public sign_testing::LoggedTest {};

WINTRUST_DATA FreshTrustData(WINTRUST_FILE_INFO& fileInfo)
{
    WINTRUST_DATA data = sign_testing::FileTrustData(fileInfo);
    data.dwProvFlags = 0x1110;
    return data;
}

bool CertInfo(const std::wstring& file, DWORD* pdwProvFlagsAfter = nullptr)
{
    WINTRUST_FILE_INFO fileInfo = {sizeof(fileInfo), file.c_str(), nullptr, nullptr};
    WINTRUST_DATA data = FreshTrustData(fileInfo);
    const bool bResult = CVerifyFileSignV2::GetInstance()->VerifyEmbeddedSignatureByCertInfo(file.c_str(), data);
    if (pdwProvFlagsAfter != nullptr) {
        *pdwProvFlagsAfter = data.dwProvFlags;
    }
    return bResult;
}

// A copy of the signed key-list library with another optional-header magic.
std::wstring CopyWithMagic(const TempDir& dir, const std::wstring& name, WORD wMagic)
{
    std::string image = ReadFileBytes(BinDir() + L"\\ZorIVA.dll");
    const DWORD e_lfanew = *reinterpret_cast<const DWORD*>(&image[0x3C]);
    const size_t offMagic = e_lfanew + 4 + sizeof(IMAGE_FILE_HEADER);
    image[offMagic] = static_cast<char>(wMagic & 0xFF);
    image[offMagic + 1] = static_cast<char>(wMagic >> 8);
    const std::wstring path = dir.File(name);
    WriteFileBytes(path, image);
    return path;
}

std::string Utf16Bytes(const std::wstring& text)
{
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

bool CopyTo(const std::wstring& from, const std::wstring& to)
{
    return ::CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

} // namespace

// ---------------------------------------------------------------------------
// Image headers

TEST_F(VerifyFileSignTest, IntegrityCheckRefusesMissingAndMalformedImages)
{
    TempDir dir;
    EXPECT_FALSE(IsIntegrityCheckEnabled(dir.File(L"missing.dll").c_str()));
    EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, L"IsIntegrityCheckEnabled - Failed to open file: " + dir.File(L"missing.dll") +
                                            L", Windows error code=[2]"));

    ASSERT_TRUE(WriteFileBytes(dir.File(L"empty.dll"), ""));
    EXPECT_FALSE(IsIntegrityCheckEnabled(dir.File(L"empty.dll").c_str()));
    EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, L"IsIntegrityCheckEnabled - Failed to create file mapping"));

    ASSERT_TRUE(WriteFileBytes(dir.File(L"text.dll"), std::string(200, 'x')));
    EXPECT_FALSE(IsIntegrityCheckEnabled(dir.File(L"text.dll").c_str()));
    EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, L"IsIntegrityCheckEnabled - failed to ImageNtHeader, err=[193]"));

    // A DOS header whose NT header offset points far beyond the file.
    std::string dos(128, '\0');
    dos[0] = 'M';
    dos[1] = 'Z';
    dos[0x3C] = '\xF0';
    dos[0x3F] = '\x7F';
    ASSERT_TRUE(WriteFileBytes(dir.File(L"farheader.dll"), dos));
    ClearLog();
    EXPECT_FALSE(IsIntegrityCheckEnabled(dir.File(L"farheader.dll").c_str()));
    EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, L"IsIntegrityCheckEnabled - failed to ImageNtHeader, err=[193]"));

    const std::wstring rom = CopyWithMagic(dir, L"rom.dll", 0x107);
    EXPECT_FALSE(IsIntegrityCheckEnabled(rom.c_str()));
    EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, L"IsIntegrityCheckEnabled - Unrecognized platform type: 107"));
}

TEST_F(VerifyFileSignTest, IntegrityCheckReadsForceIntegrityBitOfBothLayouts)
{
    TempDir dir;
    EXPECT_TRUE(IsIntegrityCheckEnabled((BinDir() + L"\\ZorIVA.dll").c_str()));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"IsIntegrityCheckEnabled - << 128"));

    ClearLog();
    EXPECT_FALSE(IsIntegrityCheckEnabled(SignData(L"zoriva_nointeg.dll").c_str()));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"IsIntegrityCheckEnabled - << 0"));

    // DllCharacteristics sits at the same offset in the 64-bit optional header.
    EXPECT_TRUE(IsIntegrityCheckEnabled(CopyWithMagic(dir, L"pe64.dll", 0x20B).c_str()));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"IsIntegrityCheckEnabled - >> " + dir.File(L"pe64.dll")));
}

// ---------------------------------------------------------------------------
// Key-list library

TEST_F(VerifyFileSignTest, KeyListLibraryMustDemandIntegrityAndCarryMakerSignature)
{
    CVerifyFileSignV2* pVerifier = CVerifyFileSignV2::GetInstance();
    EXPECT_FALSE(pVerifier->IntegrityCheckForZorIVA(SignData(L"zoriva_nointeg.dll").c_str()));

    EXPECT_FALSE(pVerifier->IntegrityCheckForZorIVA(SignData(L"zoriva_other.dll").c_str()));
    EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, L"CVerifyFileSignV2::IntegrityCheckForZorIVA - Invalid issuer: Larkspur Tools Ltd"));

    EXPECT_FALSE(pVerifier->IntegrityCheckForZorIVA(SignData(L"zoriva_unsigned.dll").c_str()));
    EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, L"CVerifyFileSignV2::VerifySignatureAndGetCertInfo - Failed to call CryptQueryObject"));

    // "BRONTIDE, INC.": the maker's name in other letter case.
    ClearLog();
    EXPECT_TRUE(pVerifier->IntegrityCheckForZorIVA(SignData(L"zoriva_case.dll").c_str()));
    m_capture.Settle();
    EXPECT_TRUE(m_capture.Matching(LOG_LEVEL_ERROR, -1, L"Invalid issuer").empty()) << Dump();
}

TEST_F(VerifyFileSignTest, RefusedKeyListLibraryAddsNoKeys)
{
    CVerifyFileSignV2* pVerifier = CVerifyFileSignV2::GetInstance();
    ClearLog();
    EXPECT_FALSE(pVerifier->LoadZorIVAAndUpdatePublicKeyList(SignData(L"zoriva_nointeg.dll").c_str()));
    EXPECT_FALSE(pVerifier->LoadZorIVAAndUpdatePublicKeyList(SignData(L"zoriva_other.dll").c_str()));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG,
                       L"CVerifyFileSignV2::LoadZorIVAAndUpdatePublicKeyList - << " + SignData(L"zoriva_other.dll")));
    EXPECT_EQ(0u, CountLogged(LOG_LEVEL_DEBUG, L"Load ZorIVA successfully")) << Dump();

    // Signed by the maker and demanding integrity, but without the two entries.
    EXPECT_FALSE(pVerifier->LoadZorIVAAndUpdatePublicKeyList(SignData(L"maker.dll").c_str()));
    EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, L"CVerifyFileSignV2::LoadZorIVAAndUpdatePublicKeyList - Function not found"));

    // A path the 260-character buffer cannot hold is refused, not cut.
    const std::wstring longPath = L"C:\\" + std::wstring(300, L'a') + L"\\ZorIVA.dll";
    EXPECT_FALSE(pVerifier->LoadZorIVAAndUpdatePublicKeyList(longPath.c_str()));

    EXPECT_TRUE(pVerifier->LoadZorIVAAndUpdatePublicKeyList((BinDir() + L"\\ZorIVA.dll").c_str()));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"CVerifyFileSignV2::LoadZorIVAAndUpdatePublicKeyList - Total keys loaded: 1"));
}

TEST_F(VerifyFileSignTest, KeyListComesFromModuleFolderWithPendingReplacementFirst)
{
    TempDir dir;
    const std::wstring probe = dir.File(L"sign_probe.exe");
    ASSERT_TRUE(CopyTo(BinDir() + L"\\sign_probe.exe", probe));
    ASSERT_TRUE(CopyTo(BinDir() + L"\\ZorIVA.dll", dir.File(L"ZorIVA.dll")));
    ASSERT_TRUE(CopyTo(SignData(L"zoriva_other.dll"), dir.File(L"ZorIVA.dll.new")));
    const std::wstring command = L"\"" + probe + L"\" certinfo \"" + SignData(L"maker.dll") + L"\"";

    // Only the pending replacement is considered, and it is refused: no keys.
    auto run = RunProcess(command);
    ASSERT_TRUE(run.started);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"LoadZorIVAAndUpdatePublicKeyList - << " + dir.File(L"ZorIVA.dll.new")));
    EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, L"Invalid issuer: Larkspur Tools Ltd"));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"CVerifyFileSignV2::VerifyEmbeddedSignatureByCertInfo - Primary signature verified: 0"));

    // Without it the library beside the module is used.
    ASSERT_TRUE(::DeleteFileW(dir.File(L"ZorIVA.dll.new").c_str()));
    ClearLog();
    run = RunProcess(command);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"LoadZorIVAAndUpdatePublicKeyList - << " + dir.File(L"ZorIVA.dll")));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"Total keys loaded: 1"));

    // A key-list library that does not demand integrity checking leaves the set empty.
    ASSERT_TRUE(CopyTo(SignData(L"zoriva_nointeg.dll"), dir.File(L"ZorIVA.dll")));
    ClearLog();
    run = RunProcess(command);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ(0u, CountLogged(LOG_LEVEL_DEBUG, L"Total keys loaded")) << Dump();

    // No key-list library at all.
    ASSERT_TRUE(::DeleteFileW(dir.File(L"ZorIVA.dll").c_str()));
    ClearLog();
    run = RunProcess(command);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, L"IsIntegrityCheckEnabled - Failed to open file: " + dir.File(L"ZorIVA.dll")));
}

TEST_F(VerifyFileSignTest, RacingThreadsGetOneInstanceBuiltOnce)
{
    EXPECT_EQ(CVerifyFileSignV2::GetInstance(), CVerifyFileSignV2::GetInstance());

    const auto run = RunProcess(L"\"" + BinDir() + L"\\sign_probe.exe\" singleton");
    ASSERT_TRUE(run.started);
    EXPECT_NE(std::string::npos, run.output.find("same=1")) << run.output;
    m_capture.Settle();
    size_t nLoads = 0;
    for (const auto& rec : m_capture.Matching(LOG_LEVEL_DEBUG, -1, L"Total keys loaded: 1")) {
        nLoads += rec.pid != ::GetCurrentProcessId() ? 1 : 0;
    }
    EXPECT_EQ(1u, nLoads) << Dump();
}

// ---------------------------------------------------------------------------
// Signatures and keys

TEST_F(VerifyFileSignTest, SignatureInfoGivesPrimaryAndNestedKeys)
{
    CVerifyFileSignV2* pVerifier = CVerifyFileSignV2::GetInstance();
    PublicKey primary;
    std::wstring signer;
    std::vector<PublicKey> secondary;
    ASSERT_TRUE(pVerifier->VerifySignatureAndGetCertInfo(SignData(L"maker.dll").c_str(), primary, signer, secondary));
    EXPECT_EQ(L"Brontide, Inc.", signer);
    EXPECT_EQ(MakerPublicKey(), primary);
    EXPECT_TRUE(secondary.empty());

    primary.clear();
    ASSERT_TRUE(pVerifier->VerifySignatureAndGetCertInfo(SignData(L"other_nested_maker.dll").c_str(), primary, signer,
                                                         secondary));
    EXPECT_EQ(L"Larkspur Tools Ltd", signer);
    EXPECT_NE(MakerPublicKey(), primary);
    ASSERT_EQ(1u, secondary.size());
    EXPECT_EQ(MakerPublicKey(), secondary[0]);
}

TEST_F(VerifyFileSignTest, SignatureInfoFailsForBrokenNestedSignatureOrNoSignature)
{
    CVerifyFileSignV2* pVerifier = CVerifyFileSignV2::GetInstance();
    PublicKey primary;
    std::wstring signer;
    std::vector<PublicKey> secondary;
    EXPECT_FALSE(pVerifier->VerifySignatureAndGetCertInfo(SignData(L"broken_nested.dll").c_str(), primary, signer,
                                                          secondary));
    EXPECT_TRUE(Logged(LOG_LEVEL_ERROR,
                       L"CVerifyFileSignV2::VerifySecondarySignatureAndGetCertInfo - Failed to verify the secondary signature"));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"CVerifyFileSignV2::VerifySignatureAndGetCertInfo - << 0"));

    EXPECT_FALSE(
        pVerifier->VerifySignatureAndGetCertInfo(SignData(L"unsigned.dll").c_str(), primary, signer, secondary));
    EXPECT_TRUE(Logged(LOG_LEVEL_ERROR,
                       L"CVerifyFileSignV2::VerifySignatureAndGetCertInfo - Failed to call CryptQueryObject, Windows error code: "));
}

TEST_F(VerifyFileSignTest, CertificateInformationAcceptsTrustedPrimaryKey)
{
    DWORD dwProvFlags = 0;
    EXPECT_TRUE(CertInfo(SignData(L"maker.dll"), &dwProvFlags));
    EXPECT_EQ(static_cast<DWORD>(WTD_HASH_ONLY_FLAG), dwProvFlags);
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"CVerifyFileSignV2::VerifyEmbeddedSignatureV1 - WinVerifyTrust result=(0x0)"));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"CVerifyFileSignV2::VerifyEmbeddedSignatureV1 - WinVerifyTrust close state action result=(0x"));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"CVerifyFileSignV2::VerifyEmbeddedSignatureByCertInfo - Primary signature verified: 1"));
    EXPECT_EQ(0u, CountLogged(LOG_LEVEL_DEBUG, L"Secondary signature verified")) << Dump();

    // The key decides, not the certificate's validity period.
    EXPECT_TRUE(CertInfo(SignData(L"expired.dll")));
}

TEST_F(VerifyFileSignTest, CertificateInformationAcceptsTrustedNestedKey)
{
    EXPECT_TRUE(CertInfo(SignData(L"other_nested_maker.dll")));
    m_capture.Settle();
    const auto primary = m_capture.Matching(LOG_LEVEL_DEBUG, -1, L"Primary signature verified: 0");
    const auto secondary = m_capture.Matching(LOG_LEVEL_DEBUG, -1, L"Secondary signature verified: 1");
    ASSERT_EQ(1u, primary.size()) << Dump();
    ASSERT_EQ(1u, secondary.size()) << Dump();
    EXPECT_LT(primary[0].line, secondary[0].line);
}

TEST_F(VerifyFileSignTest, CertificateInformationRefusesUntrustedTamperedAndBrokenFiles)
{
    EXPECT_FALSE(CertInfo(SignData(L"other.dll")));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"Primary signature verified: 0"));
    EXPECT_EQ(0u, CountLogged(LOG_LEVEL_DEBUG, L"Secondary signature verified")) << Dump();

    EXPECT_FALSE(CertInfo(SignData(L"tampered.dll")));
    EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, L"The file hash doesn't match the file signature, error code: 80096010"));

    EXPECT_FALSE(CertInfo(SignData(L"unsigned.dll")));
    EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, L"The file hash doesn't match the file signature, error code: 800b0100"));

    // The primary key is the maker's, but the nested signature does not verify.
    ClearLog();
    EXPECT_FALSE(CertInfo(SignData(L"broken_nested.dll")));
    EXPECT_EQ(0u, CountLogged(LOG_LEVEL_DEBUG, L"Primary signature verified")) << Dump();
}

TEST_F(VerifyFileSignTest, LowLevelHashCheckRefusesBadInput)
{
    EXPECT_FALSE(LowLevelVerifyHash(nullptr));
    EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, L"LowLevelVerifyHash - path is NULL"));
    EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, L"LowLevelVerifyHash - path=[null], ret=[false]"));

    EXPECT_FALSE(LowLevelVerifyHash(SignData(L"tampered.dll").c_str()));
    EXPECT_FALSE(LowLevelVerifyHash(SignData(L"unsigned.dll").c_str()));
    EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, L"LowLevelVerifyHash - path=[" + SignData(L"unsigned.dll") + L"], ret=[false]"));
}

TEST_F(VerifyFileSignTest, LowLevelHashCheckAcceptsIntactFile)
{
    GUID subject = {};
    if (!::CryptSIPRetrieveSubjectGuidForCatalogFile(SignData(L"maker.dll").c_str(), nullptr, &subject)) {
        GTEST_SKIP() << "the platform's SIP has no subject for PE files (Wine 8: ERROR_INVALID_PARAMETER)";
    }
    EXPECT_TRUE(LowLevelVerifyHash(SignData(L"maker.dll").c_str()));
}

// ---------------------------------------------------------------------------
// Last-invalid-signature record

class InvalidSignRecordTest : public VerifyFileSignTest {
protected:
    void SetUp() override
    {
        sign_testing::LoggedTest::SetUp();
        // Other tests of this prefix may leave the keys themselves; only the
        // product's own values mean a real installation.
        const std::pair<const wchar_t*, const wchar_t*> values[] = {{kAppPathKey, L"Application Path"},
                                                                    {kServiceInfoKey, L"Local_Path"}};
        for (const auto& value : values) {
            if (::RegGetValueW(HKEY_LOCAL_MACHINE, value.first, value.second, RRF_RT_ANY, nullptr, nullptr,
                               nullptr) == ERROR_SUCCESS) {
                GTEST_SKIP() << "the product's registry values exist on this machine";
            }
        }
    }

    static std::string Record(const std::wstring& path, int code)
    {
        return Utf16Bytes(path + L"\t" + std::to_wstring(code)) + std::string(2, '\0');
    }
};

TEST_F(InvalidSignRecordTest, NothingIsWrittenWithoutProductKeys)
{
    CVerifyFileSignV2::GetInstance()->WriteDigitalSignInvalidLog(L"C:\\a.dll", 5);
    m_capture.Settle();
    EXPECT_TRUE(m_capture.Matching(LOG_LEVEL_WARNING, -1, L"WriteDigitalSignInvalidLog").empty()) << Dump();
    EXPECT_TRUE(m_capture.Matching(LOG_LEVEL_INFO, -1, L"WriteDigitalSignInvalidLog").empty()) << Dump();
}

TEST_F(InvalidSignRecordTest, RecordGoesToApplicationPathMiscAndOverwritesFromStart)
{
    TempDir dir;
    ASSERT_TRUE(::CreateDirectoryW(dir.File(L"Misc").c_str(), nullptr));
    ScopedRegistryValue appPath(kAppPathKey, L"Application Path", dir.Path().c_str());
    ASSERT_TRUE(appPath.Ok());
    const std::wstring record = dir.File(L"Misc\\DSInvalidLogLastInfo.log");

    const std::wstring longPath = L"C:\\Program Files\\Larkspur\\plugins\\long-name.dll"; // 47 characters
    CVerifyFileSignV2::GetInstance()->WriteDigitalSignInvalidLog(longPath.c_str(), 0x80096010);
    const std::string first = Record(longPath, static_cast<int>(0x80096010));
    EXPECT_EQ(first, ReadFileBytes(record));

    const std::wstring shortPath = L"C:\\p\\short.dll";
    CVerifyFileSignV2::GetInstance()->WriteDigitalSignInvalidLog(shortPath.c_str(), ERROR_FAILED_ISSUER_CHECK);
    const std::string second = Record(shortPath, static_cast<int>(ERROR_FAILED_ISSUER_CHECK));
    EXPECT_EQ(second + first.substr(second.size()), ReadFileBytes(record));
}

TEST_F(InvalidSignRecordTest, OverlongPathGivesWayToTheCode)
{
    TempDir dir;
    ASSERT_TRUE(::CreateDirectoryW(dir.File(L"Misc").c_str(), nullptr));
    ScopedRegistryValue appPath(kAppPathKey, L"Application Path", dir.Path().c_str());
    const std::wstring hugePath = L"C:\\" + std::wstring(700, L'q') + L".dll";
    CVerifyFileSignV2::GetInstance()->WriteDigitalSignInvalidLog(hugePath.c_str(), 87);
    const std::string bytes = ReadFileBytes(dir.File(L"Misc\\DSInvalidLogLastInfo.log"));
    ASSERT_EQ(512u * sizeof(wchar_t), bytes.size());
    EXPECT_EQ(Utf16Bytes(L"qq\t87") + std::string(2, '\0'), bytes.substr(bytes.size() - 12));
}

TEST_F(InvalidSignRecordTest, ServiceLocalPathTempIsTheFallback)
{
    TempDir dir;
    ASSERT_TRUE(::CreateDirectoryW(dir.File(L"TEMP").c_str(), nullptr));
    ScopedRegistryValue localPath(kServiceInfoKey, L"Local_Path", dir.Path().c_str());
    ASSERT_TRUE(localPath.Ok());
    CVerifyFileSignV2::GetInstance()->WriteDigitalSignInvalidLog(L"D:\\x.dll", 2);
    EXPECT_EQ(Record(L"D:\\x.dll", 2), ReadFileBytes(dir.File(L"TEMP\\DSInvalidLogLastInfo.log")));
}

TEST_F(InvalidSignRecordTest, ApplicationKeyWithoutValueEndsWithoutRecord)
{
    TempDir dir;
    ASSERT_TRUE(::CreateDirectoryW(dir.File(L"TEMP").c_str(), nullptr));
    ScopedRegistryValue localPath(kServiceInfoKey, L"Local_Path", dir.Path().c_str());
    ScopedRegistryValue appKeyOnly(kAppPathKey, L"Application Path", nullptr);
    ASSERT_TRUE(appKeyOnly.Ok());
    CVerifyFileSignV2::GetInstance()->WriteDigitalSignInvalidLog(L"D:\\x.dll", 2);
    EXPECT_TRUE(Logged(LOG_LEVEL_INFO, L"CVerifyFileSignV2::WriteDigitalSignInvalidLog - Failed to get registry key "
                                       L"_REG_APP_PATH_KEY_NAME, Windows error code: 2"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(dir.File(L"TEMP\\DSInvalidLogLastInfo.log").c_str()));
}

TEST_F(InvalidSignRecordTest, MissingFolderIsReportedAsWarning)
{
    TempDir dir;
    ScopedRegistryValue appPath(kAppPathKey, L"Application Path", dir.Path().c_str());
    CVerifyFileSignV2::GetInstance()->WriteDigitalSignInvalidLog(L"D:\\x.dll", 2);
    EXPECT_TRUE(Logged(LOG_LEVEL_WARNING, L"CVerifyFileSignV2::WriteDigitalSignInvalidLog - Failed to open file: " +
                                              dir.File(L"Misc\\DSInvalidLogLastInfo.log") +
                                              L", Windows error code: 3"));
}

// ---------------------------------------------------------------------------

TEST_F(VerifyFileSignTest, CurrentModulePathNamesThisProgramOrNothing)
{
    wchar_t wszSmall[8] = {L'x'};
    ::SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetCurrentModulePath(wszSmall, 8));
    EXPECT_EQ(L'\0', wszSmall[0]);
    EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, L"GetCurrentModulePath - Failed to get module file name, Windows error code: 7a"));

    wchar_t wszPath[MAX_PATH] = {};
    ASSERT_TRUE(GetCurrentModulePath(wszPath, MAX_PATH));
    wchar_t wszExe[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, wszExe, MAX_PATH);
    EXPECT_STREQ(wszExe, wszPath);
}
