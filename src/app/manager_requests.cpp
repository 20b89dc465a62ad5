// Download, install and upgrade requests to the plug-in manager's command handler.
#include "app/manager_requests.h"

#include <cstdlib>
#include <cwchar>

#include "pipe/cmd_protocol.h"
#include "pipe/pipe_server.h"
#include "pipe/pipe_util.h"

const wchar_t kManagerCommandPipeName[] = L"Brontide QgdKivMgr Command Handler Manager";

const wchar_t kCmdComponentDownload[] = L"kivmgr_KIV_COMPONENT_DOWNLOAD";
const wchar_t kCmdComponentInstall[] = L"kivmgr_KIV_COMPONENT_INSTALL";
const wchar_t kCmdComponentUpgrade[] = L"kivmgr_KIV_COMPONENT_UPGRADE";

// The reply is not interpreted; the manager's answer is a short text. A minute
// in all and half of it without any sign of the manager is ample, and the
// install workflow goes on by polling the component's status anyway.
const ManagerReplyLimits kDefaultManagerReplyLimits = {
    /* dwIdleTimeoutMs */ 30 * 1000,
    /* dwTotalTimeoutMs */ 60 * 1000,
    /* cbMaxReply */ 1024 * 1024,
};

namespace {
const size_t kScratchChars = 256;
const DWORD kReplyBufferBytes = 2048;
const DWORD kReplyReadBytes = 2046; // leaves room for a terminating NUL

void AppendSigned32(std::wstring& str, DWORD dwValue)
{
    wchar_t wszScratch[kScratchChars] = {};
    _itow_s(static_cast<int>(static_cast<INT32>(dwValue)), wszScratch, kScratchChars, 10);
    str.append(wszScratch);
}
} // namespace

bool SendComponentRequest(const wchar_t* pwszCommand, const std::wstring& strComponentId,
                          const std::wstring& strVersion, const ManagerReplyLimits& limits)
{
    std::wstring strReply;
    const std::wstring strRequestId = MakeRequestId(pwszCommand);
    CCmdProtocol cmd;
    cmd.Append(pwszCommand).Append(strRequestId).Append(strComponentId).Append(strVersion);
    return SendManagerCommand(cmd.Data(), static_cast<DWORD>(cmd.Length() * sizeof(wchar_t)), strRequestId,
                              strReply, limits);
}

bool RequestComponentDownload(std::wstring strComponentId, std::wstring strVersion)
{
    return SendComponentRequest(kCmdComponentDownload, strComponentId, strVersion, kDefaultManagerReplyLimits);
}

bool RequestComponentInstall(std::wstring strComponentId, std::wstring strVersion)
{
    return SendComponentRequest(kCmdComponentInstall, strComponentId, strVersion, kDefaultManagerReplyLimits);
}

bool RequestComponentUpgrade(std::wstring strComponentId, std::wstring strVersion)
{
    return SendComponentRequest(kCmdComponentUpgrade, strComponentId, strVersion, kDefaultManagerReplyLimits);
}

std::wstring MakeRequestId(const std::wstring& strCommand)
{
    return MakeRequestId(strCommand, ::GetTickCount(), ::GetCurrentThreadId());
}

std::wstring MakeRequestId(const std::wstring& strCommand, DWORD dwTickCount, DWORD dwThreadId)
{
    std::wstring strId(strCommand);
    AppendSigned32(strId, dwTickCount);
    AppendSigned32(strId, dwThreadId);
    return strId;
}

bool SendManagerCommand(const wchar_t* pwszMessage, DWORD cbMessage, const std::wstring& strRequestId,
                        std::wstring& strReply)
{
    return SendManagerCommand(pwszMessage, cbMessage, strRequestId, strReply, kDefaultManagerReplyLimits);
}

bool SendManagerCommand(const wchar_t* pwszMessage, DWORD cbMessage, const std::wstring& strRequestId,
                        std::wstring& strReply, const ManagerReplyLimits& limits)
{
    CPipeServer server;
    if (!PipeSendAndRecvW(pwszMessage, cbMessage, strRequestId.c_str(), kManagerCommandPipeName, server, nullptr)) {
        return false;
    }

    // Read until the manager closes its end. Each Read waits at most the idle
    // time-out (cut to what is left of the total), so a manager that never
    // opens the reply pipe, or opens it and stays silent, ends the loop too.
    std::wstring strCollected;
    wchar_t wszBuffer[kReplyBufferBytes / sizeof(wchar_t)];
    const DWORD dwStartTick = ::GetTickCount();
    size_t cbReceived = 0;
    for (;;) {
        const DWORD dwElapsed = ::GetTickCount() - dwStartTick;
        if (dwElapsed >= limits.dwTotalTimeoutMs || cbReceived >= limits.cbMaxReply) {
            break;
        }
        const DWORD dwLeft = limits.dwTotalTimeoutMs - dwElapsed;
        server.SetReadTimeout(dwLeft < limits.dwIdleTimeoutMs ? dwLeft : limits.dwIdleTimeoutMs);

        DWORD dwBytes = kReplyReadBytes;
        if (!server.Read(wszBuffer, &dwBytes, nullptr)) {
            break;
        }
        cbReceived += dwBytes;
        wszBuffer[dwBytes / sizeof(wchar_t)] = L'\0';
        strCollected.append(wszBuffer);
    }
    strReply.swap(strCollected);
    return true;
}
