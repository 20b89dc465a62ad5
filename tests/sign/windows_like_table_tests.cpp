// The test trust table that answers as Windows does for roots.
#include <gtest/gtest.h>

#include <windows.h>
#include <softpub.h>

#include <string>

#include "sign/trust_provider.h"
#include "sign_test_support.h"

using sign_testing::SignData;

namespace {

// Verifies the file through the table with kept state (or none), closing it again.
LONG Verify(const TrustProviderTable& table, const std::wstring& path, DWORD dwStateAction)
{
    WINTRUST_FILE_INFO fileInfo = {sizeof(fileInfo), path.c_str(), nullptr, nullptr};
    TRUST_DATA_EX data = {};
    data.cbStruct = kTrustDataSizeSingleSign;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = dwStateAction;
    data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_SAFER_FLAG | WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = ActionGenericVerifyV2();
    const LONG result = table.pfnWinVerifyTrust(TrustWindow(), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    EXPECT_EQ(0, table.pfnWinVerifyTrust(TrustWindow(), &action, &data));
    return result;
}

// Wine's WinVerifyTrust accepts a signer whose chain ends in a root the machine
// does not trust (stray.dll, under a root never added); Windows refuses it with
// CERT_E_UNTRUSTEDROOT. The Windows-like table closes that gap for the tests.
TEST(WindowsLikeTableTest, RefusesSignersUnderRootsTheMachineDoesNotTrust)
{
    sign_testing::TrustedTestRoot root;
    ASSERT_TRUE(root.Added());
    const TrustProviderTable& windowsLike = sign_testing::WindowsLikeTable();
    for (DWORD dwStateAction : {DWORD(WTD_STATEACTION_VERIFY), DWORD(WTD_STATEACTION_IGNORE)}) {
        SCOPED_TRACE(dwStateAction);
        EXPECT_EQ(0, Verify(GetPlatformTrustProvider(), SignData(L"stray.dll"), dwStateAction));
        EXPECT_EQ(0, Verify(windowsLike, SignData(L"maker.dll"), dwStateAction));
        EXPECT_EQ(CERT_E_UNTRUSTEDROOT, Verify(windowsLike, SignData(L"stray.dll"), dwStateAction));
        EXPECT_EQ(TRUST_E_BAD_DIGEST, Verify(windowsLike, SignData(L"tampered.dll"), dwStateAction));
    }
}

} // namespace
