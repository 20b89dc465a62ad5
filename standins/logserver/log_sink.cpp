// Log server stand-in: serves "Log_ServerNamePipe" and decodes LOG_WRITE records.
#include "log_sink.h"

#include <chrono>
#include <cstdio>
#include <cwchar>

namespace standin {

namespace {

std::vector<std::wstring> SplitFields(const std::wstring& msg, size_t maxFields)
{
    std::vector<std::wstring> fields;
    size_t start = 0;
    while (fields.size() + 1 < maxFields) {
        const size_t tab = msg.find(L'\t', start);
        if (tab == std::wstring::npos) {
            break;
        }
        fields.push_back(msg.substr(start, tab - start));
        start = tab + 1;
    }
    fields.push_back(msg.substr(start)); // the record text may hold TABs itself
    return fields;
}

long long ToInt(const std::wstring& s)
{
    return wcstoll(s.c_str(), nullptr, 10);
}

} // namespace

LogRecord DecodeLogRecord(const PipeMessage& message)
{
    LogRecord rec;
    rec.raw = message.raw;
    rec.pieceSizes = message.pieceSizes;
    std::wstring msg = message.Text();
    const size_t nul = msg.find(L'\0');
    if (nul != std::wstring::npos) {
        msg.resize(nul);
    }
    const std::vector<std::wstring> f = SplitFields(msg, 8);
    rec.fieldCount = f.size();
    rec.command = f[0];
    if (f.size() == 8) {
        rec.time = static_cast<int32_t>(ToInt(f[1]));
        rec.pid = static_cast<uint32_t>(wcstoul(f[2].c_str(), nullptr, 10));
        rec.tid = static_cast<uint32_t>(wcstoul(f[3].c_str(), nullptr, 10));
        rec.level = static_cast<int32_t>(ToInt(f[4]));
        rec.file = f[5];
        rec.line = static_cast<int32_t>(ToInt(f[6]));
        rec.text = f[7];
    } else {
        rec.text = msg;
    }
    return rec;
}

std::wstring FormatLogRecord(const LogRecord& rec)
{
    wchar_t when[32] = L"?";
    const __time64_t t = rec.time;
    struct tm tmUtc;
    if (rec.time != -1 && _gmtime64_s(&tmUtc, &t) == 0) {
        wcsftime(when, 32, L"%Y-%m-%d %H:%M:%SZ", &tmUtc);
    }
    wchar_t letter = L'?';
    if (rec.level >= 32 && rec.level < 127) {
        letter = static_cast<wchar_t>(rec.level);
    }
    wchar_t head[160];
    _snwprintf(head, 160, L"%s pid=%u tid=%u %c(%d) ", when, rec.pid, rec.tid, letter, rec.level);
    head[159] = L'\0';
    std::wstring line(head);
    line += rec.file;
    line += L':';
    line += std::to_wstring(rec.line);
    line += L' ';
    line += rec.text;
    return line;
}

LogSink::LogSink() = default;

LogSink::~LogSink()
{
    Stop();
}

bool LogSink::Start(const std::wstring& pipeName, unsigned instances, Callback callback)
{
    m_callback = std::move(callback);
    m_hStop.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_hStop.IsValid()) {
        return false;
    }
    if (!m_server.Start(L"\\\\.\\pipe\\" + pipeName, instances, m_hStop.Get(), INFINITE,
                        [this](const PipeMessage& message) { Receive(message); })) {
        m_hStop.Reset(); // keeps the last error
        return false;
    }
    return true;
}

void LogSink::Stop()
{
    if (m_hStop.IsValid()) {
        ::SetEvent(m_hStop.Get());
    }
    m_server.Join();
    m_hStop.Reset();
}

void LogSink::Receive(const PipeMessage& message)
{
    if (message.raw.empty()) {
        return;
    }
    LogRecord rec = DecodeLogRecord(message);
    if (m_callback) {
        m_callback(rec);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_records.push_back(std::move(rec));
    }
    m_cv.notify_all();
}

std::vector<LogRecord> LogSink::Records() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records;
}

size_t LogSink::Count() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records.size();
}

void LogSink::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.clear();
}

bool LogSink::WaitUntil(const std::function<bool(const std::vector<LogRecord>&)>& pred, DWORD timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return pred(m_records); });
}

LevelMapPublisher::LevelMapPublisher()
{
    NullDaclAttributes security;
    m_mapping.Reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, security.Get(), PAGE_READWRITE, 0, 4,
                                         L"Global\\log_level_map_file"));
    if (m_mapping.IsValid()) {
        m_view.Reset(::MapViewOfFile(m_mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 4));
        m_pWord = static_cast<volatile uint32_t*>(m_view.Get());
    }
}

void LevelMapPublisher::SetWord(uint32_t word)
{
    if (m_pWord != nullptr) {
        *m_pWord = word;
    }
}

} // namespace standin
