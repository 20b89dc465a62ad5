// Loading a file into the MSXML 6.0 DOM and nothing else: the limit of the component lookup.
#pragma once

#include <windows.h>

#include <msxml2.h>
#include <oleauto.h>

#include <string>

namespace bench {

// CoCreateInstance of a DOMDocument60 and load of the file, then release, on a
// thread where COM is initialised. False when the document cannot be made or
// the file does not load.
inline bool LoadIntoDomAlone(const std::wstring& path)
{
    static const CLSID kDomDocument60 = {0x88D96A05, 0xF192, 0x11D4, {0xA6, 0x5F, 0x00, 0x40, 0x96, 0x32, 0x51, 0xE5}};
    static const IID kDomDocument2 = {0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
    IXMLDOMDocument2* pDoc = nullptr;
    if (FAILED(::CoCreateInstance(kDomDocument60, nullptr, CLSCTX_INPROC_SERVER, kDomDocument2,
                                  reinterpret_cast<void**>(&pDoc)))) {
        return false;
    }
    VARIANT source;
    ::VariantInit(&source);
    source.vt = VT_BSTR;
    source.bstrVal = ::SysAllocString(path.c_str());
    VARIANT_BOOL loaded = VARIANT_FALSE;
    const HRESULT hr = pDoc->load(source, &loaded);
    ::VariantClear(&source);
    pDoc->Release();
    return SUCCEEDED(hr) && loaded == VARIANT_TRUE;
}

} // namespace bench
