// Security: local-only reply pipes without an access list, identification-only pipe clients,
// buffers that are never run past, and the stack and buffer checks of the build.
#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/component_lookup.h"
#include "app/manager_requests.h"
#include "log/debug_log.h"
#include "pipe/cmd_protocol.h"
#include "pipe/pipe_client.h"
#include "pipe/pipe_server.h"
#include "pipe/pipe_util.h"
#include "reliability_support.h"

using namespace reliability;
using testing_support::LogCapture;
using testing_support::UniqueName;
using UTIL::UniqueHandle;

namespace {

// ---------------------------------------------------------------------------------------------
// What the program passes to CreateNamedPipeW and CreateFileW, seen through its own import table.

struct PipeCreation {
    std::wstring path;
    DWORD openMode, pipeMode, maxInstances, outBuffer, inBuffer, timeout;
    bool hasAttributes, daclPresent, daclNull;
};
struct PipeOpen {
    std::wstring path;
    DWORD access, share, flags;
};

std::mutex g_seenLock;
std::vector<PipeCreation> g_created;
std::vector<PipeOpen> g_opened;
void* g_realCreateNamedPipe = nullptr;
void* g_realCreateFile = nullptr;

HANDLE WINAPI RecordingCreateNamedPipeW(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD maxInstances,
                                        DWORD outBuffer, DWORD inBuffer, DWORD timeout, LPSECURITY_ATTRIBUTES sa)
{
    PipeCreation c = {name != nullptr ? name : L"", openMode, pipeMode, maxInstances, outBuffer, inBuffer, timeout,
                      sa != nullptr, false, false};
    if (sa != nullptr && sa->lpSecurityDescriptor != nullptr) {
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        if (::GetSecurityDescriptorDacl(sa->lpSecurityDescriptor, &present, &dacl, &defaulted)) {
            c.daclPresent = present != FALSE;
            c.daclNull = dacl == nullptr;
        }
    }
    {
        std::lock_guard<std::mutex> lock(g_seenLock);
        g_created.push_back(c);
    }
    return reinterpret_cast<decltype(&::CreateNamedPipeW)>(g_realCreateNamedPipe)(name, openMode, pipeMode, maxInstances,
                                                                                 outBuffer, inBuffer, timeout, sa);
}

HANDLE WINAPI RecordingCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                                   DWORD flags, HANDLE hTemplate)
{
    if (name != nullptr && wcsncmp(name, L"\\\\.\\pipe\\", 9) == 0) {
        std::lock_guard<std::mutex> lock(g_seenLock);
        g_opened.push_back({name, access, share, flags});
    }
    return reinterpret_cast<decltype(&::CreateFileW)>(g_realCreateFile)(name, access, share, sa, disposition, flags,
                                                                       hTemplate);
}

std::vector<PipeCreation> CreatedPipes(const std::wstring& path)
{
    std::lock_guard<std::mutex> lock(g_seenLock);
    std::vector<PipeCreation> out;
    for (const auto& c : g_created) {
        if (c.path == path) {
            out.push_back(c);
        }
    }
    return out;
}

std::vector<PipeOpen> OpenedPipes(const std::wstring& path)
{
    std::lock_guard<std::mutex> lock(g_seenLock);
    std::vector<PipeOpen> out;
    for (const auto& o : g_opened) {
        if (o.path == path) {
            out.push_back(o);
        }
    }
    return out;
}

void ExpectReplyPipeProperties(const PipeCreation& c)
{
    EXPECT_EQ(static_cast<DWORD>(PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED), c.openMode);
    EXPECT_EQ(static_cast<DWORD>(PIPE_REJECT_REMOTE_CLIENTS), c.pipeMode & PIPE_REJECT_REMOTE_CLIENTS)
        << "remote clients are refused";
    EXPECT_EQ(static_cast<DWORD>(PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_REJECT_REMOTE_CLIENTS | PIPE_WAIT),
              c.pipeMode);
    EXPECT_EQ(1u, c.maxInstances);
    EXPECT_EQ(1024u, c.outBuffer);
    EXPECT_EQ(1024u, c.inBuffer);
    EXPECT_EQ(1000u, c.timeout);
    EXPECT_TRUE(c.hasAttributes);
    EXPECT_TRUE(c.daclPresent && c.daclNull) << "a present but null access list";
}

class HookedPipeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_createPipe.Installed());
        ASSERT_TRUE(m_createFile.Installed());
        g_realCreateNamedPipe = m_createPipe.Original();
        g_realCreateFile = m_createFile.Original();
        std::lock_guard<std::mutex> lock(g_seenLock);
        g_created.clear();
        g_opened.clear();
    }

    ImportHook m_createPipe{"kernel32.dll", "CreateNamedPipeW", reinterpret_cast<void*>(&RecordingCreateNamedPipeW)};
    ImportHook m_createFile{"kernel32.dll", "CreateFileW", reinterpret_cast<void*>(&RecordingCreateFileW)};
};

TEST_F(HookedPipeTest, ReplyPipesRefuseRemoteClientsAndCarryANullAccessList)
{
    // Wine has no network pipes, so a remote client cannot be shown being refused; what the
    // program asks of the system is checked instead, on both ways a reply pipe is made.
    const std::wstring name = UniqueName(L"kiv_sec_reply");
    {
        CPipeServer server;
        ASSERT_TRUE(server.Initial(name.c_str(), nullptr));
    }
    const auto direct = CreatedPipes(L"\\\\.\\pipe\\" + name);
    ASSERT_EQ(1u, direct.size());
    ExpectReplyPipeProperties(direct[0]);

    ProductSetup product;
    FakeManager manager(FakeManager::Reply::Answer);
    ASSERT_TRUE(manager.Listening());
    EXPECT_TRUE(RequestComponentDownload(L"SecComp", L"1"));
    manager.Stop();
    const auto requests = manager.Requests();
    ASSERT_EQ(1u, requests.size());
    const auto viaRequest = CreatedPipes(L"\\\\.\\pipe\\" + requests[0].id);
    ASSERT_EQ(1u, viaRequest.size()) << "one reply pipe per request";
    ExpectReplyPipeProperties(viaRequest[0]);
}

TEST_F(HookedPipeTest, ClientsLetServersIdentifyButNotImpersonateThem)
{
    LogCapture capture;
    ASSERT_TRUE(capture.Started());
    ProductSetup product;
    FakeManager manager(FakeManager::Reply::Answer);
    ASSERT_TRUE(manager.Listening());
    EXPECT_TRUE(DebugLogW(LOG_LEVEL_ERROR, L"reliability", 1, L"%s - identify me", L"Test"));
    EXPECT_TRUE(RequestComponentInstall(L"SecComp", L"1"));

    // A plain client, for comparison: without quality-of-service flags the server may impersonate it.
    const std::wstring managerPath = std::wstring(L"\\\\.\\pipe\\") + kManagerCommandPipeName;
    {
        UniqueHandle plain;
        for (int attempt = 0; attempt < 50 && !plain.IsValid(); ++attempt) {
            ASSERT_TRUE(WaitForPipe(kManagerCommandPipeName, 3000)); // the manager serves one client at a time
            plain.Reset(::CreateFileW(managerPath.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        }
        ASSERT_TRUE(plain.IsValid()) << ::GetLastError();
        CCmdProtocol cmd;
        cmd.Append(kCmdComponentDownload).Append(L"plain_client_reply").Append(L"SecComp").Append(L"1");
        DWORD done = 0;
        ASSERT_TRUE(::WriteFile(plain.Get(), cmd.Data(), static_cast<DWORD>(cmd.Length() * 2), &done, nullptr));
    }
    ASSERT_TRUE(WaitForPipe(kManagerCommandPipeName, 3000));
    manager.Stop();

    const DWORD kLevelBits = SECURITY_IDENTIFICATION | SECURITY_IMPERSONATION | SECURITY_DELEGATION;
    for (const std::wstring& path : {std::wstring(L"\\\\.\\pipe\\") + kLogServerPipeName, managerPath}) {
        SCOPED_TRACE(testing_support::Narrow(path));
        const auto opens = OpenedPipes(path);
        ASSERT_FALSE(opens.empty());
        const PipeOpen& o = opens.front();
        EXPECT_EQ(static_cast<DWORD>(GENERIC_WRITE), o.access);
        EXPECT_EQ(0u, o.share);
        EXPECT_EQ(static_cast<DWORD>(SECURITY_SQOS_PRESENT), o.flags & SECURITY_SQOS_PRESENT);
        EXPECT_EQ(static_cast<DWORD>(SECURITY_IDENTIFICATION), o.flags & kLevelBits);
        EXPECT_EQ(0u, o.flags & (SECURITY_CONTEXT_TRACKING | SECURITY_EFFECTIVE_ONLY));
    }

    // What the server itself sees.
    const auto requests = manager.Requests();
    ASSERT_EQ(2u, requests.size());
    ASSERT_TRUE(requests[0].levelRead && requests[1].levelRead);
    const SECURITY_IMPERSONATION_LEVEL ours = requests[0].level;
    const SECURITY_IMPERSONATION_LEVEL plain = requests[1].level;
    std::printf("impersonation level seen by the manager: program %d, plain client %d\n", ours, plain);
    if (ours == plain) {
        // Wine grants every pipe client's token at SecurityImpersonation whatever it asked for.
        RecordProperty("impersonation_level_check", "not distinguished by this platform; flags checked above");
    } else {
        EXPECT_EQ(SecurityIdentification, ours);
    }
}

// ---------------------------------------------------------------------------------------------
// Buffers handed to the program that end at an inaccessible page: one byte read or written past
// their end stops the test process.

TEST(GuardedBufferTest, ProductFolderFillsItsBufferToTheLastCharacterAndNoFurther)
{
    ProductSetup product;
    GuardedBuffer buffer(MAX_PATH * sizeof(wchar_t));
    ASSERT_NE(nullptr, buffer.Data());
    auto& path = *static_cast<wchar_t(*)[MAX_PATH]>(buffer.Data());
    const std::wstring longest = L"C:\\" + std::wstring(256, L'p'); // 259 characters
    product.SetLocalPath(longest);
    ASSERT_TRUE(GetQuellguardServerPath(path));
    EXPECT_EQ(longest, std::wstring(path));
    EXPECT_EQ(L'\0', path[MAX_PATH - 1]);
    for (size_t len : {260u, 520u, 4000u}) {
        product.SetLocalPath(std::wstring(len, L'q'));
        wmemset(path, L'u', MAX_PATH);
        EXPECT_FALSE(GetQuellguardServerPath(path));
        EXPECT_EQ(L'u', path[MAX_PATH - 1]) << "left untouched";
    }
}

TEST(GuardedBufferTest, PipeServerReadsFillTheCallersRoomAndNoMore)
{
    const std::wstring name = UniqueName(L"kiv_sec_read");
    CPipeServer server;
    ASSERT_TRUE(server.Initial(name.c_str(), nullptr));
    server.SetReadTimeout(5000);
    const std::vector<size_t> sizes = {1, 2045, 2046, 2047, 3000, 5000};
    std::thread client([&] {
        const std::wstring path = L"\\\\.\\pipe\\" + name;
        ASSERT_TRUE(::WaitNamedPipeW(path.c_str(), 5000));
        UniqueHandle pipe(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(pipe.IsValid());
        for (size_t size : sizes) {
            std::vector<char> message(size, static_cast<char>('a' + size % 26));
            DWORD done = 0;
            ASSERT_TRUE(::WriteFile(pipe.Get(), message.data(), static_cast<DWORD>(size), &done, nullptr));
        }
    });
    for (DWORD room : {2046u, 2045u, 1u}) {
        SCOPED_TRACE(room);
        GuardedBuffer buffer(room);
        ASSERT_NE(nullptr, buffer.Data());
        // Read the first messages with this room, each one whole, however many parts it takes.
        const size_t first = room == 2046u ? 0 : room == 2045u ? 3 : 5;
        const size_t last = room == 2046u ? 3 : room == 2045u ? 5 : 6;
        for (size_t m = first; m < last; ++m) {
            size_t received = 0;
            while (received < sizes[m]) {
                DWORD bytes = room;
                ASSERT_TRUE(server.Read(buffer.Data(), &bytes)) << ::GetLastError();
                ASSERT_LE(bytes, room);
                received += bytes;
            }
            EXPECT_EQ(sizes[m], received);
        }
    }
    client.join();
}

TEST(GuardedBufferTest, PipeClientAndForwarderReadTheirInputToItsEndAndNoFurther)
{
    LogCapture capture;
    ASSERT_TRUE(capture.Started());
    // A message that ends exactly at the page end, sent in 1024-byte pieces.
    GuardedBuffer message(5000);
    memset(message.Data(), 'm', message.Size());
    CPipeClient client;
    ASSERT_TRUE(client.Initial(kLogServerPipeName));
    DWORD count = static_cast<DWORD>(message.Size());
    EXPECT_TRUE(client.Send(message.Data(), &count));
    EXPECT_EQ(5000u, count);
    client.Close();

    // Texts whose terminator is the last character before the guard page.
    const size_t chars = 3000;
    GuardedBuffer file(chars * sizeof(wchar_t));
    GuardedBuffer text(chars * sizeof(wchar_t));
    wchar_t* pFile = static_cast<wchar_t*>(file.Data());
    wchar_t* pText = static_cast<wchar_t*>(text.Data());
    wmemset(pFile, L'f', chars - 1);
    pFile[chars - 1] = L'\0';
    wmemset(pText, L't', chars - 1);
    pText[chars - 1] = L'\0';
    EXPECT_TRUE(SendLogRecordW(1, 2, 3, 68, pFile, 4, pText));
    // The same text as an argument of a record too long for the log's own buffer: cut, not run past.
    EXPECT_TRUE(DebugLogW(LOG_LEVEL_ERROR, pFile, 5, L"%s - %s%s", L"Test", pText, pText));
    EXPECT_TRUE(capture.WaitFor(68, 4, std::wstring(100, L't')));
    ASSERT_TRUE(capture.WaitFor(LOG_LEVEL_ERROR, 5, L"Test - ttt"));
    const auto cut = capture.Matching(LOG_LEVEL_ERROR, 5);
    ASSERT_EQ(1u, cut.size());
    EXPECT_EQ(4095u, cut[0].text.size());
}

// ---------------------------------------------------------------------------------------------
// The build's stack protector and buffer checks: they work in this tool chain, and the program
// is built with them.

TEST(HardeningTest, StackAndBufferChecksStopOverflowsInCodeBuiltLikeTheProgram)
{
    QuietCrashes();
    for (const wchar_t* kind : {L"stack", L"memcpy", L"wmemcpy", L"strcpy"}) {
        SCOPED_TRACE(testing_support::Narrow(kind));
        const std::wstring helper = L"\"" + testing_support::BinDir() + L"\\ReliabilityHelper.exe\" overflow ";
        const auto fits = testing_support::RunProcess(helper + kind + L" 8", 20000);
        EXPECT_EQ(0u, fits.exitCode);
        EXPECT_NE(std::string::npos, fits.output.find("survived"));
        const auto overflows = testing_support::RunProcess(helper + kind + L" 100", 20000);
        EXPECT_FALSE(overflows.timedOut);
        EXPECT_EQ(std::string::npos, overflows.output.find("survived")) << "the overflow went unnoticed";
        EXPECT_NE(0u, overflows.exitCode);
        EXPECT_NE(2u, overflows.exitCode);
        std::printf("%s overflow stopped with exit code 0x%08lX\n", testing_support::Narrow(kind).c_str(),
                    overflows.exitCode);
    }
}

// Direct calls (E8 rel32) from the program's code to a function named in its symbol table.
size_t CountCallsTo(const std::string& image, const char* symbol)
{
    auto at = [&](size_t offset, size_t size) -> const uint8_t* {
        return offset <= image.size() && size <= image.size() - offset
                   ? reinterpret_cast<const uint8_t*>(image.data()) + offset
                   : nullptr;
    };
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(at(0, sizeof(IMAGE_DOS_HEADER)));
    if (dos == nullptr) {
        return 0;
    }
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(at(dos->e_lfanew, sizeof(IMAGE_NT_HEADERS32)));
    if (nt == nullptr || nt->FileHeader.PointerToSymbolTable == 0) {
        return 0;
    }
    const auto* sections = reinterpret_cast<const IMAGE_SECTION_HEADER*>(
        at(dos->e_lfanew + offsetof(IMAGE_NT_HEADERS32, OptionalHeader) + nt->FileHeader.SizeOfOptionalHeader,
           nt->FileHeader.NumberOfSections * sizeof(IMAGE_SECTION_HEADER)));
    const size_t symbols = nt->FileHeader.PointerToSymbolTable;
    const size_t count = nt->FileHeader.NumberOfSymbols;
    const size_t strings = symbols + count * 18;
    if (sections == nullptr || at(symbols, count * 18) == nullptr) {
        return 0;
    }
    DWORD target = 0;
    for (size_t i = 0; i < count && target == 0; ++i) {
        const uint8_t* s = at(symbols + i * 18, 18);
        std::string name;
        if (*reinterpret_cast<const DWORD*>(s) == 0) {
            const uint8_t* p = at(strings + *reinterpret_cast<const DWORD*>(s + 4), 1);
            name = p != nullptr ? reinterpret_cast<const char*>(p) : "";
        } else {
            name.assign(reinterpret_cast<const char*>(s), strnlen(reinterpret_cast<const char*>(s), 8));
        }
        const short section = *reinterpret_cast<const short*>(s + 12);
        if (name == symbol && section > 0 && section <= nt->FileHeader.NumberOfSections) {
            target = sections[section - 1].VirtualAddress + *reinterpret_cast<const DWORD*>(s + 8);
        }
        i += s[17]; // auxiliary records
    }
    size_t calls = 0;
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections && target != 0; ++i) {
        const IMAGE_SECTION_HEADER& sec = sections[i];
        const uint8_t* code = at(sec.PointerToRawData, sec.SizeOfRawData);
        if ((sec.Characteristics & IMAGE_SCN_CNT_CODE) == 0 || code == nullptr) {
            continue;
        }
        for (size_t p = 0; p + 5 <= sec.SizeOfRawData; ++p) {
            if (code[p] == 0xE8) {
                const int32_t rel = *reinterpret_cast<const int32_t*>(code + p + 1);
                calls += sec.VirtualAddress + p + 5 + rel == target;
            }
        }
    }
    return calls;
}

TEST(HardeningTest, ProgramCallsTheStackAndBufferChecks)
{
    // A release build ships the program stripped and keeps the full image beside it.
    std::string image = testing_support::ReadFileBytes(testing_support::BinDir() + L"\\KivProxy.exe.debug");
    if (image.empty()) {
        image = testing_support::ReadFileBytes(testing_support::BinDir() + L"\\KivProxy.exe");
    }
    ASSERT_FALSE(image.empty());
    const size_t stackChecks = CountCallsTo(image, "___stack_chk_fail");
    const size_t copyChecks = CountCallsTo(image, "___memcpy_chk");
    std::printf("KivProxy.exe: %zu calls to the stack check, %zu checked copies\n", stackChecks, copyChecks);
    EXPECT_GE(stackChecks, 50u) << "built with -fstack-protector-strong";
    EXPECT_GE(copyChecks, 1u) << "built with -D_FORTIFY_SOURCE=2";
}

} // namespace
