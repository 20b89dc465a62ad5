// Reads what a 32-bit PE image imports, at load time and on first use (delay-load).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pe_imports {

struct DllImports {
    std::string dll;
    std::vector<uint16_t> ordinals;
    std::vector<std::string> names;
};

// Libraries the loader binds when the image starts, with what is imported from
// each; false when the image is malformed.
bool LoadTimeImports(const std::string& image, std::vector<DllImports>* imports);

// Libraries bound on first use. Images linked by GNU ld leave the delay-import
// directory empty, so the descriptors are then found by their contents.
bool DelayImports(const std::string& image, std::vector<DllImports>* imports);

// The entry for one library (case-insensitive), or null.
const DllImports* Find(const std::vector<DllImports>& imports, const char* dll);

} // namespace pe_imports
