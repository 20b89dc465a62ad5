// What the product's load decision said about one file.
#include "file_report.h"

#include <cwchar>

#include "common/unique_resource.h"
#include "sign/image_digest.h"
#include "sign/issuer_check.h"
#include "sign/signature_manager.h"

namespace {

struct NamedCode {
    DWORD dwCode;
    const wchar_t* pwszName;
};

const NamedCode kCodeNames[] = {
    {ERROR_SUCCESS, L"ERROR_SUCCESS"},
    {ERROR_FILE_NOT_FOUND, L"ERROR_FILE_NOT_FOUND"},
    {ERROR_PATH_NOT_FOUND, L"ERROR_PATH_NOT_FOUND"},
    {ERROR_ACCESS_DENIED, L"ERROR_ACCESS_DENIED"},
    {ERROR_SHARING_VIOLATION, L"ERROR_SHARING_VIOLATION"},
    {ERROR_INVALID_PARAMETER, L"ERROR_INVALID_PARAMETER"},
    {ERROR_INVALID_NAME, L"ERROR_INVALID_NAME"},
    {ERROR_MOD_NOT_FOUND, L"ERROR_MOD_NOT_FOUND"},
    {ERROR_BAD_EXE_FORMAT, L"ERROR_BAD_EXE_FORMAT"},
    {ERROR_FILENAME_EXCED_RANGE, L"ERROR_FILENAME_EXCED_RANGE"},
    {ERROR_FAILED_ISSUER_CHECK, L"ERROR_FAILED_ISSUER_CHECK"},
    {0x800B0001, L"TRUST_E_PROVIDER_UNKNOWN"},
    {0x800B0003, L"TRUST_E_SUBJECT_FORM_UNKNOWN"},
    {0x800B0004, L"TRUST_E_SUBJECT_NOT_TRUSTED"},
    {0x800B0100, L"TRUST_E_NOSIGNATURE"},
    {0x800B0101, L"CERT_E_EXPIRED"},
    {0x800B0109, L"CERT_E_UNTRUSTEDROOT"},
    {0x800B010A, L"CERT_E_CHAINING"},
    {0x800B010B, L"TRUST_E_FAIL"},
    {0x800B010C, L"CERT_E_REVOKED"},
    {0x800B0110, L"CERT_E_WRONG_USAGE"},
    {0x800B0111, L"TRUST_E_EXPLICIT_DISTRUST"},
    {0x80096001, L"TRUST_E_SYSTEM_ERROR"},
    {0x80096002, L"TRUST_E_NO_SIGNER_CERT"},
    {0x80096004, L"TRUST_E_CERT_SIGNATURE"},
    {0x80096010, L"TRUST_E_BAD_DIGEST"},
    {0x80092003, L"CRYPT_E_FILE_ERROR"},
    {0x80092009, L"CRYPT_E_NO_MATCH"},
    {0x80092026, L"CRYPT_E_SECURITY_SETTINGS"},
    {0x80091007, L"CRYPT_E_HASH_VALUE"},
};

// Why the decision stopped before any signature check, in words; empty when it did not.
std::wstring ProblemBeforeChecks(const std::wstring& file, DWORD dwCode)
{
    if (dwCode == ERROR_FILENAME_EXCED_RANGE || file.size() >= MAX_PATH) {
        return L"the path is too long to load (the loader takes fewer than 260 characters)";
    }
    if (dwCode == ERROR_FILE_NOT_FOUND) {
        const DWORD dwAttributes = ::GetFileAttributesW(file.c_str());
        if (dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return L"a folder, not a file";
        }
        return L"no such file";
    }
    if (dwCode == ERROR_SHARING_VIOLATION) {
        return L"the file is open for writing elsewhere, so it cannot be held while it is checked";
    }
    return std::wstring();
}

bool IsPeImage(const std::wstring& path)
{
    UTIL::UniqueHandle hFile(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
    std::vector<BYTE> digest;
    return hFile && ComputeImageDigest(hFile.Get(), CALG_SHA1, digest);
}

// The record is UTF-16 "<path>\t<code>" ended by a NUL; an older, longer record
// may follow the NUL.
void ReadRecord(FileReport& report)
{
    report.recordPath = CVerifyFileSignV2::InvalidSignRecordPath();
    if (report.recordPath.empty()) {
        return;
    }
    UTIL::UniqueHandle hFile(::CreateFileW(report.recordPath.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
    wchar_t wszRecord[512] = {};
    DWORD cbRead = 0;
    if (!hFile || !::ReadFile(hFile.Get(), wszRecord, sizeof(wszRecord) - sizeof(wchar_t), &cbRead, nullptr)) {
        return;
    }
    const std::wstring record(wszRecord, wcsnlen(wszRecord, cbRead / sizeof(wchar_t)));
    const size_t tab = record.rfind(L'\t');
    if (tab == std::wstring::npos) {
        return;
    }
    report.recordFile = record.substr(0, tab);
    report.recordCode = wcstol(record.c_str() + tab + 1, nullptr, 10);
    report.bHaveRecord = true;
}

} // namespace

FileReport CheckFile(const std::wstring& file, const std::wstring& issuer, bool bLoad)
{
    FileReport report;
    report.file = file;
    report.keyList = CVerifyFileSignV2::GetInstance()->GetKeyListStatus();
    {
        CSignatureDecisionScope scope;
        if (bLoad) {
            ::SetLastError(ERROR_SUCCESS);
            UTIL::UniqueModule hModule(LoadLibraryWithIssuerCheckW(issuer.c_str(), file.c_str()));
            report.dwCode = hModule ? ERROR_SUCCESS : ::GetLastError();
            report.bLoaded = hModule.IsValid();
            report.bLoadable = report.bLoaded;
        } else {
            CHeldFile heldFile;
            std::wstring loadPath;
            report.dwCode = CheckLibraryForLoading(issuer.c_str(), file.c_str(), heldFile, loadPath);
            report.bLoadable = report.dwCode == ERROR_SUCCESS;
            report.fullPath = heldFile.FullPath();
        }
        report.decision = scope.Decision();
    }
    if (report.fullPath.empty()) {
        report.fullPath = FullPathOf(file.c_str());
    }

    report.problem = ProblemBeforeChecks(file, report.dwCode);
    if (report.problem.empty() && !report.fullPath.empty()) {
        report.signatures = DescribeSignatures(report.fullPath.c_str());
        if (!report.bLoadable && !IsPeImage(report.fullPath)) {
            report.problem = L"not a PE image";
        } else if (bLoad && !report.bLoaded && report.decision.DecidedBy() != SignatureCheck::None) {
            report.problem = L"the signature was accepted but the loader refused the library";
        }
    }
    if (!report.bLoadable && !report.decision.steps.empty()) {
        ReadRecord(report);
    }
    return report;
}

const wchar_t* ErrorCodeName(DWORD dwCode)
{
    for (const NamedCode& named : kCodeNames) {
        if (named.dwCode == dwCode) {
            return named.pwszName;
        }
    }
    return nullptr;
}
