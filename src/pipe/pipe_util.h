// Request/reply exchange: open a private reply pipe, then send the request.
#pragma once

#include <windows.h>

#include "pipe/pipe_server.h"

// Sets `server` up to listen on the reply pipe `pwszReplyPipe` (one instance,
// no access control list, `hStopEvent` or a stop event of its own), then
// connects to `pwszServerPipe` and writes the `cbData` bytes of the request.
// True when the reply pipe listens and the whole request was written; the
// caller then reads the reply from `server` and destroys it when done.
// False (logged at level 5, with the system error code left in the last
// error) when either step fails; the server is left with the caller, who
// closes the reply pipe by destroying it.
bool PipeSendAndRecvW(const void* pData, DWORD cbData, const wchar_t* pwszReplyPipe, const wchar_t* pwszServerPipe,
                      CPipeServer& server, HANDLE hStopEvent);
