// Move-only owners for Windows handle kinds: release on every path by default.
#pragma once

#include <windows.h>

#include <utility>

namespace UTIL {

// Traits: `type`, `Invalid()`, `IsValid(h)`, `Close(h)`.
template <typename Traits>
class UniqueResource {
public:
    using pointer = typename Traits::type;

    UniqueResource() noexcept : m_h(Traits::Invalid()) {}
    explicit UniqueResource(pointer h) noexcept : m_h(h) {}
    UniqueResource(UniqueResource&& other) noexcept : m_h(other.Take()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept
    {
        if (this != &other) {
            Reset(other.Take());
        }
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    ~UniqueResource() { Reset(); }

    pointer Get() const noexcept { return m_h; }
    bool IsValid() const noexcept { return Traits::IsValid(m_h); }
    explicit operator bool() const noexcept { return IsValid(); }

    // Gives up ownership without closing.
    pointer Take() noexcept
    {
        pointer h = m_h;
        m_h = Traits::Invalid();
        return h;
    }

    // Closes the current value (keeping the caller's last error) and owns `h`.
    void Reset(pointer h = Traits::Invalid()) noexcept
    {
        if (Traits::IsValid(m_h)) {
            const DWORD dwErr = ::GetLastError();
            Traits::Close(m_h);
            ::SetLastError(dwErr);
        }
        m_h = h;
    }

    // For APIs that return the handle through an out parameter.
    pointer* Put() noexcept
    {
        Reset();
        return &m_h;
    }

private:
    pointer m_h;
};

struct HandleTraits {
    using type = HANDLE;
    static type Invalid() noexcept { return nullptr; }
    static bool IsValid(type h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(type h) noexcept { ::CloseHandle(h); }
};

struct RegKeyTraits {
    using type = HKEY;
    static type Invalid() noexcept { return nullptr; }
    static bool IsValid(type h) noexcept { return h != nullptr; }
    static void Close(type h) noexcept { ::RegCloseKey(h); }
};

struct ModuleTraits {
    using type = HMODULE;
    static type Invalid() noexcept { return nullptr; }
    static bool IsValid(type h) noexcept { return h != nullptr; }
    static void Close(type h) noexcept { ::FreeLibrary(h); }
};

struct MappedViewTraits {
    using type = void*;
    static type Invalid() noexcept { return nullptr; }
    static bool IsValid(type h) noexcept { return h != nullptr; }
    static void Close(type h) noexcept { ::UnmapViewOfFile(h); }
};

using UniqueHandle = UniqueResource<HandleTraits>;
using UniqueRegKey = UniqueResource<RegKeyTraits>;
using UniqueModule = UniqueResource<ModuleTraits>;
using UniqueMappedView = UniqueResource<MappedViewTraits>;

// Runs an undo step when the scope ends unless released.
template <typename F>
class ScopeExit {
public:
    explicit ScopeExit(F f) noexcept : m_f(std::move(f)) {}
    ScopeExit(ScopeExit&& other) noexcept : m_f(std::move(other.m_f)), m_bActive(other.m_bActive)
    {
        other.m_bActive = false;
    }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    ~ScopeExit()
    {
        if (m_bActive) {
            m_f();
        }
    }
    void Release() noexcept { m_bActive = false; }

private:
    F m_f;
    bool m_bActive = true;
};

template <typename F>
ScopeExit<F> MakeScopeExit(F f) noexcept
{
    return ScopeExit<F>(std::move(f));
}

} // namespace UTIL
