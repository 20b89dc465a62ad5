// SignCheck.exe: would the product load this plug-in library, and if not, why?
//   SignCheck.exe [--issuer NAME] [--load] [--json] FILE...
// Exit code: 0 when every file would be loaded, 1 when any is refused, 2 for
// bad usage.
#include <windows.h>

#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "file_report.h"
#include "sign/verify_file_sign.h"

namespace {

const wchar_t kUsage[] =
    L"usage: SignCheck.exe [--issuer NAME] [--load] [--json] FILE...\n"
    L"  Tells for each FILE whether the product would load it as a plug-in library\n"
    L"  (a valid signature made by the maker) and, when not, which check refused it.\n"
    L"  --issuer NAME  the issuer named in the log and the refusal event (default: the maker)\n"
    L"  --load         really load each accepted library, then free it again\n"
    L"  --json         one JSON object per file instead of the readable report\n";

// Console output as wide text; redirected output as UTF-8.
void Print(const std::wstring& text)
{
    HANDLE hOut = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD dwMode = 0;
    DWORD dwWritten = 0;
    if (::GetConsoleMode(hOut, &dwMode)) {
        ::WriteConsoleW(hOut, text.c_str(), static_cast<DWORD>(text.size()), &dwWritten, nullptr);
        return;
    }
    const int cb = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    if (cb <= 0) {
        return;
    }
    std::string utf8(static_cast<size_t>(cb), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &utf8[0], cb, nullptr, nullptr);
    ::WriteFile(hOut, utf8.data(), static_cast<DWORD>(utf8.size()), &dwWritten, nullptr);
}

void PrintError(const std::wstring& text)
{
    fputws(text.c_str(), stderr);
    fflush(stderr);
}

std::wstring Hex(DWORD dwCode)
{
    wchar_t wsz[16] = {};
    _snwprintf(wsz, 15, L"0x%08lX", dwCode);
    return wsz;
}

// "0x80096010 TRUST_E_BAD_DIGEST"
std::wstring CodeText(DWORD dwCode)
{
    const wchar_t* pwszName = ErrorCodeName(dwCode);
    return pwszName != nullptr ? Hex(dwCode) + L" " + pwszName : Hex(dwCode);
}

std::wstring AlgorithmName(ALG_ID algId)
{
    return algId == CALG_SHA1 ? L"SHA-1" : algId == CALG_SHA_256 ? L"SHA-256" : L"unknown digest";
}

std::wstring SignatureLine(const SignatureSummary& s)
{
    std::wstring line = s.signer.empty() ? L"(no certificate)" : s.signer;
    line += L" (" + AlgorithmName(s.digestAlgorithm);
    line += s.bSignsThisFile ? L", signs this file" : L", does NOT sign this file";
    if (!s.bSignatureIntact) {
        line += L", signature broken";
    }
    return line + L")";
}

std::wstring TextReport(const FileReport& r)
{
    const wchar_t* pwszIndent = L"                ";
    std::wstring out = r.file + L"\n";
    out += L"  verdict       ";
    out += r.bLoadable ? (r.bLoaded ? L"loaded (and freed again)" : L"would be loaded") : L"refused";
    out += L"\n  code          " + CodeText(r.dwCode) + L"\n";
    if (!r.problem.empty()) {
        out += L"  problem       " + r.problem + L"\n";
    }
    if (!r.fullPath.empty() && r.fullPath != r.file) {
        out += L"  full path     " + r.fullPath + L"\n";
    }
    if (r.problem.empty() || !r.signatures.empty()) {
        if (r.signatures.empty()) {
            out += L"  signatures    none\n";
        }
        for (size_t i = 0; i < r.signatures.size(); ++i) {
            out += i == 0 ? L"  signatures    " : pwszIndent;
            out += (r.signatures[i].bNested ? L"nested:  " : L"primary: ") + SignatureLine(r.signatures[i]) + L"\n";
        }
    }
    for (size_t i = 0; i < r.decision.steps.size(); ++i) {
        const SignatureCheckStep& step = r.decision.steps[i];
        out += i == 0 ? L"  checks        " : pwszIndent;
        out += std::wstring(SignatureCheckName(step.check)) + L": ";
        out += step.bAccepted ? L"accepted" : L"refused " + CodeText(step.dwCode);
        out += L"\n";
    }
    const SignatureCheck decidedBy = r.decision.DecidedBy();
    if (decidedBy != SignatureCheck::None) {
        out += std::wstring(L"  decided by    ") + SignatureCheckName(decidedBy) + L"\n";
    }
    const SignatureCheckStep* pRefusal = r.decision.FirstRefusal();
    if (!r.bLoadable && pRefusal != nullptr) {
        out += std::wstring(L"  refused first ") + SignatureCheckName(pRefusal->check) + L", " +
               CodeText(pRefusal->dwCode) + L"\n";
    }
    out += L"  key list      ";
    if (r.keyList.path.empty()) {
        out += L"not found (no folder to look in)\n";
    } else {
        out += r.keyList.path + (r.keyList.bAccepted ? L": accepted, " + std::to_wstring(r.keyList.cKeys) + L" key(s)"
                                                     : std::wstring(L": not accepted (missing or refused)")) +
               L"\n";
    }
    if (!r.bLoadable && !r.decision.steps.empty()) {
        out += L"  record        ";
        if (r.recordPath.empty()) {
            out += L"none (the product's folders are not in the registry)\n";
        } else if (!r.bHaveRecord) {
            out += r.recordPath + L": unreadable\n";
        } else {
            out += r.recordFile + L"  " + std::to_wstring(r.recordCode) + L" (" +
                   CodeText(static_cast<DWORD>(r.recordCode)) + L")\n" + pwszIndent + L"in " + r.recordPath + L"\n";
        }
    }
    return out;
}

std::wstring JsonString(const std::wstring& text)
{
    std::wstring out = L"\"";
    for (wchar_t ch : text) {
        switch (ch) {
        case L'"':
            out += L"\\\"";
            break;
        case L'\\':
            out += L"\\\\";
            break;
        case L'\n':
            out += L"\\n";
            break;
        case L'\t':
            out += L"\\t";
            break;
        default:
            if (ch < 0x20) {
                wchar_t wsz[8] = {};
                _snwprintf(wsz, 7, L"\\u%04x", static_cast<unsigned>(ch));
                out += wsz;
            } else {
                out += ch;
            }
        }
    }
    return out + L"\"";
}

std::wstring JsonCode(DWORD dwCode)
{
    const wchar_t* pwszName = ErrorCodeName(dwCode);
    return L"{\"value\":" + std::to_wstring(dwCode) + L",\"hex\":" + JsonString(Hex(dwCode)) +
           L",\"name\":" + (pwszName != nullptr ? JsonString(pwszName) : std::wstring(L"null")) + L"}";
}

std::wstring JsonBool(bool b)
{
    return b ? L"true" : L"false";
}

std::wstring JsonReport(const FileReport& r)
{
    std::wstring out = L"{\"file\":" + JsonString(r.file);
    out += L",\"fullPath\":" + JsonString(r.fullPath);
    out += L",\"verdict\":" + JsonString(r.bLoadable ? (r.bLoaded ? L"loaded" : L"would be loaded") : L"refused");
    out += L",\"loadable\":" + JsonBool(r.bLoadable);
    out += L",\"code\":" + JsonCode(r.dwCode);
    out += L",\"problem\":" + (r.problem.empty() ? std::wstring(L"null") : JsonString(r.problem));
    out += L",\"signatures\":[";
    for (size_t i = 0; i < r.signatures.size(); ++i) {
        const SignatureSummary& s = r.signatures[i];
        out += (i ? L"," : L"") + std::wstring(L"{\"role\":") + JsonString(s.bNested ? L"nested" : L"primary") +
               L",\"signer\":" + JsonString(s.signer) + L",\"digest\":" + JsonString(AlgorithmName(s.digestAlgorithm)) +
               L",\"signsThisFile\":" + JsonBool(s.bSignsThisFile) + L",\"intact\":" + JsonBool(s.bSignatureIntact) +
               L"}";
    }
    out += L"],\"checks\":[";
    for (size_t i = 0; i < r.decision.steps.size(); ++i) {
        const SignatureCheckStep& step = r.decision.steps[i];
        out += (i ? L"," : L"") + std::wstring(L"{\"check\":") + JsonString(SignatureCheckName(step.check)) +
               L",\"accepted\":" + JsonBool(step.bAccepted) + L",\"code\":" + JsonCode(step.dwCode) + L"}";
    }
    const SignatureCheck decidedBy = r.decision.DecidedBy();
    out += L"],\"decidedBy\":" +
           (decidedBy != SignatureCheck::None ? JsonString(SignatureCheckName(decidedBy)) : std::wstring(L"null"));
    out += L",\"firstRefusal\":";
    const SignatureCheckStep* pRefusal = r.decision.FirstRefusal();
    if (!r.bLoadable && pRefusal != nullptr) {
        out += L"{\"check\":" + JsonString(SignatureCheckName(pRefusal->check)) + L",\"code\":" +
               JsonCode(pRefusal->dwCode) + L"}";
    } else {
        out += L"null";
    }
    out += L",\"keyList\":{\"path\":" + JsonString(r.keyList.path) + L",\"accepted\":" + JsonBool(r.keyList.bAccepted) +
           L",\"keys\":" + std::to_wstring(r.keyList.cKeys) + L"}";
    out += L",\"record\":";
    if (r.bHaveRecord) {
        out += L"{\"path\":" + JsonString(r.recordPath) + L",\"file\":" + JsonString(r.recordFile) + L",\"code\":" +
               JsonCode(static_cast<DWORD>(r.recordCode)) + L"}";
    } else {
        out += L"null";
    }
    return out + L"}\n";
}

int Usage(const std::wstring& problem)
{
    PrintError(L"SignCheck: " + problem + L"\n" + kUsage);
    return 2;
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    std::wstring issuer = kMakerSignerName;
    bool bLoad = false;
    bool bJson = false;
    std::vector<std::wstring> files;
    bool bOptions = true;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (bOptions && arg == L"--") {
            bOptions = false;
        } else if (bOptions && arg == L"--issuer") {
            if (i + 1 >= argc) {
                return Usage(L"--issuer needs a name");
            }
            issuer = argv[++i];
        } else if (bOptions && arg == L"--load") {
            bLoad = true;
        } else if (bOptions && arg == L"--json") {
            bJson = true;
        } else if (bOptions && (arg == L"--help" || arg == L"-h" || arg == L"/?")) {
            Print(kUsage);
            return 0;
        } else if (bOptions && arg.size() > 1 && arg[0] == L'-') {
            return Usage(L"unknown option " + arg);
        } else {
            files.push_back(arg);
        }
    }
    if (files.empty()) {
        return Usage(L"no file to check");
    }

    bool bAllLoadable = true;
    try {
        for (size_t i = 0; i < files.size(); ++i) {
            const FileReport report = CheckFile(files[i], issuer, bLoad);
            bAllLoadable = bAllLoadable && report.bLoadable;
            Print(bJson ? JsonReport(report) : (i > 0 ? L"\n" : L"") + TextReport(report));
        }
    } catch (const std::bad_alloc&) {
        PrintError(L"SignCheck: out of memory\n");
        return 1;
    }
    return bAllLoadable ? 0 : 1;
}
