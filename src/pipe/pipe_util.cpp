// Request/reply exchange: open a private reply pipe, then send the request.
#include "pipe/pipe_util.h"

#include "log/debug_log.h"
#include "pipe/pipe_client.h"

namespace {
// Log source of this module (wire content of every record it writes).
const wchar_t kSource[] = L"server/libpipe/pipe_util";
} // namespace

bool PipeSendAndRecvW(const void* pData, DWORD cbData, const wchar_t* pwszReplyPipe, const wchar_t* pwszServerPipe,
                      CPipeServer& server, HANDLE hStopEvent)
{
    if (!server.Initial(pwszReplyPipe, hStopEvent)) {
        const DWORD dwErr = ::GetLastError();
        DebugLogW(LOG_LEVEL_PIPE, kSource, 58, L"[PipeSendAndRecvW] Initial pipe server failed!");
        ::SetLastError(dwErr);
        return false;
    }

    CPipeClient client;
    if (!client.Initial(pwszServerPipe)) {
        const DWORD dwErr = ::GetLastError();
        client.Close();
        DebugLogW(LOG_LEVEL_PIPE, kSource, 66, L"[PipeSendAndRecvW] Initial pipe client failed! err=%d", dwErr);
        ::SetLastError(dwErr);
        return false;
    }

    DWORD dwBytes = cbData;
    if (!client.Send(pData, &dwBytes)) {
        const DWORD dwErr = ::GetLastError();
        client.Close();
        DebugLogW(LOG_LEVEL_PIPE, kSource, 73, L"[PipeSendAndRecvW] pipe send failed!. err=%d", dwErr);
        ::SetLastError(dwErr);
        return false;
    }
    client.Close();
    return true;
}
