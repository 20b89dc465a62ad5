// Client end of a local named pipe: connect, write one message, close.
#include "pipe/pipe_client.h"

#include <cstring>
#include <cwchar>

namespace {
const DWORD kChunkBytes = 1024;
// A write that keeps failing for lack of system resources is given up after
// this many immediate retries instead of spinning for ever.
const int kMaxResourceRetries = 100;
// A server that accepts a connection and never reads would otherwise block a
// write bigger than the pipe's buffer for ever.
const DWORD kWriteTimeoutMs = 5000;
// Longest wait for a free instance of a busy pipe: the default time-out of the
// product's own pipes. The pipe's own default is set by whichever process
// created the pipe first, and may be weeks.
const DWORD kBusyWaitMs = 1000;

// One write that gives up after kWriteTimeoutMs. On failure the system error
// code is in the thread's last error (ERROR_TIMEOUT when the server never read).
// The write carries no event of its own: the pipe handle is signalled when its
// only outstanding write completes, which spares every record an event object.
BOOL WriteWithTimeout(HANDLE hPipe, const void* pData, DWORD cb, DWORD* pdwWritten)
{
    OVERLAPPED ov = {};
    if (::WriteFile(hPipe, pData, cb, nullptr, &ov)) {
        return ::GetOverlappedResult(hPipe, &ov, pdwWritten, FALSE);
    }
    const DWORD dwErr = ::GetLastError();
    if (dwErr != ERROR_IO_PENDING) {
        return FALSE;
    }
    if (::WaitForSingleObject(hPipe, kWriteTimeoutMs) == WAIT_OBJECT_0) {
        return ::GetOverlappedResult(hPipe, &ov, pdwWritten, FALSE);
    }
    ::CancelIo(hPipe);
    ::GetOverlappedResult(hPipe, &ov, pdwWritten, TRUE); // the OVERLAPPED must outlive the I/O
    ::SetLastError(ERROR_TIMEOUT);
    return FALSE;
}
} // namespace

CPipeClient::CPipeClient()
{
    m_wszPath[0] = L'\0';
}

CPipeClient::~CPipeClient() = default;

bool CPipeClient::Initial(const wchar_t* pwszPipeName)
{
    if (pwszPipeName == nullptr || wcslen(pwszPipeName) > kMaxPipeName) {
        ::SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    _snwprintf(m_wszPath, MAX_PATH, L"\\\\.\\pipe\\%s", pwszPipeName);
    m_wszPath[MAX_PATH - 1] = L'\0';

    for (;;) {
        m_hPipe.Reset(::CreateFileW(m_wszPath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION | FILE_FLAG_OVERLAPPED, nullptr));
        if (m_hPipe.IsValid()) {
            break;
        }
        const DWORD dwErr = ::GetLastError();
        m_hPipe.Take(); // INVALID_HANDLE_VALUE: nothing to close
        if (dwErr != ERROR_PIPE_BUSY) {
            ::SetLastError(dwErr);
            return false;
        }
        if (!::WaitNamedPipeW(m_wszPath, kBusyWaitMs)) {
            return false;
        }
    }

    DWORD dwMode = PIPE_READMODE_MESSAGE;
    return ::SetNamedPipeHandleState(m_hPipe.Get(), &dwMode, nullptr, nullptr) != FALSE;
}

bool CPipeClient::Send(const void* pData, DWORD* pdwBytes)
{
    if (pdwBytes == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (*pdwBytes == 0) {
        return true;
    }
    if (pData == nullptr || !m_hPipe.IsValid()) {
        ::SetLastError(pData == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return false;
    }

    const BYTE* pNext = static_cast<const BYTE*>(pData);
    DWORD dwRemaining = *pdwBytes;
    DWORD dwTotal = 0;
    BYTE chunk[kChunkBytes];
    int nResourceRetries = 0;
    while (dwRemaining > 0) {
        const DWORD dwChunk = dwRemaining < kChunkBytes ? dwRemaining : kChunkBytes;
        memcpy(chunk, pNext, dwChunk);
        DWORD dwWritten = 0;
        if (!WriteWithTimeout(m_hPipe.Get(), chunk, dwChunk, &dwWritten)) {
            const DWORD dwErr = ::GetLastError();
            if (RetryChunkWrite(dwErr, &nResourceRetries)) {
                continue;
            }
            ::SetLastError(dwErr);
            return false;
        }
        nResourceRetries = 0;
        pNext += dwWritten;
        dwTotal += dwWritten;
        dwRemaining -= dwWritten;
    }
    *pdwBytes = dwTotal;
    return true;
}

bool CPipeClient::RetryChunkWrite(DWORD dwErr, int* pnRetries)
{
    if (dwErr != ERROR_NO_SYSTEM_RESOURCES || *pnRetries >= kMaxResourceRetries) {
        return false;
    }
    ++*pnRetries;
    return true;
}

void CPipeClient::Close()
{
    m_hPipe.Reset();
}
