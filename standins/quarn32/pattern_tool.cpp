// PatternTool.exe: builds Quarn32 pattern files from readable descriptions and dumps them back.
//   PatternTool build <description.txt> <pattern.ptn>
//   PatternTool dump <pattern.ptn>
// Exit code 0 on success, 1 on a usage, input or output error (reason on standard error).
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/quarn32_api.h"
#include "pattern_format.h"
#include "pattern_text.h"

namespace {

bool ReadAll(const wchar_t* path, std::string* data)
{
    FILE* f = _wfopen(path, L"rb");
    if (f == nullptr) {
        return false;
    }
    char buf[65536];
    size_t got;
    data->clear();
    while ((got = fread(buf, 1, sizeof(buf), f)) > 0) {
        data->append(buf, got);
        if (data->size() > quarn32::kMaxPatternFileBytes * 4ull) {
            break; // far beyond anything valid; the parser reports it
        }
    }
    const bool ok = ferror(f) == 0;
    fclose(f);
    return ok;
}

bool WriteAll(const wchar_t* path, const std::vector<uint8_t>& data)
{
    FILE* f = _wfopen(path, L"wb");
    if (f == nullptr) {
        return false;
    }
    const bool written = fwrite(data.data(), 1, data.size(), f) == data.size();
    const bool closed = fclose(f) == 0;
    return written && closed;
}

int Fail(const char* what, const wchar_t* path, const std::string& why)
{
    fprintf(stderr, "PatternTool: %s %ls: %s\n", what, path, why.c_str());
    return 1;
}

int Build(const wchar_t* descriptionPath, const wchar_t* patternPath)
{
    std::string text;
    if (!ReadAll(descriptionPath, &text)) {
        return Fail("cannot read", descriptionPath, "error " + std::to_string(::GetLastError()));
    }
    quarn32::Pattern pattern;
    std::string why;
    if (!quarn32::ParseDescription(text, &pattern, &why)) {
        return Fail("invalid description", descriptionPath, why);
    }
    std::vector<uint8_t> image;
    if (!quarn32::SerializePattern(pattern, &image, &why)) {
        return Fail("invalid description", descriptionPath, why);
    }
    if (!WriteAll(patternPath, image)) {
        return Fail("cannot write", patternPath, "error " + std::to_string(::GetLastError()));
    }
    return 0;
}

int Dump(const wchar_t* patternPath)
{
    std::string data;
    if (!ReadAll(patternPath, &data)) {
        return Fail("cannot read", patternPath, "error " + std::to_string(::GetLastError()));
    }
    quarn32::Pattern pattern;
    const int32_t result =
        quarn32::ParsePattern(reinterpret_cast<const uint8_t*>(data.data()), data.size(), &pattern);
    if (result != QN_OK) {
        return Fail("invalid pattern", patternPath,
                    std::string(quarn32::ResultName(result)) + " (" + std::to_string(result) + ")");
    }
    const std::string text = quarn32::FormatDescription(pattern);
    fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    int rc;
    if (argc == 4 && wcscmp(argv[1], L"build") == 0) {
        rc = Build(argv[2], argv[3]);
    } else if (argc == 3 && wcscmp(argv[1], L"dump") == 0) {
        rc = Dump(argv[2]);
    } else {
        fprintf(stderr, "usage: PatternTool build <description> <pattern>\n"
                        "       PatternTool dump <pattern>\n");
        rc = 1;
    }
    fflush(stdout);
    fflush(stderr);
    return rc;
}
