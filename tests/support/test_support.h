// Helpers shared by the tests: log capture, child processes, temporary files.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "log_sink.h"

namespace testing_support {

// Captures the records this process (and its children) send to the log server.
class LogCapture {
public:
    explicit LogCapture(unsigned instances = 8);
    ~LogCapture();

    bool Started() const { return m_bStarted; }
    std::vector<standin::LogRecord> Records() const { return m_sink.Records(); }
    void Clear() { m_sink.Clear(); }

    // Waits until a record with this level and line (and text containing
    // `fragment` when given) has arrived.
    bool WaitFor(int level, int line, const std::wstring& fragment = L"", DWORD timeoutMs = 3000) const;
    // Waits until the number of records stays the same for `quietMs`.
    void Settle(DWORD quietMs = 100) const;
    // Records matching level/line/fragment (after Settle).
    std::vector<standin::LogRecord> Matching(int level, int line, const std::wstring& fragment = L"") const;
    // Texts of all records in arrival order, one per line (for failure messages).
    std::string Dump() const;

private:
    standin::LogSink m_sink;
    bool m_bStarted;
};

struct ProcessResult {
    bool started = false;
    bool timedOut = false;
    DWORD exitCode = 0;
    std::string output; // standard output
    DWORD elapsedMs = 0;
};

// Runs `commandLine` (program path first), capturing standard output.
ProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs = 60000);

// Folder of the running test program (where the build puts every binary).
std::wstring BinDir();

// A fresh folder under the temporary folder, removed with its content.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::wstring& Path() const { return m_path; }
    std::wstring File(const std::wstring& name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
};

// A name unique to this process and call, for registry keys and pipes.
std::wstring UniqueName(const std::wstring& prefix);

std::string Narrow(const std::wstring& w);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
std::string ReadFileBytes(const std::wstring& path);

// Number of handles the process holds now.
DWORD ProcessHandleCount();

} // namespace testing_support
