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

LogRecord DecodeLogRecord(const std::vector<uint8_t>& raw)
{
    LogRecord rec;
    rec.raw = raw;
    std::wstring msg(raw.size() / sizeof(wchar_t), L'\0');
    if (!msg.empty()) {
        memcpy(&msg[0], raw.data(), msg.size() * sizeof(wchar_t));
    }
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
    m_path = L"\\\\.\\pipe\\" + pipeName;
    m_callback = std::move(callback);
    m_hStop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (m_hStop == nullptr) {
        return false;
    }
    SECURITY_DESCRIPTOR sd;
    ::InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES sa = {sizeof(sa), &sd, FALSE};
    for (unsigned i = 0; i < instances; ++i) {
        HANDLE hPipe = ::CreateNamedPipeW(m_path.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                          PIPE_UNLIMITED_INSTANCES, 0, 65536, 1000, &sa);
        if (hPipe == INVALID_HANDLE_VALUE) {
            const DWORD err = ::GetLastError();
            Stop();
            ::SetLastError(err);
            return false;
        }
        m_threads.emplace_back(&LogSink::Serve, this, hPipe);
    }
    return true;
}

void LogSink::Stop()
{
    if (m_hStop != nullptr) {
        ::SetEvent(m_hStop);
    }
    for (std::thread& t : m_threads) {
        t.join();
    }
    m_threads.clear();
    if (m_hStop != nullptr) {
        ::CloseHandle(m_hStop);
        m_hStop = nullptr;
    }
}

// Waits for an overlapped operation or the stop event; false when stopped or failed.
static bool Await(HANDLE hPipe, OVERLAPPED& ov, HANDLE hStop, DWORD& bytes, DWORD& err)
{
    const HANDLE handles[2] = {ov.hEvent, hStop};
    const DWORD w = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    if (w != WAIT_OBJECT_0) {
        ::CancelIo(hPipe);
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

void LogSink::Serve(HANDLE hPipe)
{
    OVERLAPPED ov = {};
    ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<uint8_t> buffer(65536);
    for (;;) {
        ::ResetEvent(ov.hEvent);
        DWORD bytes = 0;
        DWORD err = 0;
        if (!::ConnectNamedPipe(hPipe, &ov)) {
            err = ::GetLastError();
            if (err == ERROR_IO_PENDING) {
                if (!Await(hPipe, ov, m_hStop, bytes, err)) {
                    if (err == ERROR_OPERATION_ABORTED) {
                        break;
                    }
                    ::DisconnectNamedPipe(hPipe);
                    continue;
                }
            } else if (err != ERROR_PIPE_CONNECTED && err != ERROR_NO_DATA) {
                ::DisconnectNamedPipe(hPipe);
                if (::WaitForSingleObject(m_hStop, 10) == WAIT_OBJECT_0) {
                    break;
                }
                continue;
            }
        }

        std::vector<uint8_t> raw;
        std::vector<DWORD> pieces;
        DWORD pieceSoFar = 0; // bytes of a piece larger than the buffer
        bool stopped = false;
        for (;;) {
            ::ResetEvent(ov.hEvent);
            bytes = 0;
            BOOL ok = ::ReadFile(hPipe, buffer.data(), static_cast<DWORD>(buffer.size()), &bytes, &ov);
            err = ok ? ERROR_SUCCESS : ::GetLastError();
            if (!ok && err == ERROR_IO_PENDING) {
                if (!Await(hPipe, ov, m_hStop, bytes, err) && err == ERROR_OPERATION_ABORTED) {
                    stopped = true;
                    break;
                }
            } else if (!ok && err == ERROR_MORE_DATA) {
                ::GetOverlappedResult(hPipe, &ov, &bytes, FALSE);
            }
            if (err != ERROR_SUCCESS && err != ERROR_MORE_DATA) {
                break; // ERROR_BROKEN_PIPE: the writer closed its end
            }
            raw.insert(raw.end(), buffer.begin(), buffer.begin() + bytes);
            pieceSoFar += bytes;
            if (err == ERROR_SUCCESS) {
                pieces.push_back(pieceSoFar);
                pieceSoFar = 0;
            }
        }
        ::DisconnectNamedPipe(hPipe);
        if (!raw.empty()) {
            LogRecord rec = DecodeLogRecord(raw);
            rec.pieceSizes = pieces;
            if (m_callback) {
                m_callback(rec);
            }
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_records.push_back(std::move(rec));
            }
            m_cv.notify_all();
        }
        if (stopped) {
            break;
        }
    }
    ::CloseHandle(ov.hEvent);
    ::CloseHandle(hPipe);
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
    SECURITY_DESCRIPTOR sd;
    ::InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES sa = {sizeof(sa), &sd, FALSE};
    m_hMapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, 4, L"Global\\log_level_map_file");
    if (m_hMapping != nullptr) {
        m_pWord = static_cast<volatile uint32_t*>(::MapViewOfFile(m_hMapping, FILE_MAP_ALL_ACCESS, 0, 0, 4));
    }
}

LevelMapPublisher::~LevelMapPublisher()
{
    if (m_pWord != nullptr) {
        ::UnmapViewOfFile(const_cast<uint32_t*>(m_pWord));
    }
    if (m_hMapping != nullptr) {
        ::CloseHandle(m_hMapping);
    }
}

void LevelMapPublisher::SetWord(uint32_t word)
{
    if (m_pWord != nullptr) {
        *m_pWord = word;
    }
}

} // namespace standin
