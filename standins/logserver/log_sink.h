// Log server stand-in: serves "Log_ServerNamePipe" and decodes LOG_WRITE records.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/unique_resource.h"
#include "pipe_serving.h"

namespace standin {

struct LogRecord {
    std::wstring command; // "LOG_WRITE" for a well-formed record
    int32_t time = 0;
    uint32_t pid = 0;
    uint32_t tid = 0;
    int32_t level = 0;
    std::wstring file;
    int32_t line = 0;
    std::wstring text;
    size_t fieldCount = 0;          // fields found (8 for LOG_WRITE)
    std::vector<uint8_t> raw;       // the bytes as received, pieces joined
    std::vector<DWORD> pieceSizes;  // size of every pipe message of the record
};

// Splits a received message into a record (tolerant of malformed input).
LogRecord DecodeLogRecord(const PipeMessage& message);

// One readable line: "2026-12-08 06:50:04Z pid=.. tid=.. E(69) file:line text".
std::wstring FormatLogRecord(const LogRecord& rec);

// Serves the pipe with `instances` instances, one thread each; every
// connection carries one record. Records are kept and passed to the callback.
class LogSink {
public:
    using Callback = std::function<void(const LogRecord&)>;

    LogSink();
    ~LogSink();
    LogSink(const LogSink&) = delete;
    LogSink& operator=(const LogSink&) = delete;

    // False (with the last error set) when the pipe instances cannot be created.
    bool Start(const std::wstring& pipeName, unsigned instances, Callback callback = nullptr);
    void Stop();

    std::vector<LogRecord> Records() const;
    size_t Count() const;
    void Clear();

    // Waits until `pred` holds for the records received so far.
    bool WaitUntil(const std::function<bool(const std::vector<LogRecord>&)>& pred, DWORD timeoutMs) const;

private:
    void Receive(const PipeMessage& message);

    UTIL::UniqueHandle m_hStop;
    InboundPipeServer m_server;
    Callback m_callback;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cv;
    std::vector<LogRecord> m_records;
};

// Publishes the shared verbosity word while alive.
class LevelMapPublisher {
public:
    LevelMapPublisher();
    LevelMapPublisher(const LevelMapPublisher&) = delete;
    LevelMapPublisher& operator=(const LevelMapPublisher&) = delete;

    bool IsValid() const { return m_pWord != nullptr; }
    void SetWord(uint32_t word);
    // Filter on with this verbosity.
    void SetVerbosity(int16_t verbosity) { SetWord(0x10000u | static_cast<uint16_t>(verbosity)); }
    uint32_t Word() const { return m_pWord != nullptr ? *m_pWord : 0; }

private:
    UTIL::UniqueHandle m_mapping;
    UTIL::UniqueMappedView m_view;
    volatile uint32_t* m_pWord = nullptr;
};

} // namespace standin
