// Readable pattern descriptions: parsing and formatting.
#include "pattern_text.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace quarn32 {

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string Trim(const std::string& s)
{
    size_t begin = 0;
    size_t end = s.size();
    while (begin < end && IsBlank(s[begin])) {
        ++begin;
    }
    while (end > begin && IsBlank(s[end - 1])) {
        --end;
    }
    return s.substr(begin, end - begin);
}

// Takes the next blank-separated token (or a "quoted" one) off the front of `rest`.
bool NextToken(std::string* rest, std::string* token, std::string* why)
{
    std::string& s = *rest;
    size_t i = 0;
    while (i < s.size() && IsBlank(s[i])) {
        ++i;
    }
    if (i == s.size()) {
        *why = "missing field";
        return false;
    }
    size_t end;
    if (s[i] == '"') {
        const size_t close = s.find('"', i + 1);
        if (close == std::string::npos) {
            *why = "unterminated quoted name";
            return false;
        }
        *token = s.substr(i + 1, close - i - 1);
        end = close + 1;
        if (end < s.size() && !IsBlank(s[end])) {
            *why = "blank expected after quoted name";
            return false;
        }
    } else {
        end = i;
        while (end < s.size() && !IsBlank(s[end])) {
            ++end;
        }
        *token = s.substr(i, end - i);
    }
    s.erase(0, end);
    return true;
}

bool ParseUnsigned(const std::string& token, unsigned long maxValue, unsigned long* value, std::string* why)
{
    if (token.empty() || token.find_first_not_of("0123456789") != std::string::npos) {
        *why = "\"" + token + "\" is not a decimal number";
        return false;
    }
    errno = 0;
    const unsigned long long v = std::strtoull(token.c_str(), nullptr, 10);
    if (errno == ERANGE || v > maxValue) {
        *why = token + " is larger than " + std::to_string(maxValue);
        return false;
    }
    *value = static_cast<unsigned long>(v);
    return true;
}

bool CheckName(const std::string& name, std::string* why)
{
    if (name.empty() || name.size() > kMaxNameBytes) {
        *why = "name \"" + name + "\" must be 1 to " + std::to_string(kMaxNameBytes) + " bytes";
        return false;
    }
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) {
            *why = "name holds a control character";
            return false;
        }
    }
    return true;
}

bool ParseLine(const std::string& line, Pattern* pattern, bool* sawNumber, bool* sawExtList, std::string* why)
{
    std::string rest = line;
    std::string keyword;
    if (!NextToken(&rest, &keyword, why)) {
        return false;
    }
    if (keyword == "number") {
        std::string token;
        unsigned long value = 0;
        if (*sawNumber) {
            *why = "second \"number\" line";
            return false;
        }
        if (!NextToken(&rest, &token, why) || !ParseUnsigned(token, 0xFFFFFFFFul, &value, why)) {
            return false;
        }
        pattern->patternNumber = static_cast<uint32_t>(value);
        *sawNumber = true;
    } else if (keyword == "type") {
        MajorType type;
        std::string first;
        std::string second;
        unsigned long a1 = 0;
        unsigned long a2 = 0;
        if (!NextToken(&rest, &type.name, why) || !CheckName(type.name, why) || !NextToken(&rest, &first, why) ||
            !ParseUnsigned(first, 0xFFFF, &a1, why) || !NextToken(&rest, &second, why) ||
            !ParseUnsigned(second, 0xFFFF, &a2, why)) {
            return false;
        }
        if (pattern->types.size() >= kMaxMajorTypes) {
            *why = "more than " + std::to_string(kMaxMajorTypes) + " major types";
            return false;
        }
        type.firstAction = static_cast<uint16_t>(a1);
        type.secondAction = static_cast<uint16_t>(a2);
        pattern->types.push_back(std::move(type));
        rest = Trim(rest);
    } else if (keyword == "extlist") {
        if (*sawExtList) {
            *why = "second \"extlist\" line";
            return false;
        }
        pattern->extList = Trim(rest);
        rest.clear();
        *sawExtList = true;
        std::string check;
        Pattern probe;
        probe.extList = pattern->extList;
        if (!ValidatePattern(probe, &check)) {
            *why = check;
            return false;
        }
    } else {
        *why = "unknown keyword \"" + keyword + "\"";
        return false;
    }
    if (!Trim(rest).empty()) {
        *why = "unexpected text \"" + Trim(rest) + "\"";
        return false;
    }
    return true;
}

} // namespace

bool ParseDescription(const std::string& text, Pattern* out, std::string* error)
{
    Pattern pattern;
    bool sawNumber = false;
    bool sawExtList = false;
    size_t lineNumber = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) {
            eol = text.size();
        }
        std::string line = text.substr(pos, eol - pos);
        pos = eol + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::string trimmed = Trim(line);
        if (trimmed.empty() || trimmed[0] == '#') {
            continue;
        }
        std::string why;
        if (!ParseLine(trimmed, &pattern, &sawNumber, &sawExtList, &why)) {
            if (error != nullptr) {
                *error = "line " + std::to_string(lineNumber) + ": " + why;
            }
            return false;
        }
    }
    *out = std::move(pattern);
    return true;
}

std::string FormatDescription(const Pattern& pattern)
{
    std::ostringstream s;
    s << "# Quarn32 pattern, format " << kPatternFormatVersion << ", " << pattern.types.size() << " major types\n";
    s << "number " << pattern.patternNumber << "\n";
    for (const MajorType& type : pattern.types) {
        const bool quote = type.name.empty() || type.name.find_first_of(" \t") != std::string::npos ||
                           type.name[0] == '"';
        s << "type ";
        if (quote) {
            s << '"' << type.name << '"';
        } else {
            s << type.name;
        }
        s << ' ' << type.firstAction << ' ' << type.secondAction << "\n";
    }
    s << "extlist " << pattern.extList << "\n";
    return s.str();
}

} // namespace quarn32
