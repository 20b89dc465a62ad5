// Quarn32 pattern files: binary layout, validation and writing (see docs/pattern-format.md).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quarn32 {

constexpr char kPatternMagic[4] = {'Q', 'N', 'P', 'T'};
constexpr uint16_t kPatternFormatVersion = 1;
constexpr uint32_t kHeaderSize = 32;
constexpr uint32_t kRecordSize = 24;
constexpr size_t kNameFieldSize = 17;
constexpr size_t kMaxNameBytes = kNameFieldSize - 1;
constexpr uint32_t kMaxMajorTypes = 65535;
constexpr uint32_t kMaxExtListBytes = 4095; // without the terminator
constexpr uint32_t kMaxPatternFileBytes = kHeaderSize + kMaxMajorTypes * kRecordSize + kMaxExtListBytes + 1;

struct MajorType {
    uint16_t firstAction = 0;
    uint16_t secondAction = 0;
    std::string name; // 1..16 bytes, ANSI, no control characters
};

struct Pattern {
    uint32_t patternNumber = 0;
    std::vector<MajorType> types;
    std::string extList; // at most kMaxExtListBytes, no control characters
};

// CRC-32 (IEEE 802.3, reflected, polynomial 0xEDB88320); pass the previous value to continue.
uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc = 0);

// Validates a whole pattern file image. Returns QN_OK and fills `out`, or a QN_E_* code and
// leaves `out` unchanged. Never reads outside [data, data + size).
int32_t ParsePattern(const uint8_t* data, size_t size, Pattern* out);

// Checks a pattern against the limits of the format; on failure `error` says why.
bool ValidatePattern(const Pattern& pattern, std::string* error);

// Writes a pattern file image. False (with `error`) when the pattern breaks the limits.
bool SerializePattern(const Pattern& pattern, std::vector<uint8_t>* out, std::string* error);

// Recomputes the CRC of a file image in place (for building test files); false when it is too
// short to carry a header.
bool FixPatternCrc(std::vector<uint8_t>* image);

// Short symbolic name of a QN_* result ("QN_E_BAD_CRC"), "unknown" for others.
const char* ResultName(int32_t result);

} // namespace quarn32
