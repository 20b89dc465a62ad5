// Per-thread COM initialisation held for the life of one object.
#include "com/com_initiator.h"

#include "log/debug_log.h"

namespace {
const wchar_t kSource[] = L"import/Quellguard_Infrastructure/Include/ut_InitCOM";
const int kMaxThreadModelAttempts = 10;
} // namespace

namespace UTIL {

CComInitiator::CComInitiator(DWORD dwThreadModel, BOOL bForce) : m_result(E_FAIL), m_bInitialize(FALSE)
{
    m_result = Initialize(dwThreadModel, bForce);
    if (FAILED(m_result)) {
        DebugLogW(LOG_LEVEL_DEBUG, kSource, 57,
                  L"%s - Failed to initiate CComInitiator with thread model: [%d] m_bInitialize: [%d] result: [%d].",
                  L"UTIL::CComInitiator::CComInitiator", dwThreadModel, m_bInitialize, m_result);
    }
}

CComInitiator::~CComInitiator()
{
    DeInitializeOwn();
}

HRESULT CComInitiator::GetResult()
{
    return m_result;
}

HRESULT CComInitiator::ForceAdjustThreadModel(DWORD dwThreadModel, BOOL bForce)
{
    DeInitialize();
    m_result = Initialize(dwThreadModel, bForce);
    DebugLogW(LOG_LEVEL_DEBUG, kSource, 97, L"%s - Initiate with thread model: [%d] result: [%d].",
              L"UTIL::CComInitiator::ForceAdjustThreadModel", dwThreadModel, m_result);
    return m_result;
}

void CComInitiator::Uninitialize()
{
    DeInitialize();
}

HRESULT CComInitiator::Initialize(DWORD dwThreadModel, BOOL bForce)
{
    const wchar_t kFunc[] = L"UTIL::CComInitiator::Initialize";
    HRESULT hr = ::CoInitializeEx(nullptr, dwThreadModel);
    if (hr == RPC_E_CHANGED_MODE) {
        DebugLogW(LOG_LEVEL_ERROR, kSource, 133,
                  L"%s - CoInitializeEx failed due to the thread model change (RPC_E_CHANGED_MODE) with COM error code: [%d].",
                  kFunc, hr);
        if (bForce) {
            DebugLogW(LOG_LEVEL_ERROR, kSource, 136, L"%s - Force to change thread model to: [%d].", kFunc,
                      dwThreadModel);
            hr = ChangeThreadModel(dwThreadModel);
        } else {
            DebugLogW(LOG_LEVEL_ERROR, kSource, 141, L"%s - Keep the original thread model.", kFunc);
        }
    }
    if (FAILED(hr)) {
        DebugLogW(LOG_LEVEL_ERROR, kSource, 151, L"%s - CoInitializeEx failed with COM error code: [%d].", kFunc,
                  hr);
        m_bInitialize = FALSE;
        return hr;
    }
    m_bInitialize = TRUE;
    return hr;
}

void CComInitiator::DeInitialize()
{
    DeInitializeOwn();
}

void CComInitiator::DeInitializeOwn()
{
    if (m_bInitialize) {
        ::CoUninitialize();
        m_bInitialize = FALSE;
    } else {
        DebugLogW(LOG_LEVEL_DEBUG, kSource, 178, L"%s - Due to CoInitializeEx failed, skip to call CoUninitialize.",
                  L"UTIL::CComInitiator::DeInitialize");
    }
}

HRESULT CComInitiator::ChangeThreadModel(DWORD dwThreadModel)
{
    const wchar_t kFunc[] = L"UTIL::CComInitiator::ChangeThreadModel";
    for (unsigned int uAttempt = 0; uAttempt < kMaxThreadModelAttempts; ++uAttempt) {
        ::CoUninitialize();
        const HRESULT hr = ::CoInitializeEx(nullptr, dwThreadModel);
        if (hr != RPC_E_CHANGED_MODE) {
            DebugLogW(LOG_LEVEL_DEBUG, kSource, 201, L"%s - Thread model change successfully.", kFunc);
            return hr;
        }
        DebugLogW(LOG_LEVEL_ERROR, kSource, 197, L"%s - Thread model change failed, try again, retry times: [%u].",
                  kFunc, uAttempt);
    }
    return RPC_E_CHANGED_MODE;
}

} // namespace UTIL
