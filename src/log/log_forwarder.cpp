// Sends accepted log records to the log server as LOG_WRITE commands.
#include "log/debug_log.h"

#include <exception>
#include <memory>

#include "pipe/cmd_protocol.h"
#include "pipe/pipe_client.h"

const wchar_t kLogServerPipeName[] = L"Log_ServerNamePipe";

bool SendLogRecordW(int32_t nTime, uint32_t dwProcessId, uint32_t dwThreadId, int32_t nLevel,
                    const wchar_t* pwszFile, int32_t nLine, const wchar_t* pwszText) noexcept
{
    try {
        CCmdProtocol cmd;
        cmd.Append(L"LOG_WRITE")
            .Append(static_cast<long>(nTime))
            .Append(static_cast<unsigned long>(dwProcessId))
            .Append(static_cast<unsigned long>(dwThreadId))
            .Append(static_cast<long>(nLevel))
            .Append(pwszFile)
            .Append(static_cast<long>(nLine))
            .Append(pwszText);

        CPipeClient client;
        if (!client.Initial(kLogServerPipeName)) {
            return false; // ERROR_FILE_NOT_FOUND: no log server running
        }
        DWORD dwBytes = static_cast<DWORD>((cmd.Length() + 1) * sizeof(wchar_t));
        const bool bSent = client.Send(cmd.Data(), &dwBytes);
        client.Close();
        return bSent;
    } catch (const std::exception&) {
        return false; // no memory for the message: the record is dropped
    }
}

namespace {
std::unique_ptr<wchar_t[]> AnsiToWideBuffer(const char* psz)
{
    if (psz == nullptr) {
        psz = "";
    }
    const int cch = ::MultiByteToWideChar(CP_ACP, 0, psz, -1, nullptr, 0);
    if (cch <= 0) {
        return nullptr;
    }
    std::unique_ptr<wchar_t[]> buf(new (std::nothrow) wchar_t[cch]);
    if (buf && ::MultiByteToWideChar(CP_ACP, 0, psz, -1, buf.get(), cch) != cch) {
        buf.reset();
    }
    return buf;
}
} // namespace

bool SendLogRecordA(int32_t nTime, uint32_t dwProcessId, uint32_t dwThreadId, int32_t nLevel,
                    const char* pszFile, int32_t nLine, const char* pszText) noexcept
{
    std::unique_ptr<wchar_t[]> file = AnsiToWideBuffer(pszFile);
    std::unique_ptr<wchar_t[]> text = AnsiToWideBuffer(pszText);
    if (!file || !text) {
        return false;
    }
    return SendLogRecordW(nTime, dwProcessId, dwThreadId, nLevel, file.get(), nLine, text.get());
}
