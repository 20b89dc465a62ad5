// Overlapped named-pipe server: up to 255 local instances served from one thread.
#pragma once

#include <windows.h>

#include <memory>

#include "common/unique_resource.h"

// Starts (or completes at once) a connect on an overlapped pipe instance.
// *pbPending is TRUE while the connect is outstanding; a client that came
// before the call signals the overlapped event instead. False when the connect
// cannot be started (the system error code is left in the last error).
bool ConnectToNewClient(HANDLE hPipe, LPOVERLAPPED pOverlapped, BOOL* pbPending);

// Fills *pSa with *pSd, a descriptor with a present but null DACL, so that
// every account gets access; handles are not inheritable. Both stay owned by
// the caller. False (logged, with the last error) when the descriptor cannot
// be set up.
bool CreateSecurityAttributesWithoutACLs(SECURITY_ATTRIBUTES* pSa, SECURITY_DESCRIPTOR* pSd);

// Serves "\\.\pipe\<name>" with message-mode, local-only instances. Calling
// order: construct, one Initial, Read from one thread, destroy. Only the stop
// event may be signalled from another thread.
class CPipeServer {
public:
    static const DWORD kMaxInstances = 255;

    CPipeServer();
    ~CPipeServer();

    CPipeServer(const CPipeServer&) = delete;
    CPipeServer& operator=(const CPipeServer&) = delete;

    // One instance, security attributes without an access control list. With
    // a null stop event the server makes (and later closes) its own.
    bool Initial(const wchar_t* pwszPipeName, HANDLE hStopEvent);
    // One instance with the caller's attributes; a null stop event as above.
    bool Initial(const wchar_t* pwszPipeName, LPSECURITY_ATTRIBUTES pSa, HANDLE hStopEvent);
    // dwCount instances (cut to 255; 0 creates no pipe and a Read then waits
    // only for the stop event). A null stop event is kept as none. On failure
    // the server can only be destroyed; a pipe name too long for the path
    // fails with ERROR_INVALID_NAME, a name another process already serves
    // with free instances with ERROR_ACCESS_DENIED.
    bool Initial(DWORD dwCount, const wchar_t* pwszPipeName, LPSECURITY_ATTRIBUTES pSa, HANDLE hStopEvent);

    // Waits for a connection or data on any instance and reads at most
    // *pdwBytes bytes. True when data was received: *pdwBytes then holds the
    // bytes read; a message longer than the room is returned in parts by
    // successive calls, each part but the last with ERROR_MORE_DATA left in
    // the last error. False leaves *pdwBytes 0 and the reason in the last
    // error: ERROR_BROKEN_PIPE and the like when a client went away (its
    // instance is listening again; *pdwClientPid gets the client's process id
    // when asked for), ERROR_OPERATION_ABORTED when the stop event was
    // signalled (or a connect was cancelled because the thread that started
    // it ended; that instance is listening again), ERROR_TIMEOUT when the
    // read time-out passed first. One call serves one instance: while it
    // waits for data from a connected client, the other instances wait.
    bool Read(void* pBuffer, DWORD* pdwBytes, DWORD* pdwClientPid = nullptr);

    // Disconnects the instance's client and listens again. False when either
    // step fails (the instance is then left as the failing step left it).
    bool DisconnectAndReconnect(DWORD dwIndex, DWORD* pdwClientPid = nullptr);

    // Longest time one Read waits in all; INFINITE (the default) waits until
    // data comes, a client leaves or the stop event is signalled.
    void SetReadTimeout(DWORD dwTimeoutMs) { m_dwReadTimeoutMs = dwTimeoutMs; }
    DWORD ReadTimeout() const { return m_dwReadTimeoutMs; }

    DWORD InstanceCount() const { return m_dwInstances; }

private:
    typedef BOOL(WINAPI* PFN_GET_CLIENT_PID)(HANDLE, PULONG);

    // One pipe instance: its server end, the OVERLAPPED of its pending
    // connect or read and that record's event, owned together so that
    // pending I/O is cancelled and waited for before any of them goes.
    struct PipeInstance {
        OVERLAPPED ov;
        UTIL::UniqueHandle hPipe;
        UTIL::UniqueHandle hEvent;
        DWORD dwState; // 0 = waiting for a client, 1 = connected
        BOOL bPending; // a connect was started and its outcome not yet taken

        PipeInstance();
        ~PipeInstance() { Close(); }
        void CancelPendingIo();
        void Close();
    };

    enum WaitOutcome { kWaitInstance, kWaitStop, kWaitTimeout, kWaitFailed };

    WaitOutcome WaitForInstance(DWORD dwStartTick, DWORD* pdwIndex) const;
    WaitOutcome WaitForGroup(DWORD dwFirst, DWORD dwGroupSize, DWORD dwTimeoutMs, DWORD* pdwIndex) const;
    WaitOutcome WaitForPendingRead(PipeInstance& inst, DWORD dwStartTick) const;
    // True while the instance's connect is outstanding; its event is then
    // clear, so that the next wait ends when the connect completes.
    static bool ConnectOutstanding(PipeInstance& inst);
    DWORD RemainingTime(DWORD dwStartTick) const;
    bool CreateInstancePipe(PipeInstance& inst, LPSECURITY_ATTRIBUTES pSa);
    // True when the pipe has more instances than the dwOwnInstances this
    // server made: another process serves the same name.
    bool SharesNameWithAnotherServer(const PipeInstance& inst, DWORD dwOwnInstances) const;

    DWORD m_dwInstances;
    std::unique_ptr<HANDLE[]> m_phWaitHandles; // instance events, then the stop event (views only)
    wchar_t m_wszPipePath[256];
    PipeInstance m_instances[kMaxInstances];
    HANDLE m_hStopEvent;
    UTIL::UniqueHandle m_hOwnStopEvent; // set when Initial made the stop event
    UTIL::UniqueModule m_hKernel32;
    PFN_GET_CLIENT_PID m_pfnGetNamedPipeClientProcessId;
    DWORD m_dwReadTimeoutMs;
    bool m_bInitialCalled; // Initial may run once
    bool m_bReady;         // Initial succeeded
};
