// Wrapper over the maker's event-notification library bxnotify.dll: loaded only
// when signed by the maker, five exports bound as a whole.
#include "sign/bxnotify_dll.h"

#include <cstdint>
#include <string>

#include "log/debug_log.h"
#include "sign/issuer_check.h"
#include "sign/signature_decision.h"
#include "sign/signature_manager.h"
#include "sign/verify_file_sign.h"

const char kBxNotifySourceA[] = "client/libstdmisutils/BxNotifyDLL";
const wchar_t kBxNotifySourceW[] = L"client/libstdmisutils/BxNotifyDLL";

namespace {

const wchar_t kLibraryName[] = L"bxnotify.dll";
const int kNotBound = -2;

template <typename T>
T Bind(HMODULE hModule, const char* pszName)
{
    return reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(hModule, pszName)));
}

// The code page the file APIs read 8-bit names in.
UINT FileNameCodePage()
{
    if (::GetACP() == CP_UTF8) {
        return CP_UTF8;
    }
    return ::AreFileApisANSI() ? CP_ACP : CP_OEMCP;
}

std::wstring FolderFromNarrow(const char* pszFolder)
{
    const UINT uCodePage = FileNameCodePage();
    const int cch = ::MultiByteToWideChar(uCodePage, 0, pszFolder, -1, nullptr, 0);
    if (cch <= 1) {
        return std::wstring();
    }
    std::wstring folder(static_cast<size_t>(cch), L'\0');
    if (::MultiByteToWideChar(uCodePage, 0, pszFolder, -1, &folder[0], cch) != cch) {
        return std::wstring();
    }
    folder.resize(static_cast<size_t>(cch - 1));
    return folder;
}

std::wstring RunningProgramFolder()
{
    wchar_t wszPath[MAX_PATH] = {};
    const DWORD cch = ::GetModuleFileNameW(nullptr, wszPath, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH) {
        return std::wstring();
    }
    std::wstring folder(wszPath, cch);
    const size_t slash = folder.find_last_of(L"\\/");
    folder.resize(slash == std::wstring::npos ? 0 : slash);
    return folder;
}

} // namespace

CBxNotifyDLL::CBxNotifyDLL()
    : m_pfnInitDefaultEventSource(nullptr),
      m_pfnReportEventLog(nullptr),
      m_pfnOpenEventSource(nullptr),
      m_pfnCloseEventSource(nullptr),
      m_pfnReportEventLogEx(nullptr),
      m_bInitialized(false)
{
}

void CBxNotifyDLL::Unbind()
{
    m_pfnInitDefaultEventSource = nullptr;
    m_pfnReportEventLog = nullptr;
    m_pfnOpenEventSource = nullptr;
    m_pfnCloseEventSource = nullptr;
    m_pfnReportEventLogEx = nullptr;
}

int CBxNotifyDLL::Init(const char* pszFolder)
{
    static const wchar_t kFunc[] = L"CBxNotifyDLL::Init";
    if (m_bInitialized) {
        return 1;
    }
    m_bInitialized = true;

    std::wstring folder = pszFolder != nullptr ? FolderFromNarrow(pszFolder) : RunningProgramFolder();
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) {
        folder.pop_back();
    }
    if (folder.empty()) {
        DebugLogW(LOG_LEVEL_ERROR, kBxNotifySourceW, __LINE__, L"%s - failed to call GetModuleName()", kFunc);
        return 0;
    }
    const std::wstring path = folder + L"\\" + kLibraryName;

    DWORD dwErr = ERROR_SUCCESS;
    // The notification library's own checks are not part of a decision the
    // caller may be explaining.
    CSignatureDecisionScope ownChecks;
    if (!m_hModule) {
        const DigitalSignatureResult result =
            CQgdDigitalSignatureManagerEx::VerifyDigitalSignature(path.c_str(), SIGNER_FLAG_MAKER, false);
        if (result.bValid) {
            m_hModule.Reset(LoadLibraryWithIssuerCheckW(kMakerSignerName, path.c_str()));
            dwErr = ::GetLastError();
        } else {
            DebugLogW(LOG_LEVEL_ERROR, kBxNotifySourceW, __LINE__,
                      L"%s - CBxNotifyDLL:CBxNotifyDLL() Verify DigitalSignature Failed(bxnotify.dll) error = 0x%x",
                      kFunc, result.dwErrorCode);
            dwErr = result.dwErrorCode;
        }
    }
    if (!m_hModule) {
        DebugLogW(LOG_LEVEL_ERROR, kBxNotifySourceW, __LINE__,
                  L"%s - CBxNotifyDLL::CBxNotifyDLL() LoadLibrary(bxnotify.dll) error = %d", kFunc,
                  static_cast<int>(dwErr));
        ::SetLastError(dwErr);
        return 0;
    }

    m_pfnInitDefaultEventSource = Bind<PFN_BxInitDefaultEventSource>(m_hModule.Get(), "InitDefaultEventSource");
    m_pfnReportEventLog = Bind<PFN_BxReportEventLog>(m_hModule.Get(), "ReportEventLog");
    m_pfnOpenEventSource = Bind<PFN_BxOpenEventSource>(m_hModule.Get(), "OpenEventSource");
    m_pfnCloseEventSource = Bind<PFN_BxCloseEventSource>(m_hModule.Get(), "CloseEventSource");
    m_pfnReportEventLogEx = Bind<PFN_BxReportEventLogEx>(m_hModule.Get(), "ReportEventLogEx");
    if (m_pfnInitDefaultEventSource != nullptr && m_pfnReportEventLog != nullptr && m_pfnOpenEventSource != nullptr &&
        m_pfnCloseEventSource != nullptr && m_pfnReportEventLogEx != nullptr) {
        return 1;
    }
    dwErr = ::GetLastError();
    DebugLogW(LOG_LEVEL_ERROR, kBxNotifySourceW, __LINE__, L"%s - CBxNotifyDLL::CBxNotifyDLL() GetProcAddress error = %d",
              kFunc, static_cast<int>(dwErr));
    m_hModule.Reset();
    Unbind();
    ::SetLastError(dwErr);
    return 0;
}

int CBxNotifyDLL::InitDefaultEventSource(const char* pszSource, int nValue)
{
    DebugLogA(LOG_LEVEL_PIPE, kBxNotifySourceA, __LINE__, "CBxNotifyDLL::InitDefaultEventSource(%s)", pszSource);
    const int nResult = m_pfnInitDefaultEventSource != nullptr ? m_pfnInitDefaultEventSource(pszSource, nValue)
                                                               : kNotBound;
    DebugLogA(LOG_LEVEL_PIPE, kBxNotifySourceA, __LINE__, "CBxNotifyDLL::InitDefaultEventSource(%s) return %d",
              pszSource, nResult);
    return nResult;
}

int CBxNotifyDLL::OpenEventSource(const char* pszServer, const char* pszSource, HANDLE* phSource)
{
    const char* pszServerText = pszServer != nullptr ? pszServer : "NULL";
    const unsigned int uHandleAddress = static_cast<unsigned int>(reinterpret_cast<uintptr_t>(phSource));
    DebugLogA(LOG_LEVEL_PIPE, kBxNotifySourceA, __LINE__, "CBxNotifyDLL::OpenEventSource(%s, %s, %X)", pszServerText,
              pszSource, uHandleAddress);
    const int nResult =
        m_pfnOpenEventSource != nullptr ? m_pfnOpenEventSource(pszServer, pszSource, phSource) : kNotBound;
    DebugLogA(LOG_LEVEL_PIPE, kBxNotifySourceA, __LINE__, "CBxNotifyDLL::OpenEventSource(%s, %s, %X) return %d",
              pszServerText, pszSource, uHandleAddress, nResult);
    return nResult;
}

int CBxNotifyDLL::CloseEventSource(HANDLE hSource)
{
    DebugLogA(LOG_LEVEL_PIPE, kBxNotifySourceA, __LINE__, "CBxNotifyDLL::CloseEventSource(%d)",
              static_cast<int>(reinterpret_cast<intptr_t>(hSource)));
    return m_pfnCloseEventSource != nullptr ? m_pfnCloseEventSource(hSource) : kNotBound;
}

int CBxNotifyDLL::ReportEventLogEx(HANDLE hSource, DWORD dwType, DWORD dwCategory, DWORD dwEventId,
                                   const char* pszMessage)
{
    const int nHandle = static_cast<int>(reinterpret_cast<intptr_t>(hSource));
    const int nCategory = static_cast<int>(dwCategory & 0xFFFF);
    DebugLogA(LOG_LEVEL_PIPE, kBxNotifySourceA, __LINE__, "CBxNotifyDLL::ReportEventLogEx(%d, %d, %d, %d, %s)", nHandle,
              static_cast<int>(dwType), nCategory, static_cast<int>(dwEventId), pszMessage);
    const int nResult = m_pfnReportEventLogEx != nullptr
                            ? m_pfnReportEventLogEx(hSource, dwType, dwCategory, dwEventId, pszMessage, 0)
                            : kNotBound;
    DebugLogA(LOG_LEVEL_PIPE, kBxNotifySourceA, __LINE__, "CBxNotifyDLL::ReportEventLogEx(%d, %d, %d, %d, %s) return %d",
              nHandle, static_cast<int>(dwType), nCategory, static_cast<int>(dwEventId), pszMessage, nResult);
    return nResult;
}
