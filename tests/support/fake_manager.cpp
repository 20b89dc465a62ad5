// The plug-in manager's command handler played on threads of the test process.
#include "fake_manager.h"

#include "product_setup.h"
#include "test_support.h"

namespace product = standin::product;
using UTIL::UniqueHandle;

namespace testing_support {

FakeManager::FakeManager(Reply reply, std::vector<std::wstring> pieces, DWORD intervalMs)
    : m_reply(reply), m_pieces(std::move(pieces)), m_intervalMs(intervalMs)
{
    m_hQuit.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_server.ReadClientLevel();
    m_bListening = m_server.Start(std::wstring(L"\\\\.\\pipe\\") + product::kManagerPipe, 1, m_hQuit.Get(), INFINITE,
                                  [this](const standin::PipeMessage& message) { Receive(message); });
}

void FakeManager::Stop()
{
    ::SetEvent(m_hQuit.Get());
    m_server.Join();
    std::vector<std::thread> replies;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        replies.swap(m_replies);
    }
    for (std::thread& t : replies) {
        t.join();
    }
}

std::vector<FakeManager::Request> FakeManager::Requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

void FakeManager::Receive(const standin::PipeMessage& message)
{
    if (!message.complete || message.raw.empty()) {
        return;
    }
    Request request;
    static_cast<standin::PipeMessage&>(request) = message;
    const std::vector<std::wstring> fields = standin::SplitTabs(request.Text());
    if (fields.size() == 4) {
        request.command = fields[0];
        request.id = fields[1];
        request.component = fields[2];
        request.version = fields[3];
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.push_back(request);
    }
    if (fields.size() == 4) {
        Act(request);
    }
}

void FakeManager::Act(const Request& request)
{
    const std::wstring key = product::ComponentKey(request.component, request.version);
    if (request.command == product::kCmdDownload) {
        if (m_statusOnDownload >= 0) {
            product::SetString(key, product::kStatusValue, std::to_wstring(m_statusOnDownload));
        }
    } else if (!m_pluginDir.empty()) {
        const std::wstring library = m_pluginDir + L"\\scripted_" + request.version + L".dll";
        WriteFileBytes(library, "library");
        product::SetString(key, product::kLibraryValue, library);
        product::SetString(key, product::kStatusValue, std::to_wstring(product::kInstalled));
    }
    if (m_reply == Reply::Silent) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies.emplace_back(&FakeManager::Answer, this, request.id);
}

void FakeManager::Answer(const std::wstring& replyPipe)
{
    const std::wstring path = L"\\\\.\\pipe\\" + replyPipe;
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    UniqueHandle pipe(h == INVALID_HANDLE_VALUE ? nullptr : h);
    if (!pipe.IsValid()) {
        return;
    }
    m_bReplyOpened = true;
    auto write = [&](const std::wstring& piece) {
        DWORD done = 0;
        if (!::WriteFile(pipe.Get(), piece.data(), static_cast<DWORD>(piece.size() * sizeof(wchar_t)), &done,
                         nullptr)) {
            return false;
        }
        m_bytesWritten += done;
        ++m_piecesWritten;
        return true;
    };
    switch (m_reply) {
    case Reply::Answer:
        for (const std::wstring& piece : m_pieces) {
            if (!write(piece)) {
                break;
            }
        }
        break;
    case Reply::OpenAndHold:
        for (const std::wstring& piece : m_pieces) {
            write(piece);
        }
        ::WaitForSingleObject(m_hQuit.Get(), 90000);
        break;
    case Reply::Flood:
        while (write(m_pieces[0]) && ::WaitForSingleObject(m_hQuit.Get(), m_intervalMs) == WAIT_TIMEOUT) {
        }
        break;
    case Reply::Silent:
        break;
    }
}

} // namespace testing_support
