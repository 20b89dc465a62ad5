// The stand-ins' one serving loop for inbound message pipes, and open pipe security.
#include "pipe_serving.h"

#include <cstring>

namespace standin {

namespace {

const DWORD kBufferSize = 65536;

// Waits for an overlapped operation, the stop event or the time-out; false when
// stopped, timed out (ERROR_OPERATION_ABORTED, the operation cancelled) or failed.
bool Await(HANDLE hPipe, OVERLAPPED& ov, HANDLE hStop, DWORD timeoutMs, DWORD& bytes, DWORD& err)
{
    const HANDLE handles[2] = {ov.hEvent, hStop};
    if (::WaitForMultipleObjects(2, handles, FALSE, timeoutMs) != WAIT_OBJECT_0) {
        ::CancelIoEx(hPipe, &ov);
        ::GetOverlappedResult(hPipe, &ov, &bytes, TRUE);
        err = ERROR_OPERATION_ABORTED;
        return false;
    }
    if (::GetOverlappedResult(hPipe, &ov, &bytes, FALSE)) {
        err = ERROR_SUCCESS;
        return true;
    }
    err = ::GetLastError();
    return err == ERROR_MORE_DATA;
}

// Impersonates the client for a moment to read the level it allows.
void ReadLevel(HANDLE hPipe, PipeMessage& message)
{
    if (!::ImpersonateNamedPipeClient(hPipe)) {
        return;
    }
    UTIL::UniqueHandle token;
    if (::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, token.Put())) {
        DWORD cb = 0;
        message.levelRead = ::GetTokenInformation(token.Get(), TokenImpersonationLevel, &message.level,
                                                  sizeof(message.level), &cb) != FALSE;
    }
    ::RevertToSelf();
}

} // namespace

std::wstring PipeMessage::Text() const
{
    std::wstring text(raw.size() / sizeof(wchar_t), L'\0');
    if (!text.empty()) {
        memcpy(&text[0], raw.data(), text.size() * sizeof(wchar_t));
    }
    return text;
}

std::vector<std::wstring> SplitTabs(const std::wstring& text)
{
    std::vector<std::wstring> fields;
    size_t start = 0;
    for (;;) {
        const size_t tab = text.find(L'\t', start);
        fields.push_back(text.substr(start, tab == std::wstring::npos ? std::wstring::npos : tab - start));
        if (tab == std::wstring::npos) {
            return fields;
        }
        start = tab + 1;
    }
}

NullDaclAttributes::NullDaclAttributes()
{
    ::InitializeSecurityDescriptor(&m_sd, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&m_sd, TRUE, nullptr, FALSE);
    m_sa = {sizeof(m_sa), &m_sd, FALSE};
}

bool InboundPipeServer::Start(const std::wstring& path, unsigned instances, HANDLE hStop, DWORD readTimeoutMs,
                              Handler handler)
{
    m_hStop = hStop;
    m_readTimeoutMs = readTimeoutMs;
    m_handler = std::move(handler);
    NullDaclAttributes security;
    for (unsigned i = 0; i < instances; ++i) {
        HANDLE hPipe = ::CreateNamedPipeW(path.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                          PIPE_UNLIMITED_INSTANCES, 0, kBufferSize, 1000, security.Get());
        if (hPipe == INVALID_HANDLE_VALUE) {
            const DWORD dwErr = ::GetLastError();
            ::SetEvent(m_hStop);
            Join();
            ::SetLastError(dwErr);
            return false;
        }
        m_threads.emplace_back(&InboundPipeServer::Serve, this, UTIL::UniqueHandle(hPipe));
    }
    return true;
}

void InboundPipeServer::Join()
{
    for (std::thread& t : m_threads) {
        t.join();
    }
    m_threads.clear();
}

void InboundPipeServer::Serve(UTIL::UniqueHandle pipe)
{
    const HANDLE hPipe = pipe.Get();
    UTIL::UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED ov = {};
    ov.hEvent = event.Get();
    std::vector<uint8_t> buffer(kBufferSize);
    while (::WaitForSingleObject(m_hStop, 0) == WAIT_TIMEOUT) {
        ::ResetEvent(ov.hEvent);
        DWORD bytes = 0;
        DWORD err = ERROR_SUCCESS;
        // A client that wrote and left before the call (ERROR_NO_DATA) still left its message.
        if (!::ConnectNamedPipe(hPipe, &ov)) {
            err = ::GetLastError();
            if (err == ERROR_IO_PENDING) {
                if (!Await(hPipe, ov, m_hStop, INFINITE, bytes, err)) {
                    ::DisconnectNamedPipe(hPipe);
                    continue;
                }
            } else if (err != ERROR_PIPE_CONNECTED && err != ERROR_NO_DATA) {
                ::DisconnectNamedPipe(hPipe);
                ::WaitForSingleObject(m_hStop, 10);
                continue;
            }
        }

        PipeMessage message;
        DWORD pieceSoFar = 0; // bytes of a piece larger than the buffer
        for (;;) {
            ::ResetEvent(ov.hEvent);
            bytes = 0;
            const BOOL ok = ::ReadFile(hPipe, buffer.data(), kBufferSize, &bytes, &ov);
            err = ok ? ERROR_SUCCESS : ::GetLastError();
            if (!ok && err == ERROR_IO_PENDING) {
                Await(hPipe, ov, m_hStop, m_readTimeoutMs, bytes, err);
            } else if (!ok && err == ERROR_MORE_DATA) {
                ::GetOverlappedResult(hPipe, &ov, &bytes, FALSE);
            }
            if (err != ERROR_SUCCESS && err != ERROR_MORE_DATA) {
                message.complete = err == ERROR_BROKEN_PIPE || err == ERROR_PIPE_NOT_CONNECTED;
                break;
            }
            message.raw.insert(message.raw.end(), buffer.begin(), buffer.begin() + bytes);
            if (m_bReadLevel && !message.levelRead) {
                ReadLevel(hPipe, message);
            }
            pieceSoFar += bytes;
            if (err == ERROR_SUCCESS) {
                message.pieceSizes.push_back(pieceSoFar);
                pieceSoFar = 0;
            }
        }
        ::DisconnectNamedPipe(hPipe);
        m_handler(message);
    }
}

} // namespace standin
