// Quarn32 pattern files: binary layout, validation and writing.
#include "pattern_format.h"

#include <cstring>

#include "app/quarn32_api.h"

namespace quarn32 {

namespace {

// Header offsets.
constexpr size_t kOffMagic = 0;
constexpr size_t kOffVersion = 4;
constexpr size_t kOffHeaderSize = 6;
constexpr size_t kOffPatternNumber = 8;
constexpr size_t kOffTypeCount = 12;
constexpr size_t kOffExtListLength = 16;
constexpr size_t kOffBodySize = 20;
constexpr size_t kOffReserved = 24;
constexpr size_t kOffCrc = 28;

// Record offsets.
constexpr size_t kRecFirst = 0;
constexpr size_t kRecSecond = 2;
constexpr size_t kRecName = 4;
constexpr size_t kRecReserved = kRecName + kNameFieldSize; // 3 bytes, zero

uint16_t Get16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t Get32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

void Put16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

bool IsTextByte(uint8_t c)
{
    return c >= 0x20 && c != 0x7F;
}

bool IsText(const uint8_t* p, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        if (!IsTextByte(p[i])) {
            return false;
        }
    }
    return true;
}

// CRC over the header (without its CRC field) and the body.
uint32_t ImageCrc(const uint8_t* image, size_t bodySize)
{
    const uint32_t crc = Crc32(image, kOffCrc);
    return Crc32(image + kHeaderSize, bodySize, crc);
}

struct CrcTable {
    uint32_t entries[256];
    CrcTable()
    {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
            }
            entries[i] = c;
        }
    }
};

} // namespace

uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc)
{
    static const CrcTable table;
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) {
        crc = table.entries[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
}

int32_t ParsePattern(const uint8_t* data, size_t size, Pattern* out)
{
    if (data == nullptr || out == nullptr) {
        return QN_E_INVALID_ARG;
    }
    if (size >= sizeof(kPatternMagic) && std::memcmp(data + kOffMagic, kPatternMagic, sizeof(kPatternMagic)) != 0) {
        return QN_E_BAD_MAGIC;
    }
    if (size < kHeaderSize) {
        return QN_E_TRUNCATED;
    }
    if (Get16(data + kOffVersion) != kPatternFormatVersion) {
        return QN_E_BAD_VERSION;
    }
    if (Get16(data + kOffHeaderSize) != kHeaderSize || Get32(data + kOffReserved) != 0) {
        return QN_E_BAD_HEADER;
    }
    const uint32_t bodySize = Get32(data + kOffBodySize);
    const size_t available = size - kHeaderSize;
    if (bodySize > available) {
        return QN_E_TRUNCATED;
    }
    if (bodySize < available) {
        return QN_E_TRAILING_DATA;
    }
    if (ImageCrc(data, bodySize) != Get32(data + kOffCrc)) {
        return QN_E_BAD_CRC;
    }

    const uint32_t typeCount = Get32(data + kOffTypeCount);
    const uint32_t extListLength = Get32(data + kOffExtListLength);
    if (typeCount > kMaxMajorTypes) {
        return QN_E_BAD_COUNT;
    }
    if (extListLength > kMaxExtListBytes) {
        return QN_E_BAD_EXTLIST;
    }
    const uint64_t needed = static_cast<uint64_t>(typeCount) * kRecordSize + extListLength + 1;
    if (needed != bodySize) {
        return QN_E_BAD_COUNT;
    }

    Pattern pattern;
    pattern.patternNumber = Get32(data + kOffPatternNumber);
    pattern.types.reserve(typeCount);
    const uint8_t* record = data + kHeaderSize;
    for (uint32_t i = 0; i < typeCount; ++i, record += kRecordSize) {
        const uint8_t* name = record + kRecName;
        const void* terminator = std::memchr(name, 0, kNameFieldSize);
        if (terminator == nullptr) {
            return QN_E_BAD_NAME;
        }
        const size_t nameLength = static_cast<const uint8_t*>(terminator) - name;
        if (nameLength == 0 || !IsText(name, nameLength)) {
            return QN_E_BAD_NAME;
        }
        for (size_t k = nameLength; k < kNameFieldSize; ++k) {
            if (name[k] != 0) {
                return QN_E_BAD_NAME;
            }
        }
        if (record[kRecReserved] != 0 || record[kRecReserved + 1] != 0 || record[kRecReserved + 2] != 0) {
            return QN_E_BAD_RECORD;
        }
        MajorType type;
        type.firstAction = Get16(record + kRecFirst);
        type.secondAction = Get16(record + kRecSecond);
        type.name.assign(reinterpret_cast<const char*>(name), nameLength);
        pattern.types.push_back(std::move(type));
    }
    const uint8_t* extList = record;
    if (extList[extListLength] != 0 || !IsText(extList, extListLength)) {
        return QN_E_BAD_EXTLIST;
    }
    pattern.extList.assign(reinterpret_cast<const char*>(extList), extListLength);
    *out = std::move(pattern);
    return QN_OK;
}

bool ValidatePattern(const Pattern& pattern, std::string* error)
{
    std::string why;
    if (pattern.types.size() > kMaxMajorTypes) {
        why = "more than " + std::to_string(kMaxMajorTypes) + " major types";
    } else if (pattern.extList.size() > kMaxExtListBytes) {
        why = "extension list longer than " + std::to_string(kMaxExtListBytes) + " bytes";
    } else if (!IsText(reinterpret_cast<const uint8_t*>(pattern.extList.data()), pattern.extList.size())) {
        why = "extension list holds a control character";
    } else {
        for (const MajorType& type : pattern.types) {
            if (type.name.empty() || type.name.size() > kMaxNameBytes) {
                why = "major type name \"" + type.name + "\" is not 1 to " + std::to_string(kMaxNameBytes) + " bytes";
                break;
            }
            if (!IsText(reinterpret_cast<const uint8_t*>(type.name.data()), type.name.size())) {
                why = "major type name holds a control character";
                break;
            }
        }
    }
    if (why.empty()) {
        return true;
    }
    if (error != nullptr) {
        *error = why;
    }
    return false;
}

bool SerializePattern(const Pattern& pattern, std::vector<uint8_t>* out, std::string* error)
{
    if (!ValidatePattern(pattern, error)) {
        return false;
    }
    const uint32_t typeCount = static_cast<uint32_t>(pattern.types.size());
    const uint32_t extListLength = static_cast<uint32_t>(pattern.extList.size());
    const uint32_t bodySize = typeCount * kRecordSize + extListLength + 1;
    std::vector<uint8_t> image(kHeaderSize + bodySize, 0);
    uint8_t* p = image.data();
    std::memcpy(p + kOffMagic, kPatternMagic, sizeof(kPatternMagic));
    Put16(p + kOffVersion, kPatternFormatVersion);
    Put16(p + kOffHeaderSize, static_cast<uint16_t>(kHeaderSize));
    Put32(p + kOffPatternNumber, pattern.patternNumber);
    Put32(p + kOffTypeCount, typeCount);
    Put32(p + kOffExtListLength, extListLength);
    Put32(p + kOffBodySize, bodySize);
    uint8_t* record = p + kHeaderSize;
    for (const MajorType& type : pattern.types) {
        Put16(record + kRecFirst, type.firstAction);
        Put16(record + kRecSecond, type.secondAction);
        std::memcpy(record + kRecName, type.name.data(), type.name.size());
        record += kRecordSize;
    }
    if (extListLength != 0) {
        std::memcpy(record, pattern.extList.data(), extListLength);
    }
    Put32(p + kOffCrc, ImageCrc(p, bodySize));
    *out = std::move(image);
    return true;
}

bool FixPatternCrc(std::vector<uint8_t>* image)
{
    if (image == nullptr || image->size() < kHeaderSize) {
        return false;
    }
    uint8_t* p = image->data();
    Put32(p + kOffCrc, ImageCrc(p, image->size() - kHeaderSize));
    return true;
}

const char* ResultName(int32_t result)
{
    switch (result) {
    case QN_OK: return "QN_OK";
    case QN_E_INVALID_HANDLE: return "QN_E_INVALID_HANDLE";
    case QN_E_INVALID_ARG: return "QN_E_INVALID_ARG";
    case QN_E_NO_MEMORY: return "QN_E_NO_MEMORY";
    case QN_E_INTERNAL: return "QN_E_INTERNAL";
    case QN_E_NOT_LOADED: return "QN_E_NOT_LOADED";
    case QN_E_UNKNOWN_CONFIG: return "QN_E_UNKNOWN_CONFIG";
    case QN_E_UNKNOWN_PROPERTY: return "QN_E_UNKNOWN_PROPERTY";
    case QN_E_FILE_OPEN: return "QN_E_FILE_OPEN";
    case QN_E_FILE_READ: return "QN_E_FILE_READ";
    case QN_E_FILE_TOO_LARGE: return "QN_E_FILE_TOO_LARGE";
    case QN_E_BAD_MAGIC: return "QN_E_BAD_MAGIC";
    case QN_E_BAD_VERSION: return "QN_E_BAD_VERSION";
    case QN_E_BAD_HEADER: return "QN_E_BAD_HEADER";
    case QN_E_TRUNCATED: return "QN_E_TRUNCATED";
    case QN_E_BAD_CRC: return "QN_E_BAD_CRC";
    case QN_E_BAD_COUNT: return "QN_E_BAD_COUNT";
    case QN_E_BAD_NAME: return "QN_E_BAD_NAME";
    case QN_E_BAD_EXTLIST: return "QN_E_BAD_EXTLIST";
    case QN_E_TRAILING_DATA: return "QN_E_TRAILING_DATA";
    case QN_E_BAD_RECORD: return "QN_E_BAD_RECORD";
    default: return "unknown";
    }
}

} // namespace quarn32
