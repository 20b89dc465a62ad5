// A buffer that ends exactly where an inaccessible page begins: one byte read
// or written past its end faults at once.
#pragma once

#include <windows.h>

#include <cstring>
#include <vector>

namespace testing_support {

class GuardedBuffer {
public:
    // Room for cb bytes; Data() is null when the pages could not be had.
    explicit GuardedBuffer(size_t cb) : m_cb(cb)
    {
        SYSTEM_INFO si = {};
        ::GetSystemInfo(&si);
        const size_t page = si.dwPageSize;
        const size_t cbData = (cb + page - 1) / page * page;
        BYTE* pBase = static_cast<BYTE*>(::VirtualAlloc(nullptr, cbData + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD dwOldProtect = 0;
        if (pBase != nullptr && ::VirtualProtect(pBase + cbData, page, PAGE_NOACCESS, &dwOldProtect)) {
            m_pBase = pBase;
            m_pEnd = pBase + cbData;
        } else if (pBase != nullptr) {
            ::VirtualFree(pBase, 0, MEM_RELEASE);
        }
    }
    ~GuardedBuffer()
    {
        if (m_pBase != nullptr) {
            ::VirtualFree(m_pBase, 0, MEM_RELEASE);
        }
    }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    void* Data() const { return m_pEnd != nullptr ? m_pEnd - m_cb : nullptr; }
    size_t Size() const { return m_cb; }

    // Copies data of at most Size() bytes so that its last byte is the last
    // one before the guard page, and returns where it begins.
    const BYTE* Place(const std::vector<BYTE>& data)
    {
        BYTE* p = m_pEnd - data.size();
        if (!data.empty()) {
            std::memcpy(p, data.data(), data.size());
        }
        return p;
    }

private:
    size_t m_cb;
    BYTE* m_pBase = nullptr;
    BYTE* m_pEnd = nullptr;
};

} // namespace testing_support
