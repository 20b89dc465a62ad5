// LogServer.exe: the product's log server, played for tests and the sandbox.
//
//   LogServer.exe [--pipe NAME] [--instances N] [--verbosity V] [--file PATH]
//                 [--color] [--quiet]
//
// Prints one readable line per LOG_WRITE record it receives, optionally
// appends the same lines (UTF-8) to a file, and, with --verbosity, publishes
// the shared verbosity word (filter on) for as long as it runs. It stops when
// its standard input reaches end of file or on Ctrl-C / Ctrl-Break.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <mutex>
#include <string>

#include "common/unique_resource.h"
#include "console.h"
#include "log_sink.h"

namespace {

const char* LevelColor(int level)
{
    switch (level) {
    case 69: case 0: case 1: case 2: case 3: case 4: case 70: return "\x1b[31m"; // red
    case 87: case 5: return "\x1b[33m";                                         // yellow
    case 73: case 78: return "\x1b[36m";                                        // cyan
    default: return "\x1b[2m";                                                  // dim
    }
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    std::wstring pipe = L"Log_ServerNamePipe";
    unsigned instances = 32;
    bool haveVerbosity = false;
    int verbosity = 0;
    std::wstring file;
    bool color = false;
    bool quiet = false;
    bool watchStdin = true;
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        const bool hasNext = i + 1 < argc;
        if (a == L"--pipe" && hasNext) {
            pipe = argv[++i];
        } else if (a == L"--instances" && hasNext) {
            instances = static_cast<unsigned>(_wtoi(argv[++i]));
        } else if (a == L"--verbosity" && hasNext) {
            haveVerbosity = true;
            verbosity = _wtoi(argv[++i]);
        } else if (a == L"--file" && hasNext) {
            file = argv[++i];
        } else if (a == L"--color") {
            color = true;
        } else if (a == L"--quiet") {
            quiet = true;
        } else if (a == L"--no-stdin") {
            watchStdin = false;
        } else {
            fprintf(stderr, "usage: LogServer.exe [--pipe NAME] [--instances N] [--verbosity V] [--file PATH] "
                            "[--color] [--quiet] [--no-stdin]\n");
            return 2;
        }
    }
    if (instances == 0 || instances > 254) {
        instances = 32;
    }

    const UTIL::UniqueHandle quit(::CreateEventW(nullptr, TRUE, FALSE, nullptr));

    standin::LevelMapPublisher levelMap;
    if (haveVerbosity) {
        levelMap.SetVerbosity(static_cast<int16_t>(verbosity));
    }

    FILE* out = nullptr;
    if (!file.empty()) {
        out = _wfopen(file.c_str(), L"ab");
    }
    std::mutex printLock;
    standin::LogSink sink;
    const bool started = sink.Start(pipe, instances, [&](const standin::LogRecord& rec) {
        const std::string line = standin::ToUtf8(standin::FormatLogRecord(rec));
        std::lock_guard<std::mutex> lock(printLock);
        if (!quiet) {
            if (color) {
                printf("%s%s\x1b[0m\n", LevelColor(rec.level), line.c_str());
            } else {
                printf("%s\n", line.c_str());
            }
            fflush(stdout);
        }
        if (out != nullptr) {
            fprintf(out, "%s\n", line.c_str());
            fflush(out);
        }
    });
    if (!started) {
        fprintf(stderr, "LogServer: cannot serve the pipe, err=%lu\n", ::GetLastError());
        return 1;
    }
    fprintf(stderr, "LogServer: listening on \\\\.\\pipe\\%ls with %u instances\n", pipe.c_str(), instances);
    standin::SetEventsOnConsoleEnd({quit.Get()}, watchStdin);
    ::WaitForSingleObject(quit.Get(), INFINITE);
    sink.Stop();
    if (out != nullptr) {
        fclose(out);
    }
    return 0;
}
