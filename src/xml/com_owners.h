// Move-only owners for COM references, BSTRs and VARIANTs.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <unknwn.h>

#include "common/unique_resource.h"

namespace UTIL {

// Holds one reference on a COM object and releases it when it goes.
template <typename T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    // Takes a reference of its own on `p` (the caller keeps its reference).
    explicit ComPtr(T* p) noexcept : m_p(p)
    {
        if (m_p != nullptr) {
            m_p->AddRef();
        }
    }
    ComPtr(ComPtr&& other) noexcept : m_p(other.Detach()) {}
    ComPtr& operator=(ComPtr&& other) noexcept
    {
        if (this != &other) {
            Attach(other.Detach());
        }
        return *this;
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() { Reset(); }

    T* Get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

    void Reset() noexcept
    {
        T* p = m_p;
        m_p = nullptr;
        if (p != nullptr) {
            p->Release();
        }
    }

    // Owns a reference the caller already holds.
    void Attach(T* p) noexcept
    {
        Reset();
        m_p = p;
    }

    // Gives up the reference without releasing it.
    T* Detach() noexcept
    {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }

    // For calls that return a new reference through an out parameter.
    T** Put() noexcept
    {
        Reset();
        return &m_p;
    }
    void** PutVoid() noexcept { return reinterpret_cast<void**>(Put()); }

private:
    T* m_p = nullptr;
};

struct BstrTraits {
    using type = BSTR;
    static type Invalid() noexcept { return nullptr; }
    static bool IsValid(type h) noexcept { return h != nullptr; }
    static void Close(type h) noexcept { ::SysFreeString(h); }
};

// A null BSTR is the empty string to every COM callee.
using UniqueBstr = UniqueResource<BstrTraits>;

// A VARIANT cleared (VariantClear) when it goes.
class UniqueVariant {
public:
    UniqueVariant() noexcept { ::VariantInit(&m_v); }
    UniqueVariant(UniqueVariant&& other) noexcept : m_v(other.m_v) { ::VariantInit(&other.m_v); }
    UniqueVariant& operator=(UniqueVariant&& other) noexcept
    {
        if (this != &other) {
            Reset();
            m_v = other.m_v;
            ::VariantInit(&other.m_v);
        }
        return *this;
    }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;
    ~UniqueVariant() { Reset(); }

    const VARIANT& Get() const noexcept { return m_v; }
    VARTYPE Type() const noexcept { return V_VT(&m_v); }

    void Reset() noexcept
    {
        ::VariantClear(&m_v);
        ::VariantInit(&m_v);
    }

    // For calls that fill a VARIANT the owner then clears.
    VARIANT* Put() noexcept
    {
        Reset();
        return &m_v;
    }

    // The variant owns `bstr` as VT_BSTR.
    void SetBstr(BSTR bstr) noexcept
    {
        Reset();
        V_VT(&m_v) = VT_BSTR;
        V_BSTR(&m_v) = bstr;
    }
    void SetBool(bool b) noexcept
    {
        Reset();
        V_VT(&m_v) = VT_BOOL;
        V_BOOL(&m_v) = b ? VARIANT_TRUE : VARIANT_FALSE;
    }
    void SetI4(LONG n) noexcept
    {
        Reset();
        V_VT(&m_v) = VT_I4;
        V_I4(&m_v) = n;
    }

private:
    VARIANT m_v;
};

} // namespace UTIL
