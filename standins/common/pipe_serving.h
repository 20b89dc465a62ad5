// The stand-ins' one serving loop for inbound message pipes, and open pipe security.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_resource.h"

namespace standin {

// Security attributes with a null DACL: any client may connect or open.
class NullDaclAttributes {
public:
    NullDaclAttributes();
    NullDaclAttributes(const NullDaclAttributes&) = delete;
    NullDaclAttributes& operator=(const NullDaclAttributes&) = delete;

    SECURITY_ATTRIBUTES* Get() { return &m_sa; }

private:
    SECURITY_DESCRIPTOR m_sd;
    SECURITY_ATTRIBUTES m_sa;
};

// What one client wrote on its connection.
struct PipeMessage {
    std::vector<uint8_t> raw;      // the bytes, pipe messages joined
    std::vector<DWORD> pieceSizes; // size of every pipe message
    bool complete = false;         // the client closed its end (not stopped or timed out)
    SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous; // the client's, when asked for
    bool levelRead = false;

    // The bytes as UTF-16 text (an odd last byte left out).
    std::wstring Text() const;
};

// The TAB-separated fields of a command message.
std::vector<std::wstring> SplitTabs(const std::wstring& text);

// Serves instances of an inbound message pipe, one thread each. Every connection
// carries one message, read until the client closes its end; a read waits at most
// the read time-out. The message goes to the handler, on the instance's thread,
// after the instance is disconnected. Serving ends when the stop event is set.
class InboundPipeServer {
public:
    using Handler = std::function<void(const PipeMessage&)>;

    InboundPipeServer() = default;
    ~InboundPipeServer() { Join(); }
    InboundPipeServer(const InboundPipeServer&) = delete;
    InboundPipeServer& operator=(const InboundPipeServer&) = delete;

    // False (with the last error set) when an instance cannot be created; the
    // stop event is then set and the instances made so far have ended.
    bool Start(const std::wstring& path, unsigned instances, HANDLE hStop, DWORD readTimeoutMs, Handler handler);
    // Waits for the instances to end (the stop event must be set).
    void Join();
    // Also reads the impersonation level that each client allows (call before Start).
    void ReadClientLevel() { m_bReadLevel = true; }

private:
    void Serve(UTIL::UniqueHandle pipe);

    HANDLE m_hStop = nullptr;
    bool m_bReadLevel = false;
    DWORD m_readTimeoutMs = INFINITE;
    Handler m_handler;
    std::vector<std::thread> m_threads;
};

} // namespace standin
