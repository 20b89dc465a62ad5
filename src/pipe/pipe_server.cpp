// Overlapped named-pipe server: up to 255 local instances served from one thread.
#include "pipe/pipe_server.h"

#include <cwchar>
#include <new>

#include "log/debug_log.h"

namespace {
// Log source of this module (wire content of every record it writes).
const wchar_t kSource[] = L"server/libpipe/pipe_server";

const DWORD kStateConnecting = 0;
const DWORD kStateConnected = 1;

const DWORD kPipeBufferBytes = 1024;
const DWORD kPipeDefaultTimeoutMs = 1000;
const int kCreateRetries = 5;
const DWORD kCreateRetryPauseMs = 100;

// "\\.\pipe\" in front of the name, terminator behind it.
const size_t kPipePrefixChars = 9;
const size_t kPipePathChars = 256;

// With more handles than one wait can take, the groups are polled and one of
// them is waited on for this long in turn.
const DWORD kGroupSliceMs = 10;
} // namespace

bool ConnectToNewClient(HANDLE hPipe, LPOVERLAPPED pOverlapped, BOOL* pbPending)
{
    *pbPending = FALSE;
    if (::ConnectNamedPipe(hPipe, pOverlapped)) {
        *pbPending = TRUE;
        return true;
    }
    const DWORD dwErr = ::GetLastError();
    switch (dwErr) {
    case ERROR_IO_PENDING:
        *pbPending = TRUE;
        return true;
    case ERROR_PIPE_CONNECTED:
    case ERROR_NO_DATA:
        // The client came before the call (and may have left already).
        return ::SetEvent(pOverlapped->hEvent) != FALSE;
    default:
        ::SetLastError(dwErr);
        return false;
    }
}

bool CreateSecurityAttributesWithoutACLs(SECURITY_ATTRIBUTES* pSa, SECURITY_DESCRIPTOR* pSd)
{
    if (pSa == nullptr || pSd == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    ZeroMemory(pSd, sizeof(*pSd));
    if (!::InitializeSecurityDescriptor(pSd, SECURITY_DESCRIPTOR_REVISION)) {
        const DWORD dwErr = ::GetLastError();
        DebugLogW(LOG_LEVEL_ERROR, kSource, 136,
                  L"[CreateSecurityAttributesWithoutACLs] InitializeSecurityDescriptor failed! err=%d", dwErr);
        ::SetLastError(dwErr);
        return false;
    }
    if (!::SetSecurityDescriptorDacl(pSd, TRUE, nullptr, FALSE)) {
        const DWORD dwErr = ::GetLastError();
        DebugLogW(LOG_LEVEL_ERROR, kSource, 142,
                  L"[CreateSecurityAttributesWithoutACLs] SetSecurityDescriptorDacl failed! err=%d", dwErr);
        ::SetLastError(dwErr);
        return false;
    }
    pSa->nLength = sizeof(SECURITY_ATTRIBUTES);
    pSa->lpSecurityDescriptor = pSd;
    pSa->bInheritHandle = FALSE;
    return true;
}

CPipeServer::PipeInstance::PipeInstance() : dwState(kStateConnecting), bPending(FALSE)
{
    ZeroMemory(&ov, sizeof(ov));
}

void CPipeServer::PipeInstance::CancelPendingIo()
{
    if (!bPending || !hPipe.IsValid()) {
        return;
    }
    const DWORD dwErr = ::GetLastError();
    // The connect may have been started on another thread: cancel by record.
    ::CancelIoEx(hPipe.Get(), &ov);
    DWORD dwIgnored = 0;
    ::GetOverlappedResult(hPipe.Get(), &ov, &dwIgnored, TRUE);
    bPending = FALSE;
    ::SetLastError(dwErr);
}

void CPipeServer::PipeInstance::Close()
{
    CancelPendingIo();
    hPipe.Reset();
    hEvent.Reset();
    ov.hEvent = nullptr;
    dwState = kStateConnecting;
}

CPipeServer::CPipeServer()
    : m_dwInstances(0),
      m_hStopEvent(nullptr),
      m_pfnGetNamedPipeClientProcessId(nullptr),
      m_dwReadTimeoutMs(INFINITE),
      m_bInitialCalled(false),
      m_bReady(false)
{
    m_wszPipePath[0] = L'\0';
    m_hKernel32.Reset(::LoadLibraryW(L"Kernel32.dll"));
    if (!m_hKernel32.IsValid()) {
        DebugLogW(LOG_LEVEL_DEBUG, kSource, 175,
                  L"%s - Failed to load Kernel32.dll, Windows API GetNamedPipeClientProcessId is NOT available",
                  L"CPipeServer::CPipeServer");
        return;
    }
    const FARPROC pfn = ::GetProcAddress(m_hKernel32.Get(), "GetNamedPipeClientProcessId");
    if (pfn == nullptr) {
        DebugLogW(LOG_LEVEL_DEBUG, kSource, 169,
                  L"%s - Windows API GetNamedPipeClientProcessId is NOT supported on this platform (Windows XP / "
                  L"Windows 2003)",
                  L"CPipeServer::CPipeServer");
        return;
    }
    m_pfnGetNamedPipeClientProcessId = reinterpret_cast<PFN_GET_CLIENT_PID>(reinterpret_cast<void (*)()>(pfn));
}

CPipeServer::~CPipeServer()
{
    for (PipeInstance& inst : m_instances) {
        inst.Close();
    }
    m_phWaitHandles.reset();
    m_hStopEvent = nullptr;
    m_hOwnStopEvent.Reset();
    m_pfnGetNamedPipeClientProcessId = nullptr;
    m_hKernel32.Reset();
}

bool CPipeServer::Initial(const wchar_t* pwszPipeName, HANDLE hStopEvent)
{
    SECURITY_ATTRIBUTES sa;
    SECURITY_DESCRIPTOR sd;
    if (!CreateSecurityAttributesWithoutACLs(&sa, &sd)) {
        const DWORD dwErr = ::GetLastError();
        DebugLogW(LOG_LEVEL_ERROR, kSource, 308, L"[CPipeServer::Initial] CreateSecurityAttributesWithoutACLs for %s failed.",
                  pwszPipeName != nullptr ? pwszPipeName : L"");
        ::SetLastError(dwErr);
        return false;
    }
    return Initial(pwszPipeName, &sa, hStopEvent);
}

bool CPipeServer::Initial(const wchar_t* pwszPipeName, LPSECURITY_ATTRIBUTES pSa, HANDLE hStopEvent)
{
    if (m_bInitialCalled) {
        ::SetLastError(ERROR_ALREADY_INITIALIZED);
        return false;
    }
    if (hStopEvent == nullptr) {
        m_hOwnStopEvent.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!m_hOwnStopEvent.IsValid()) {
            const DWORD dwErr = ::GetLastError();
            DebugLogW(LOG_LEVEL_PIPE, kSource, 320, L"[CPipeServer::Initial] CreateEvent Failed! err=%d", dwErr);
        }
        hStopEvent = m_hOwnStopEvent.Get();
    }
    return Initial(1, pwszPipeName, pSa, hStopEvent);
}

bool CPipeServer::Initial(DWORD dwCount, const wchar_t* pwszPipeName, LPSECURITY_ATTRIBUTES pSa, HANDLE hStopEvent)
{
    if (m_bInitialCalled) {
        ::SetLastError(ERROR_ALREADY_INITIALIZED);
        return false;
    }
    m_bInitialCalled = true;
    if (pwszPipeName == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    // A name cut to fit the path would serve a pipe nobody asked for.
    if (wcslen(pwszPipeName) > kPipePathChars - 1 - kPipePrefixChars) {
        ::SetLastError(ERROR_INVALID_NAME);
        return false;
    }

    if (dwCount > kMaxInstances) {
        dwCount = kMaxInstances;
    }
    m_phWaitHandles.reset(new (std::nothrow) HANDLE[dwCount + 1]());
    if (!m_phWaitHandles) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    m_dwInstances = dwCount;
    _snwprintf(m_wszPipePath, kPipePathChars - 1, L"\\\\.\\pipe\\%s", pwszPipeName);
    m_wszPipePath[kPipePathChars - 1] = L'\0';

    m_hStopEvent = hStopEvent;
    if (dwCount == 0) {
        m_phWaitHandles[0] = hStopEvent;
        m_bReady = true;
        return true;
    }

    for (DWORD i = 0; i < dwCount; ++i) {
        PipeInstance& inst = m_instances[i];
        inst.hEvent.Reset(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
        if (!inst.hEvent.IsValid()) {
            const DWORD dwErr = ::GetLastError();
            DebugLogW(LOG_LEVEL_PIPE, kSource, 228, L"[CPipeServer::Initial] CreateEvent failed! err=%d", dwErr);
            ::SetLastError(dwErr);
            return false;
        }
        m_phWaitHandles[i] = inst.hEvent.Get();
        ZeroMemory(&inst.ov, sizeof(inst.ov));
        inst.ov.hEvent = inst.hEvent.Get();

        if (!CreateInstancePipe(inst, pSa)) {
            return false;
        }
        if (SharesNameWithAnotherServer(inst, i + 1)) {
            // Clients of this name could reach the other server's instances
            // instead of ours; refuse the name as a first instance would be
            // refused where the system enforces it.
            DebugLogW(LOG_LEVEL_PIPE, kSource, 260, L"[CPipeServer::Initial] CreateNamedPipe failed! err=%d",
                      ERROR_ACCESS_DENIED);
            ::SetLastError(ERROR_ACCESS_DENIED);
            return false;
        }
        if (!ConnectToNewClient(inst.hPipe.Get(), &inst.ov, &inst.bPending)) {
            const DWORD dwErr = ::GetLastError();
            DebugLogW(LOG_LEVEL_PIPE, kSource, 279, L"[CPipeServer::Initial] ConnectToNewClient failed! err=%d", dwErr);
            ::SetLastError(dwErr);
            return false;
        }
        inst.dwState = inst.bPending ? kStateConnecting : kStateConnected;
    }
    m_phWaitHandles[dwCount] = hStopEvent;
    m_bReady = true;
    return true;
}

bool CPipeServer::CreateInstancePipe(PipeInstance& inst, LPSECURITY_ATTRIBUTES pSa)
{
    for (int nRetry = 0;; ++nRetry) {
        inst.hPipe.Reset(::CreateNamedPipeW(
            m_wszPipePath, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_REJECT_REMOTE_CLIENTS | PIPE_WAIT, m_dwInstances,
            /* nOutBufferSize */ kPipeBufferBytes, /* nInBufferSize */ kPipeBufferBytes, kPipeDefaultTimeoutMs, pSa));
        if (inst.hPipe.IsValid()) {
            return true;
        }
        const DWORD dwErr = ::GetLastError();
        inst.hPipe.Take(); // INVALID_HANDLE_VALUE: nothing to close
        if (dwErr != ERROR_PIPE_BUSY) {
            DebugLogW(LOG_LEVEL_PIPE, kSource, 260, L"[CPipeServer::Initial] CreateNamedPipe failed! err=%d", dwErr);
            ::SetLastError(dwErr);
            return false;
        }
        if (nRetry == kCreateRetries) {
            DebugLogW(LOG_LEVEL_PIPE, kSource, 266, L"[CPipeServer::Initial] Retry %d times. Still Failed!",
                      kCreateRetries);
            ::SetLastError(dwErr);
            return false;
        }
        ::Sleep(kCreateRetryPauseMs);
    }
}

bool CPipeServer::SharesNameWithAnotherServer(const PipeInstance& inst, DWORD dwOwnInstances) const
{
    DWORD dwCurrent = 0;
    if (!::GetNamedPipeHandleStateW(inst.hPipe.Get(), nullptr, &dwCurrent, nullptr, nullptr, nullptr, 0)) {
        return false; // cannot tell: the instance is kept
    }
    return dwCurrent > dwOwnInstances;
}

DWORD CPipeServer::RemainingTime(DWORD dwStartTick) const
{
    if (m_dwReadTimeoutMs == INFINITE) {
        return INFINITE;
    }
    const DWORD dwElapsed = ::GetTickCount() - dwStartTick;
    return dwElapsed >= m_dwReadTimeoutMs ? 0 : m_dwReadTimeoutMs - dwElapsed;
}

CPipeServer::WaitOutcome CPipeServer::WaitForInstance(DWORD dwStartTick, DWORD* pdwIndex) const
{
    const DWORD dwCount = m_dwInstances;
    // A missing stop event is left out of the wait instead of failing it.
    const DWORD dwStopSlots = m_hStopEvent != nullptr ? 1 : 0;
    if (dwCount + dwStopSlots == 0) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return kWaitFailed;
    }

    if (dwCount + dwStopSlots <= MAXIMUM_WAIT_OBJECTS) {
        return WaitForGroup(0, dwCount, RemainingTime(dwStartTick), pdwIndex);
    }

    // More handles than one wait takes: look at every group without waiting,
    // then block briefly on one group in turn. The stop event is in each group.
    const DWORD dwGroupSize = MAXIMUM_WAIT_OBJECTS - 1;
    const DWORD dwGroups = (dwCount + dwGroupSize - 1) / dwGroupSize;
    for (DWORD dwTurn = 0;; ++dwTurn) {
        for (DWORD dwGroup = 0; dwGroup < dwGroups; ++dwGroup) {
            const WaitOutcome outcome = WaitForGroup(dwGroup * dwGroupSize, dwGroupSize, 0, pdwIndex);
            if (outcome != kWaitTimeout) {
                return outcome;
            }
        }
        const DWORD dwRemaining = RemainingTime(dwStartTick);
        if (dwRemaining == 0) {
            return kWaitTimeout;
        }
        const WaitOutcome outcome = WaitForGroup((dwTurn % dwGroups) * dwGroupSize, dwGroupSize,
                                                 dwRemaining < kGroupSliceMs ? dwRemaining : kGroupSliceMs, pdwIndex);
        if (outcome != kWaitTimeout) {
            return outcome;
        }
    }
}

CPipeServer::WaitOutcome CPipeServer::WaitForGroup(DWORD dwFirst, DWORD dwGroupSize, DWORD dwTimeoutMs,
                                                   DWORD* pdwIndex) const
{
    const DWORD dwMembers = m_dwInstances - dwFirst < dwGroupSize ? m_dwInstances - dwFirst : dwGroupSize;
    HANDLE ahGroup[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < dwMembers; ++i) {
        ahGroup[i] = m_phWaitHandles[dwFirst + i];
    }
    DWORD dwHandles = dwMembers;
    if (m_hStopEvent != nullptr) {
        ahGroup[dwHandles++] = m_hStopEvent;
    }
    const DWORD dwWait = ::WaitForMultipleObjects(dwHandles, ahGroup, FALSE, dwTimeoutMs);
    if (dwWait == WAIT_TIMEOUT) {
        return kWaitTimeout;
    }
    if (dwWait >= WAIT_OBJECT_0 + dwHandles) {
        if (dwWait != WAIT_FAILED) {
            ::SetLastError(ERROR_INVALID_HANDLE);
        }
        return kWaitFailed;
    }
    const DWORD dwIndex = dwWait - WAIT_OBJECT_0;
    if (dwIndex == dwMembers) {
        return kWaitStop;
    }
    *pdwIndex = dwFirst + dwIndex;
    return kWaitInstance;
}

bool CPipeServer::ConnectOutstanding(PipeInstance& inst)
{
    DWORD dwIgnored = 0;
    if (::GetOverlappedResult(inst.hPipe.Get(), &inst.ov, &dwIgnored, FALSE) ||
        ::GetLastError() != ERROR_IO_INCOMPLETE) {
        return false;
    }
    // Cleared before the connect is looked at again: its completion sets the
    // event afterwards and so cannot be missed by the next wait.
    ::ResetEvent(inst.ov.hEvent);
    return !::GetOverlappedResult(inst.hPipe.Get(), &inst.ov, &dwIgnored, FALSE) &&
           ::GetLastError() == ERROR_IO_INCOMPLETE;
}

CPipeServer::WaitOutcome CPipeServer::WaitForPendingRead(PipeInstance& inst, DWORD dwStartTick) const
{
    const HANDLE ahWait[2] = {inst.ov.hEvent, m_hStopEvent};
    const DWORD dwHandles = m_hStopEvent != nullptr ? 2 : 1;
    const DWORD dwWait = ::WaitForMultipleObjects(dwHandles, ahWait, FALSE, RemainingTime(dwStartTick));
    if (dwWait == WAIT_OBJECT_0) {
        return kWaitInstance;
    }
    if (dwWait == WAIT_OBJECT_0 + 1 && dwHandles == 2) {
        return kWaitStop;
    }
    if (dwWait == WAIT_TIMEOUT) {
        return kWaitTimeout;
    }
    if (dwWait != WAIT_FAILED) {
        ::SetLastError(ERROR_INVALID_HANDLE);
    }
    return kWaitFailed;
}

bool CPipeServer::Read(void* pBuffer, DWORD* pdwBytes, DWORD* pdwClientPid)
{
    if (pBuffer == nullptr || pdwBytes == nullptr || *pdwBytes == 0) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const DWORD dwRoom = *pdwBytes;
    *pdwBytes = 0;
    if (!m_bReady) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    static_cast<BYTE*>(pBuffer)[0] = 0;
    const DWORD dwStartTick = ::GetTickCount();

    DWORD dwIndex = 0;
    for (;;) {
        switch (WaitForInstance(dwStartTick, &dwIndex)) {
        case kWaitInstance:
            break;
        case kWaitStop:
            ::SetLastError(ERROR_OPERATION_ABORTED);
            return false;
        case kWaitTimeout:
            ::SetLastError(ERROR_TIMEOUT);
            return false;
        default:
            return false;
        }
        if (!m_instances[dwIndex].bPending || !ConnectOutstanding(m_instances[dwIndex])) {
            break;
        }
        // Woken while the connect is still outstanding: wait on within the time-out.
    }

    PipeInstance& inst = m_instances[dwIndex];
    if (inst.bPending) {
        DWORD dwIgnored = 0;
        const BOOL bConnected = ::GetOverlappedResult(inst.hPipe.Get(), &inst.ov, &dwIgnored, FALSE);
        const DWORD dwErr = bConnected ? ERROR_SUCCESS : ::GetLastError();
        inst.bPending = FALSE;
        if (!bConnected) {
            // A failed connect would leave the instance dead and signalled.
            DisconnectAndReconnect(dwIndex, nullptr);
            ::SetLastError(dwErr);
            return false;
        }
        inst.dwState = kStateConnected;
    }
    if (inst.dwState != kStateConnected) {
        ::SetLastError(ERROR_PIPE_NOT_CONNECTED);
        return false;
    }

    DWORD dwRead = 0;
    if (::ReadFile(inst.hPipe.Get(), pBuffer, dwRoom, &dwRead, &inst.ov)) {
        if (dwRead > 0) {
            *pdwBytes = dwRead;
            return true;
        }
        DisconnectAndReconnect(dwIndex, pdwClientPid);
        ::SetLastError(ERROR_HANDLE_EOF);
        return false;
    }
    const DWORD dwReadErr = ::GetLastError();
    if (dwReadErr == ERROR_IO_PENDING) {
        const WaitOutcome outcome = WaitForPendingRead(inst, dwStartTick);
        if (outcome != kWaitInstance) {
            const DWORD dwWaitErr = outcome == kWaitStop      ? ERROR_OPERATION_ABORTED
                                    : outcome == kWaitTimeout ? ERROR_TIMEOUT
                                                              : ::GetLastError();
            // The OVERLAPPED must be free again before this call returns;
            // data that arrived in the meantime is still handed out.
            ::CancelIoEx(inst.hPipe.Get(), &inst.ov);
            const BOOL bDone = ::GetOverlappedResult(inst.hPipe.Get(), &inst.ov, &dwRead, TRUE);
            const DWORD dwDoneErr = bDone ? ERROR_SUCCESS : ::GetLastError();
            if ((bDone || dwDoneErr == ERROR_MORE_DATA) && dwRead > 0) {
                *pdwBytes = dwRead;
                ::SetLastError(dwDoneErr);
                return true;
            }
            ::SetLastError(dwWaitErr);
            return false;
        }
    }
    if (dwReadErr == ERROR_MORE_DATA || dwReadErr == ERROR_IO_PENDING) {
        // Only a pending read is waited for: one that ended at once (the first
        // part of a longer message) has its result already. A read that fails
        // at once otherwise, end of file included, leaves nothing to wait for.
        dwRead = 0;
        const BOOL bDone =
            ::GetOverlappedResult(inst.hPipe.Get(), &inst.ov, &dwRead, dwReadErr == ERROR_IO_PENDING);
        const DWORD dwDoneErr = bDone ? ERROR_SUCCESS : ::GetLastError();
        if (bDone || dwDoneErr == ERROR_MORE_DATA) {
            // ERROR_MORE_DATA stays in the last error: the next Read gets the rest.
            *pdwBytes = dwRead;
            ::SetLastError(dwDoneErr);
            return true;
        }
        DisconnectAndReconnect(dwIndex, pdwClientPid);
        ::SetLastError(dwDoneErr);
        return false;
    }
    DisconnectAndReconnect(dwIndex, pdwClientPid);
    ::SetLastError(dwReadErr);
    return false;
}

bool CPipeServer::DisconnectAndReconnect(DWORD dwIndex, DWORD* pdwClientPid)
{
    if (dwIndex >= m_dwInstances || !m_instances[dwIndex].hPipe.IsValid()) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    PipeInstance& inst = m_instances[dwIndex];
    if (pdwClientPid != nullptr) {
        if (m_pfnGetNamedPipeClientProcessId != nullptr) {
            ULONG ulPid = 0;
            if (!m_pfnGetNamedPipeClientProcessId(inst.hPipe.Get(), &ulPid)) {
                ulPid = 0;
            }
            DebugLogW(LOG_LEVEL_DEBUG, kSource, 572, L"%s - The connected pipe client PID [%d]",
                      L"CPipeServer::DisconnectAndReconnect", static_cast<int>(ulPid));
            *pdwClientPid = ulPid;
        } else {
            *pdwClientPid = 0;
        }
    }
    // A connect still outstanding must not share the record with the next one.
    inst.CancelPendingIo();
    if (!::DisconnectNamedPipe(inst.hPipe.Get())) {
        return false;
    }
    if (!ConnectToNewClient(inst.hPipe.Get(), &inst.ov, &inst.bPending)) {
        return false;
    }
    inst.dwState = inst.bPending ? kStateConnecting : kStateConnected;
    return true;
}
