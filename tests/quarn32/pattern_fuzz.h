// Deterministic mutations of pattern file images for the reader's robustness tests.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "pattern_format.h"

namespace pattern_fuzz {

// A few valid patterns of different shapes to start mutations from.
inline std::vector<std::vector<uint8_t>> SeedImages()
{
    std::vector<quarn32::Pattern> patterns(4);
    patterns[0].extList = "{*;exe;dll}";
    patterns[1].types.push_back({0, 2, "Virus"});
    patterns[1].extList = "{*;}";
    for (int i = 0; i < 12; ++i) {
        patterns[2].types.push_back({static_cast<uint16_t>(i), 25, "Type_" + std::to_string(i)});
    }
    patterns[2].extList = "{*;exe;com;scr}";
    patterns[3].types.push_back({4, 4, "ABCDEFGHIJKLMNOP"});
    std::vector<std::vector<uint8_t>> images;
    for (const auto& p : patterns) {
        std::vector<uint8_t> image;
        quarn32::SerializePattern(p, &image, nullptr);
        images.push_back(image);
    }
    return images;
}

// Changes one image: bit flips, interesting bytes, header fields, truncation or growth; then
// in half of the cases makes the CRC right again so the checks behind it are reached.
inline void Mutate(std::vector<uint8_t>* image, std::mt19937* rng)
{
    std::vector<uint8_t>& img = *image;
    auto pick = [&](size_t n) { return n == 0 ? 0 : static_cast<size_t>((*rng)() % n); };
    static const uint32_t kInteresting[] = {0, 1, 2, 0x7F, 0x80, 0xFF, 16, 17, 24, 4095, 4096, 65535, 65536,
                                            0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu};
    const int steps = 1 + static_cast<int>(pick(4));
    for (int s = 0; s < steps; ++s) {
        switch (pick(6)) {
        case 0: // flip bits
            if (!img.empty()) {
                img[pick(img.size())] ^= static_cast<uint8_t>(1u << pick(8));
            }
            break;
        case 1: // interesting byte
            if (!img.empty()) {
                img[pick(img.size())] = static_cast<uint8_t>(kInteresting[pick(16)]);
            }
            break;
        case 2: // header field
            if (img.size() >= quarn32::kHeaderSize) {
                const size_t field = 4 * pick(quarn32::kHeaderSize / 4);
                uint32_t v = kInteresting[pick(16)];
                if (pick(2) == 0) {
                    v = static_cast<uint32_t>(img.size() + pick(64)) - 32;
                }
                for (int b = 0; b < 4; ++b) {
                    img[field + b] = static_cast<uint8_t>(v >> (8 * b));
                }
            }
            break;
        case 3: // truncate
            img.resize(pick(img.size() + 1));
            break;
        case 4: // grow
            for (size_t n = 1 + pick(40); n > 0; --n) {
                img.push_back(static_cast<uint8_t>((*rng)()));
            }
            break;
        default: // overwrite a run
            if (!img.empty()) {
                const size_t at = pick(img.size());
                const size_t n = std::min(img.size() - at, 1 + pick(24));
                const uint8_t value = static_cast<uint8_t>(pick(2) == 0 ? 0 : (*rng)());
                for (size_t i = 0; i < n; ++i) {
                    img[at + i] = value;
                }
            }
            break;
        }
    }
    if (pick(2) == 0) {
        quarn32::FixPatternCrc(image);
    }
}

} // namespace pattern_fuzz
