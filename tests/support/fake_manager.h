// The plug-in manager's command handler played on threads of the test process.
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_resource.h"
#include "pipe_serving.h"

namespace testing_support {

// Serves the manager's pipe, one request at a time, keeps every request that
// carried bytes, and for a request of four fields updates the component's registry values when
// told to and answers on its reply pipe as the reply mode says.
class FakeManager {
public:
    enum class Reply {
        Answer,      // open the reply pipe, write the pieces, close it
        Silent,      // never open the reply pipe
        OpenAndHold, // open it, write the pieces and keep it open until Stop
        Flood,       // write the first piece every `intervalMs` until a write fails or Stop
    };
    // As received, with the client's impersonation level.
    struct Request : standin::PipeMessage {
        std::wstring command, id, component, version; // of a request of four fields
    };

    explicit FakeManager(Reply reply, std::vector<std::wstring> pieces = {L"OK"}, DWORD intervalMs = 0);
    ~FakeManager() { Stop(); }
    FakeManager(const FakeManager&) = delete;
    FakeManager& operator=(const FakeManager&) = delete;

    bool Listening() const { return m_bListening; }
    // Status written on a download request (none when negative).
    void StatusOnDownload(int status) { m_statusOnDownload = status; }
    // An install or upgrade request completes the component, its library in this folder.
    void CompleteOnInstall(const std::wstring& pluginDir) { m_pluginDir = pluginDir; }
    // Ends serving and every reply (a held or flooded reply pipe is let go).
    void Stop();
    std::vector<Request> Requests() const;
    size_t BytesWritten() const { return m_bytesWritten.load(); }
    size_t PiecesWritten() const { return m_piecesWritten.load(); }
    bool ReplyOpened() const { return m_bReplyOpened.load(); }

private:
    void Receive(const standin::PipeMessage& message);
    void Act(const Request& request);
    void Answer(const std::wstring& replyPipe);

    Reply m_reply;
    std::vector<std::wstring> m_pieces;
    DWORD m_intervalMs;
    int m_statusOnDownload = -1;
    std::wstring m_pluginDir; // empty: no completion
    UTIL::UniqueHandle m_hQuit;
    standin::InboundPipeServer m_server;
    bool m_bListening = false;
    std::vector<std::thread> m_replies;
    mutable std::mutex m_mutex;
    std::vector<Request> m_requests;
    std::atomic<size_t> m_bytesWritten{0};
    std::atomic<size_t> m_piecesWritten{0};
    std::atomic<bool> m_bReplyOpened{false};
};

} // namespace testing_support
