// Multiple sign platform logic, which Wine 8 cannot show: this program routes
// the trust provider through a recording, scriptable table (sign_testing::fake)
// before anything runs, so its singletons see a platform with both "2" entries.
// Unscripted calls reach Wine's real trust provider; a scripted "substitute"
// makes the provider verify another real signed file in place of the signature
// index asked for (Wine verifies the primary signature whatever the index).
#include <gtest/gtest.h>

#include <string>

#include "log/debug_log.h"
#include "sign/signature_manager.h"
#include "sign/verify_file_sign.h"
#include "sign_test_support.h"
#include "test_support.h"

namespace fake = sign_testing::fake;
using sign_testing::SignData;
using testing_support::LogCapture;

using Mgr = CQgdDigitalSignatureManagerEx;

namespace {

const bool g_bFakeInstalled = (SetTrustProvider(&fake::Table()), true);

const LONG kBadDigest = static_cast<LONG>(0x80096010);
const LONG kUntrustedRoot = static_cast<LONG>(0x800B0109);
const LONG kExplicitDistrust = static_cast<LONG>(0x800B0111);
const DWORD kNoSignature = 0x800B0100;

fake::VerifyStep PassThrough(DWORD cSecondarySigs = 0)
{
    fake::VerifyStep step;
    step.passThrough = true;
    step.cSecondarySigs = cSecondarySigs;
    return step;
}

fake::VerifyStep Substitute(const std::wstring& file, DWORD cSecondarySigs = 0)
{
    fake::VerifyStep step;
    step.substitute = SignData(file);
    step.cSecondarySigs = cSecondarySigs;
    return step;
}

fake::VerifyStep Fail(LONG status, DWORD cSecondarySigs = 0)
{
    fake::VerifyStep step;
    step.status = status;
    step.cSecondarySigs = cSecondarySigs;
    return step;
}

std::vector<fake::TrustCall> Verifies()
{
    std::vector<fake::TrustCall> out;
    for (const auto& call : fake::Calls()) {
        if (call.dwStateAction == WTD_STATEACTION_VERIFY) {
            out.push_back(call);
        }
    }
    return out;
}

std::wstring HexUpper(const std::vector<BYTE>& bytes)
{
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring text;
    for (BYTE b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}

class MultipleSignTest : public sign_testing::LoggedTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(g_bFakeInstalled);
        sign_testing::LoggedTest::SetUp();
        // The verifier checks its key-list library through the trust provider
        // when it is made: made here, that call answers no case's script.
        CVerifyFileSignV2::GetInstance();
        fake::Reset();
        ClearLog();
    }
    void TearDown() override { fake::Reset(); }
};

} // namespace

TEST_F(MultipleSignTest, SingletonsTakeTheirCapabilityFromTheTable)
{
    const CSingletonWinTrustHelper& helper = CSingletonWinTrustHelper::GetInstance();
    EXPECT_TRUE(helper.IsMultipleSignSupported());
    EXPECT_EQ(fake::Table().pfnCryptCATAdminAcquireContext2, helper.GetCryptCATAdminAcquireContext2());
    EXPECT_EQ(fake::Table().pfnCryptCATAdminCalcHashFromFileHandle2, helper.GetCryptCATAdminCalcHashFromFileHandle2());
    EXPECT_TRUE(CVerifyFileSignV2::GetInstance()->IsMultipleSignSupported());
    // The platform itself lacks the second hash entry.
    EXPECT_FALSE(SupportsMultipleSign(GetPlatformTrustProvider()));
}

TEST_F(MultipleSignTest, MakerSignatureVerifiesAtPrimaryIndex)
{
    const DigitalSignatureResult result =
        Mgr::VerifyDigitalSignature(SignData(L"maker.dll").c_str(), SIGNER_FLAG_MAKER, false);
    EXPECT_EQ(0u, result.dwErrorCode);
    EXPECT_TRUE(result.bValid);

    const auto calls = fake::Calls();
    ASSERT_EQ(2u, calls.size());
    const fake::TrustCall& verify = calls[0];
    EXPECT_EQ(52u, verify.cbStruct);
    EXPECT_EQ(static_cast<DWORD>(WTD_CHOICE_FILE), verify.dwUnionChoice);
    EXPECT_EQ(16u, verify.cbFileInfo);
    EXPECT_TRUE(verify.bFileHandle);
    EXPECT_EQ(static_cast<DWORD>(WTD_STATEACTION_VERIFY), verify.dwStateAction);
    EXPECT_EQ(0x1110u, verify.dwProvFlags);
    EXPECT_EQ(static_cast<DWORD>(WTD_UI_NONE), verify.dwUIChoice);
    EXPECT_EQ(static_cast<DWORD>(WTD_REVOKE_NONE), verify.fdwRevocationChecks);
    ASSERT_TRUE(verify.bSettings);
    EXPECT_EQ(24u, verify.cbSettings);
    EXPECT_EQ(0u, verify.dwIndex);
    EXPECT_EQ(3u, verify.dwSettingsFlags);
    EXPECT_FALSE(verify.bCryptoPolicy);
    EXPECT_EQ(static_cast<DWORD>(WTD_STATEACTION_CLOSE), calls[1].dwStateAction);
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG,
                       L"VerifyEmbeddedSignatureMultipleSign - find a valid digital signature and signer is correct"));
}

TEST_F(MultipleSignTest, StrongSigningPolicyTravelsInSignatureSettings)
{
    EXPECT_TRUE(Mgr::VerifyEmbeddedSignatureMultipleSign(SignData(L"maker.dll").c_str(), SIGNER_FLAG_MAKER, true).bValid);
    const auto verifies = Verifies();
    ASSERT_EQ(1u, verifies.size());
    ASSERT_TRUE(verifies[0].bCryptoPolicy);
    EXPECT_EQ(12u, verifies[0].cbCryptoPolicy);
    EXPECT_EQ(2u, verifies[0].dwPolicyChoice);
    EXPECT_EQ("1.3.6.1.4.1.311.72.1.1", verifies[0].strPolicyOid);
}

TEST_F(MultipleSignTest, NestedMakerSignatureVerifiesAtSecondIndex)
{
    fake::QueueVerify(PassThrough(1));
    fake::QueueVerify(Substitute(L"maker.dll", 1));
    const DigitalSignatureResult result =
        Mgr::VerifyDigitalSignature(SignData(L"other_nested_maker.dll").c_str(), SIGNER_FLAG_MAKER, false);
    EXPECT_EQ(0u, result.dwErrorCode);
    EXPECT_TRUE(result.bValid);

    const auto calls = fake::Calls();
    ASSERT_EQ(4u, calls.size());
    EXPECT_EQ(static_cast<DWORD>(WTD_STATEACTION_VERIFY), calls[0].dwStateAction);
    EXPECT_EQ(0u, calls[0].dwIndex);
    EXPECT_EQ(static_cast<DWORD>(WTD_STATEACTION_CLOSE), calls[1].dwStateAction);
    EXPECT_EQ(static_cast<DWORD>(WTD_STATEACTION_VERIFY), calls[2].dwStateAction);
    EXPECT_EQ(1u, calls[2].dwIndex);
    EXPECT_EQ(static_cast<DWORD>(WTD_STATEACTION_CLOSE), calls[3].dwStateAction);
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"get signer=[Larkspur Tools Ltd] for the digital signature"));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG,
                       L"VerifyEmbeddedSignatureMultipleSign - find a valid digital signature and signer is correct"));
    EXPECT_EQ(0u, CountLogged(LOG_LEVEL_DEBUG, L"try to verify by certificate information")) << Dump();
}

TEST_F(MultipleSignTest, OnlyWrongSignersDoNotFallBackToCertificateInformation)
{
    const DigitalSignatureResult maker =
        Mgr::VerifyDigitalSignature(SignData(L"maker.dll").c_str(), SIGNER_FLAG_MICROSOFT, false);
    EXPECT_EQ(ERROR_FAILED_ISSUER_CHECK, maker.dwErrorCode);
    EXPECT_FALSE(maker.bValid);

    fake::QueueVerify(PassThrough(1));
    fake::QueueVerify(Substitute(L"maker.dll", 1));
    const DigitalSignatureResult nested =
        Mgr::VerifyDigitalSignature(SignData(L"other_nested_maker.dll").c_str(), SIGNER_FLAG_MICROSOFT, false);
    EXPECT_EQ(ERROR_FAILED_ISSUER_CHECK, nested.dwErrorCode);
    EXPECT_FALSE(nested.bValid);
    EXPECT_EQ(2u, Verifies().size() - 1); // one for the first file, two for the second
    EXPECT_EQ(0u, CountLogged(LOG_LEVEL_DEBUG, L"try to verify by certificate information")) << Dump();
}

TEST_F(MultipleSignTest, SecondaryFailuresAreTriedInTurn)
{
    fake::QueueVerify(Fail(kBadDigest, 2));
    fake::QueueVerify(Fail(kBadDigest, 2));
    fake::QueueVerify(Substitute(L"maker.dll", 2));
    // The second nested signature signs the file, so the provider's verdict on it counts.
    const DigitalSignatureResult result =
        Mgr::VerifyEmbeddedSignatureMultipleSign(SignData(L"other_nested_twice.dll").c_str(), SIGNER_FLAG_MAKER, false);
    EXPECT_EQ(0u, result.dwErrorCode);
    EXPECT_TRUE(result.bValid);
    const auto verifies = Verifies();
    ASSERT_EQ(3u, verifies.size());
    EXPECT_EQ(2u, verifies[2].dwIndex);
    EXPECT_EQ(2u, CountLogged(LOG_LEVEL_DEBUG, L"failed to call WinVerifyTrust(), StatusVerify=80096010")) << Dump();
    EXPECT_EQ(0u, CountLogged(LOG_LEVEL_DEBUG, L"try to verify by certificate information")) << Dump();
}

TEST_F(MultipleSignTest, FailedTrustCallFallsBackToCertificateInformation)
{
    // Windows rejects the chain of the test root; the key list still knows the maker's key.
    fake::QueueVerify(Fail(kUntrustedRoot));
    const DigitalSignatureResult result =
        Mgr::VerifyEmbeddedSignatureMultipleSign(SignData(L"maker.dll").c_str(), SIGNER_FLAG_MAKER, false);
    EXPECT_EQ(0u, result.dwErrorCode);
    EXPECT_TRUE(result.bValid);
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"failed to call WinVerifyTrust(), StatusVerify=800b0109"));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"VerifyEmbeddedSignatureMultipleSign - try to verify by certificate information"));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG,
                       L"CVerifyFileSignV2::VerifyEmbeddedSignatureV2 - WinVerifyTrust result=(0x0), secondary sigs=(0)"));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"VerifyEmbeddedSignatureMultipleSign - successfully to verify by certificate information"));

    const auto verifies = Verifies();
    ASSERT_EQ(2u, verifies.size());
    EXPECT_EQ(52u, verifies[1].cbStruct);
    EXPECT_EQ(static_cast<DWORD>(WTD_HASH_ONLY_FLAG), verifies[1].dwProvFlags);
    EXPECT_EQ(3u, verifies[1].dwSettingsFlags);
    EXPECT_FALSE(verifies[1].bCryptoPolicy);

    fake::Reset();
    const DigitalSignatureResult tampered =
        Mgr::VerifyDigitalSignature(SignData(L"tampered.dll").c_str(), SIGNER_FLAG_MAKER, false);
    EXPECT_EQ(static_cast<DWORD>(kBadDigest), tampered.dwErrorCode);
    EXPECT_FALSE(tampered.bValid);
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"VerifyEmbeddedSignatureMultipleSign - failed to verify by certificate information"));
}

TEST_F(MultipleSignTest, VerifierTriesSecondarySignaturesUntilOneVerifies)
{
    fake::QueueVerify(Fail(kBadDigest, 2));
    fake::QueueVerify(Fail(kBadDigest, 2));
    fake::QueueVerify(Substitute(L"maker.dll", 2));
    WINTRUST_FILE_INFO fileInfo = {sizeof(fileInfo), nullptr, nullptr, nullptr};
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(WINTRUST_DATA);
    data.dwUIChoice = WTD_UI_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwProvFlags = WTD_HASH_ONLY_FLAG;
    EXPECT_EQ(0, CVerifyFileSignV2::GetInstance()->VerifyEmbeddedSignature(SignData(L"maker.dll").c_str(), data, false));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG,
                       L"VerifyEmbeddedSignatureV2 - WinVerifyTrust result=(0x80096010), secondary sigs=(2)"));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"VerifyEmbeddedSignatureV2 - Verify secondary signature at index 1... ret=(0x80096010)"));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"VerifyEmbeddedSignatureV2 - Verify secondary signature at index 2... ret=(0x0)"));
    const auto calls = fake::Calls();
    ASSERT_EQ(6u, calls.size()); // verify, close, verify, close, verify, close
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(i % 2 == 0 ? static_cast<DWORD>(WTD_STATEACTION_VERIFY) : static_cast<DWORD>(WTD_STATEACTION_CLOSE),
                  calls[i].dwStateAction);
        EXPECT_EQ(static_cast<DWORD>(WTD_HASH_ONLY_FLAG), calls[i].dwProvFlags);
    }
    EXPECT_EQ(2u, calls[4].dwIndex);
}

TEST_F(MultipleSignTest, VerifierStopsWhenClosingFails)
{
    fake::QueueVerify(Fail(kBadDigest, 1));
    fake::QueueClose(static_cast<LONG>(E_FAIL));
    EXPECT_EQ(static_cast<LONG>(E_FAIL),
              CVerifyFileSignV2::GetInstance()->VerifyEmbeddedSignatureV2(SignData(L"maker.dll").c_str(), false));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"VerifyEmbeddedSignatureV2 - close WinVerifyTrust failed... ret=(0x80004005)"));
    EXPECT_EQ(1u, Verifies().size());
}

TEST_F(MultipleSignTest, ExplicitDistrustTurnsToLowLevelHashCheck)
{
    WINTRUST_FILE_INFO fileInfo = {sizeof(fileInfo), nullptr, nullptr, nullptr};
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(WINTRUST_DATA);
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;

    const std::wstring maker = SignData(L"maker.dll");
    const bool bHashMatches = LowLevelVerifyHash(maker.c_str()); // what this platform's SIP can tell
    ClearLog();
    fake::QueueVerify(Fail(kExplicitDistrust));
    EXPECT_EQ(bHashMatches, CVerifyFileSignV2::GetInstance()->VerifyEmbeddedSignatureByCertInfo(maker.c_str(), data));
    EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, L"LowLevelVerifyHash - path=[" + maker + L"]"));

    // Any other status is final.
    ClearLog();
    fake::QueueVerify(Fail(kBadDigest));
    EXPECT_FALSE(CVerifyFileSignV2::GetInstance()->VerifyEmbeddedSignatureByCertInfo(maker.c_str(), data));
    EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, L"The file hash doesn't match the file signature, error code: 80096010"));
    EXPECT_EQ(0u, CountLogged(LOG_LEVEL_ERROR, L"LowLevelVerifyHash")) << Dump();
}

TEST_F(MultipleSignTest, CatalogCheckTriesSha1ThenSha256)
{
    EXPECT_EQ(kNoSignature, Mgr::VerifyByMSCatalogMutipleSign(SignData(L"unsigned.dll").c_str(), false));
    const auto algorithms = fake::AcquiredAlgorithms();
    ASSERT_EQ(2u, algorithms.size());
    EXPECT_EQ(L"SHA1", algorithms[0]);
    EXPECT_EQ(L"SHA256", algorithms[1]);
    m_capture.Settle();
    const auto sha1 = m_capture.Matching(LOG_LEVEL_DEBUG, -1, L"create context with algorithm=SHA1");
    const auto sha256 = m_capture.Matching(LOG_LEVEL_DEBUG, -1, L"create context with algorithm=SHA256");
    ASSERT_EQ(1u, sha1.size());
    ASSERT_EQ(1u, sha256.size());
    EXPECT_EQ(2u, m_capture.Matching(LOG_LEVEL_DEBUG, -1, L"failed to call CryptCATAdminEnumCatalogFromHash()").size())
        << Dump();

    const DigitalSignatureResult result = Mgr::VerifyDigitalSignature(
        SignData(L"unsigned.dll").c_str(), SIGNER_FLAG_MAKER | VERIFY_FLAG_CATALOG, false);
    EXPECT_EQ(kNoSignature, result.dwErrorCode);
    EXPECT_FALSE(result.bValid);
}

TEST_F(MultipleSignTest, CatalogSignedByPlatformSignerVerifiesFile)
{
    const std::wstring catalog = L"C:\\windows\\system32\\catroot\\kivtest.cat";
    fake::SetCatalog(catalog);
    fake::QueueVerify(PassThrough()); // embedded signature: none
    fake::QueueVerify(PassThrough()); // certificate information, hash only: none
    fake::QueueVerify(Substitute(L"msft.dll"));
    const std::wstring file = SignData(L"unsigned.dll");
    const DigitalSignatureResult result =
        Mgr::VerifyDigitalSignature(file.c_str(), SIGNER_FLAG_MAKER | VERIFY_FLAG_CATALOG, false);
    EXPECT_EQ(0u, result.dwErrorCode);
    EXPECT_TRUE(result.bValid);

    const auto verifies = Verifies();
    ASSERT_EQ(3u, verifies.size());
    const fake::TrustCall& call = verifies[2];
    EXPECT_EQ(52u, call.cbStruct);
    EXPECT_EQ(static_cast<DWORD>(WTD_CHOICE_CATALOG), call.dwUnionChoice);
    EXPECT_EQ(40u, call.cbCatalog);
    EXPECT_TRUE(call.bCatAdmin);
    EXPECT_EQ(catalog, call.strCatalogFile);
    EXPECT_EQ(file, call.strMemberFile);
    const auto hashes = fake::EnumeratedHashes();
    ASSERT_EQ(1u, hashes.size());
    EXPECT_EQ(HexUpper(hashes[0]), call.strMemberTag);
    EXPECT_EQ(1u, fake::AcquiredAlgorithms().size());
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"VerifyByMSCatalogMutipleSign - catalog file path=" + catalog));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"VerifyByMSCatalogMutipleSign - hash algorithm=SHA1, file hash=" + call.strMemberTag));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"signer=[Microsoft Windows] is in trusted list"));

    // The single sign layout of the same check.
    fake::Reset();
    fake::SetCatalog(catalog);
    fake::QueueVerify(Substitute(L"msft.dll"));
    EXPECT_EQ(0u, Mgr::VerifyByMSCatalogSingleSign(file.c_str()));
    const auto single = Verifies();
    ASSERT_EQ(1u, single.size());
    EXPECT_EQ(48u, single[0].cbStruct);
    EXPECT_EQ(36u, single[0].cbCatalog);
}

TEST_F(MultipleSignTest, CatalogSignedByOtherSignerIsRefused)
{
    fake::SetCatalog(L"C:\\windows\\system32\\catroot\\kivtest.cat");
    fake::QueueVerify(Substitute(L"maker.dll"));
    fake::QueueVerify(Substitute(L"maker.dll"));
    EXPECT_EQ(ERROR_FAILED_ISSUER_CHECK, Mgr::VerifyByMSCatalogMutipleSign(SignData(L"unsigned.dll").c_str(), false));
    EXPECT_EQ(2u, fake::AcquiredAlgorithms().size());
    EXPECT_EQ(2u, CountLogged(LOG_LEVEL_DEBUG, L"signer=[Brontide, Inc.] is not in trusted list")) << Dump();
    // The stand-in hash is the same for both algorithms: both rounds hashed the whole file.
    const auto hashes = fake::EnumeratedHashes();
    ASSERT_EQ(2u, hashes.size());
    EXPECT_EQ(hashes[0], hashes[1]);
}

TEST_F(MultipleSignTest, SignerLookupFailuresAreLogged)
{
    const struct {
        fake::SignerFailure failure;
        const wchar_t* pwszLine;
    } cases[] = {
        {fake::SignerFailure::ProvData, L"failed to call WTHelperProvDataFromStateData() to get Provider Data"},
        {fake::SignerFailure::Signer, L"failed to call WTHelperGetProvSignerFromChain() to get Provider Signer"},
        {fake::SignerFailure::ProvCert, L"failed to call WTHelperGetProvCertFromChain() to get Provider Certificate"},
        {fake::SignerFailure::CertContext, L"failed to get Signer Certificate"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing_support::Narrow(c.pwszLine));
        fake::Reset();
        fake::SetSignerFailure(c.failure);
        const DigitalSignatureResult result =
            Mgr::VerifyEmbeddedSignatureMultipleSign(SignData(L"maker.dll").c_str(), SIGNER_FLAG_MAKER, false);
        EXPECT_EQ(ERROR_FAILED_ISSUER_CHECK, result.dwErrorCode);
        EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, std::wstring(L"GetSignerFromhWVTStateData - ") + c.pwszLine));
    }
}
