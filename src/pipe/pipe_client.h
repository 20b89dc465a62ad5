// Client end of a local named pipe: connect, write one message, close.
#pragma once

#include <windows.h>

#include "common/unique_resource.h"

class CPipeClient {
public:
    // Longest pipe name that fits "\\.\pipe\" plus terminator in the path.
    static const size_t kMaxPipeName = 250;

    CPipeClient();
    ~CPipeClient();

    CPipeClient(const CPipeClient&) = delete;
    CPipeClient& operator=(const CPipeClient&) = delete;

    // Connects to "\\.\pipe\<name>" in message read mode, waiting up to a
    // second at a time for a free instance while the pipe is busy (whatever
    // default time-out the pipe claims). On failure the system error code is
    // left in the thread's last error; a name over kMaxPipeName characters
    // fails with ERROR_INVALID_NAME.
    bool Initial(const wchar_t* pwszPipeName);

    // Writes the bytes in chunks of at most 1024 bytes, each one pipe message.
    // On success *pdwBytes holds the bytes written; on failure it is unchanged
    // and the system error code is left in the thread's last error. A chunk
    // the server does not take within 5 seconds fails with ERROR_TIMEOUT.
    bool Send(const void* pData, DWORD* pdwBytes);

    void Close();

    // Whether a chunk write that failed with dwErr is tried again at once:
    // only a lack of system resources is, and at most 100 times in a row.
    // *pnRetries counts the retries of the current chunk.
    static bool RetryChunkWrite(DWORD dwErr, int* pnRetries);

    HANDLE Handle() const { return m_hPipe.Get(); }

private:
    UTIL::UniqueHandle m_hPipe;
    wchar_t m_wszPath[MAX_PATH];
};
