// Reads what a 32-bit PE image imports, at load time and on first use (delay-load).
#include "pe_imports.h"

#include <windows.h>

#include <delayimp.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace pe_imports {

namespace {

class PeImage {
public:
    explicit PeImage(const std::string& image) : m_image(image) {}

    bool Parse()
    {
        const auto* dos = At<IMAGE_DOS_HEADER>(0);
        if (dos == nullptr || dos->e_magic != IMAGE_DOS_SIGNATURE) {
            return false;
        }
        m_nt = At<IMAGE_NT_HEADERS32>(static_cast<size_t>(dos->e_lfanew));
        if (m_nt == nullptr || m_nt->Signature != IMAGE_NT_SIGNATURE ||
            m_nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
            return false;
        }
        const size_t sectionsAt = static_cast<size_t>(dos->e_lfanew) + offsetof(IMAGE_NT_HEADERS32, OptionalHeader) +
                                  m_nt->FileHeader.SizeOfOptionalHeader;
        for (WORD i = 0; i < m_nt->FileHeader.NumberOfSections; ++i) {
            const auto* s = At<IMAGE_SECTION_HEADER>(sectionsAt + i * sizeof(IMAGE_SECTION_HEADER));
            if (s == nullptr) {
                return false;
            }
            m_sections.push_back(s);
        }
        return true;
    }

    const IMAGE_DATA_DIRECTORY& Directory(int index) const { return m_nt->OptionalHeader.DataDirectory[index]; }
    const std::vector<const IMAGE_SECTION_HEADER*>& Sections() const { return m_sections; }

    // File offset of an RVA, or the image size when no section holds it.
    size_t Offset(DWORD rva) const
    {
        for (const IMAGE_SECTION_HEADER* s : m_sections) {
            if (rva >= s->VirtualAddress && rva < s->VirtualAddress + std::max(s->Misc.VirtualSize, s->SizeOfRawData)) {
                return s->PointerToRawData + (rva - s->VirtualAddress);
            }
        }
        return m_image.size();
    }

    template <typename T>
    const T* At(size_t offset) const
    {
        return offset <= m_image.size() && sizeof(T) <= m_image.size() - offset
                   ? reinterpret_cast<const T*>(m_image.data() + offset)
                   : nullptr;
    }

    // The NUL-terminated text at an RVA, or null when it runs off the image.
    const char* Text(DWORD rva) const
    {
        const size_t offset = Offset(rva);
        if (offset >= m_image.size() || memchr(m_image.data() + offset, '\0', m_image.size() - offset) == nullptr) {
            return nullptr;
        }
        return m_image.data() + offset;
    }

    // Ordinals and names of a zero-ended thunk array; false when malformed.
    bool ReadThunks(DWORD rvaThunks, DllImports* entry) const
    {
        for (size_t t = Offset(rvaThunks);; t += sizeof(DWORD)) {
            const DWORD* thunk = At<DWORD>(t);
            if (thunk == nullptr) {
                return false;
            }
            if (*thunk == 0) {
                return true;
            }
            if (IMAGE_SNAP_BY_ORDINAL32(*thunk)) {
                entry->ordinals.push_back(static_cast<uint16_t>(IMAGE_ORDINAL32(*thunk)));
            } else {
                const char* name = Text(*thunk + 2); // past the hint
                entry->names.push_back(name != nullptr ? name : "?");
            }
        }
    }

private:
    const std::string& m_image;
    const IMAGE_NT_HEADERS32* m_nt = nullptr;
    std::vector<const IMAGE_SECTION_HEADER*> m_sections;
};

// A delay-load descriptor with RVAs that lead somewhere sensible.
bool LooksLikeDelayDescriptor(const PeImage& pe, const ImgDelayDescr& d)
{
    if (d.grAttrs != dlattrRva || d.rvaDLLName == 0 || d.rvaHmod == 0 || d.rvaIAT == 0 || d.rvaINT == 0) {
        return false;
    }
    const char* name = pe.Text(d.rvaDLLName);
    if (name == nullptr || name[0] == '\0' || strlen(name) > MAX_PATH) {
        return false;
    }
    for (const char* p = name; *p != '\0'; ++p) {
        if (static_cast<unsigned char>(*p) < 0x20 || static_cast<unsigned char>(*p) > 0x7e) {
            return false;
        }
    }
    return pe.At<DWORD>(pe.Offset(d.rvaINT)) != nullptr && pe.At<DWORD>(pe.Offset(d.rvaIAT)) != nullptr;
}

} // namespace

bool LoadTimeImports(const std::string& image, std::vector<DllImports>* imports)
{
    PeImage pe(image);
    if (!pe.Parse()) {
        return false;
    }
    const IMAGE_DATA_DIRECTORY& dir = pe.Directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
    if (dir.VirtualAddress == 0) {
        return true;
    }
    for (size_t off = pe.Offset(dir.VirtualAddress);; off += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto* desc = pe.At<IMAGE_IMPORT_DESCRIPTOR>(off);
        if (desc == nullptr) {
            return false;
        }
        if (desc->Name == 0) {
            return true;
        }
        const char* name = pe.Text(desc->Name);
        if (name == nullptr) {
            return false;
        }
        DllImports entry;
        entry.dll = name;
        if (!pe.ReadThunks(desc->OriginalFirstThunk != 0 ? desc->OriginalFirstThunk : desc->FirstThunk, &entry)) {
            return false;
        }
        imports->push_back(entry);
    }
}

bool DelayImports(const std::string& image, std::vector<DllImports>* imports)
{
    PeImage pe(image);
    if (!pe.Parse()) {
        return false;
    }
    std::vector<const ImgDelayDescr*> descriptors;
    const IMAGE_DATA_DIRECTORY& dir = pe.Directory(IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT);
    if (dir.VirtualAddress != 0) {
        for (size_t off = pe.Offset(dir.VirtualAddress);; off += sizeof(ImgDelayDescr)) {
            const auto* d = pe.At<ImgDelayDescr>(off);
            if (d == nullptr) {
                return false;
            }
            if (d->rvaDLLName == 0) {
                break;
            }
            descriptors.push_back(d);
        }
    } else {
        for (const IMAGE_SECTION_HEADER* s : pe.Sections()) {
            for (size_t off = s->PointerToRawData; off + sizeof(ImgDelayDescr) <= s->PointerToRawData + s->SizeOfRawData;
                 off += sizeof(DWORD)) {
                const auto* d = pe.At<ImgDelayDescr>(off);
                if (d != nullptr && LooksLikeDelayDescriptor(pe, *d)) {
                    descriptors.push_back(d);
                    off += sizeof(ImgDelayDescr) - sizeof(DWORD);
                }
            }
        }
    }
    for (const ImgDelayDescr* d : descriptors) {
        const char* name = pe.Text(d->rvaDLLName);
        if (name == nullptr) {
            return false;
        }
        DllImports entry;
        entry.dll = name;
        if (!pe.ReadThunks(d->rvaINT, &entry)) {
            return false;
        }
        imports->push_back(entry);
    }
    return true;
}

const DllImports* Find(const std::vector<DllImports>& imports, const char* dll)
{
    for (const DllImports& entry : imports) {
        if (_stricmp(entry.dll.c_str(), dll) == 0) {
            return &entry;
        }
    }
    return nullptr;
}

} // namespace pe_imports
