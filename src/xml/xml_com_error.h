// COM error handling of the XML wrapper: a failed DOM call raises a COM error
// that the operation making it catches, logs once and turns into its empty value.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <new>
#include <string>
#include <type_traits>

#include "xml/com_owners.h"

namespace QGCE_XML {

// Source name carried by every log line of the XML wrapper.
extern const wchar_t kXmlLogSource[];
// Level of the wrapper's own notices (a node that is not an element).
constexpr int kXmlNoticeLevel = 5;

namespace detail {

// The COM error: the failing HRESULT and the interface whose call failed.
class CComError {
public:
    CComError(HRESULT hr, const IID& iid) noexcept : m_hr(hr), m_iid(iid) {}
    HRESULT Error() const noexcept { return m_hr; }
    const IID& Interface() const noexcept { return m_iid; }

private:
    HRESULT m_hr;
    IID m_iid;
};

[[noreturn]] void RaiseComError(HRESULT hr, const IID& iid);

// Raises a COM error for a negative HRESULT; success codes (S_FALSE too) pass.
inline void CheckHr(HRESULT hr, const IID& iid)
{
    if (FAILED(hr)) {
        RaiseComError(hr, iid);
    }
}

// The interface to call through; raises E_POINTER when there is none.
template <typename T>
T* Use(const UTIL::ComPtr<T>& p, const IID& iid)
{
    if (!p) {
        RaiseComError(E_POINTER, iid);
    }
    return p.Get();
}

// A BSTR copy of `pwszText` for a call; a null text gives the null (empty)
// BSTR. Raises E_OUTOFMEMORY when the copy cannot be allocated.
UTIL::UniqueBstr MakeBstr(const wchar_t* pwszText);

// A VT_BSTR variant holding a copy of `pwszText`; raises E_OUTOFMEMORY as MakeBstr.
void MakeStringVariant(const wchar_t* pwszText, UTIL::UniqueVariant& var);

// The text of a BSTR up to its first zero character (empty for a null BSTR).
std::wstring BstrText(BSTR bstr);

// Message text of an HRESULT for the log: the system's message without its
// trailing line break, else "IDispatch error #n" / "Unknown error 0x..".
class CComErrorText {
public:
    explicit CComErrorText(HRESULT hr) noexcept;
    ~CComErrorText();
    CComErrorText(const CComErrorText&) = delete;
    CComErrorText& operator=(const CComErrorText&) = delete;

    const wchar_t* Text() const noexcept { return m_pwszSystem != nullptr ? m_pwszSystem : m_wszFallback; }

private:
    wchar_t* m_pwszSystem = nullptr; // from FormatMessageW, released with LocalFree
    wchar_t m_wszFallback[32] = {};
};

// Writes the one log line of a caught COM error.
void LogComError(HRESULT hr) noexcept;

// Runs `body`, which may raise COM errors; a COM error (or a failed
// allocation) is logged once and the operation's empty value returned.
template <typename F>
auto CatchComErrors(F&& body) noexcept -> decltype(body())
{
    using R = decltype(body());
    HRESULT hr = E_UNEXPECTED;
    try {
        return body();
    } catch (const CComError& e) {
        hr = e.Error();
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    } catch (...) {
        hr = E_UNEXPECTED;
    }
    LogComError(hr);
    if constexpr (!std::is_void_v<R>) {
        return R{};
    }
}

} // namespace detail
} // namespace QGCE_XML
