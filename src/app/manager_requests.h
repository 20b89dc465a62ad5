// Download, install and upgrade requests to the plug-in manager's command handler.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

// Pipe served by the plug-in manager's command handler.
extern const wchar_t kManagerCommandPipeName[];

// Command names (first field of a request).
extern const wchar_t kCmdComponentDownload[];
extern const wchar_t kCmdComponentInstall[];
extern const wchar_t kCmdComponentUpgrade[];

// Each sends one request "<command>\t<request id>\t<component>\t<version>"
// (UTF-16LE, no terminator) and reads the manager's reply to its end without
// interpreting it. True when the request was delivered; false only when the
// reply pipe could not be set up or the manager's pipe could not be opened or
// written (the pipe layer logs the cause).
bool RequestComponentDownload(std::wstring strComponentId, std::wstring strVersion);
bool RequestComponentInstall(std::wstring strComponentId, std::wstring strVersion);
bool RequestComponentUpgrade(std::wstring strComponentId, std::wstring strVersion);

// The command name followed by the tick count and the calling thread's id,
// both as signed 32-bit decimals ("...DOWNLOAD123456", "...DOWNLOAD-5...").
// Doubles as the name of the reply pipe.
std::wstring MakeRequestId(const std::wstring& strCommand);
std::wstring MakeRequestId(const std::wstring& strCommand, DWORD dwTickCount, DWORD dwThreadId);

// Bounds on reading a reply, so that a manager that accepts a request and
// then never answers, or never stops answering, cannot hold the program.
struct ManagerReplyLimits {
    DWORD dwIdleTimeoutMs;  // longest wait for a connection or the next piece
    DWORD dwTotalTimeoutMs; // longest time spent collecting the reply
    size_t cbMaxReply;      // reading stops once this many bytes have arrived
};

// Defaults: 30 s without a connection or data, 60 s in all, 1 MiB.
extern const ManagerReplyLimits kDefaultManagerReplyLimits;

// One request as the three above send it, with the reply read within `limits`.
bool SendComponentRequest(const wchar_t* pwszCommand, const std::wstring& strComponentId,
                          const std::wstring& strVersion, const ManagerReplyLimits& limits);

// Opens the reply pipe named `strRequestId`, writes the `cbMessage` bytes of
// `pwszMessage` to the manager's pipe and collects the reply: each piece's
// text up to its first NUL, in arrival order, until the manager closes its end
// of the reply pipe or a limit is reached. True when the request was
// delivered (whatever happens on the reply pipe afterwards); strReply is
// assigned only then. False when the exchange could not be set up.
bool SendManagerCommand(const wchar_t* pwszMessage, DWORD cbMessage, const std::wstring& strRequestId,
                        std::wstring& strReply);
bool SendManagerCommand(const wchar_t* pwszMessage, DWORD cbMessage, const std::wstring& strRequestId,
                        std::wstring& strReply, const ManagerReplyLimits& limits);
