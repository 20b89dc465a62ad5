// lookup_bench.exe: GetProductInfo on component lists of 10, 1000 and 10 000 components, looking
// up the last one (the whole list is walked), beside loading the same file into the DOM alone
// (CoCreateInstance of a DOMDocument60 + load), in one process with COM initialised for the
// main thread as KivProxy.exe does. The log server stand-in runs with verbosity 5.
//   lookup_bench [runs]
#include <windows.h>

#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/component_lookup.h"
#include "bench_common.h"
#include "dom_load.h"
#include "log_sink.h"
#include "product_setup.h"

namespace {

// The lookup's own steps on the raw DOM, without the wrapper or the registry:
// load, select the Component nodes, walk them and read each ID until the match.
bool RawDomLookup(const std::wstring& path, const wchar_t* id)
{
    static const CLSID kDomDocument60 = {0x88D96A05, 0xF192, 0x11D4, {0xA6, 0x5F, 0x00, 0x40, 0x96, 0x32, 0x51, 0xE5}};
    static const IID kDomDocument2 = {0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
    IXMLDOMDocument2* pDoc = nullptr;
    if (FAILED(::CoCreateInstance(kDomDocument60, nullptr, CLSCTX_INPROC_SERVER, kDomDocument2,
                                  reinterpret_cast<void**>(&pDoc)))) {
        return false;
    }
    bool found = false;
    VARIANT source;
    ::VariantInit(&source);
    source.vt = VT_BSTR;
    source.bstrVal = ::SysAllocString(path.c_str());
    VARIANT_BOOL loaded = VARIANT_FALSE;
    BSTR xpath = ::SysAllocString(L"/QGCE_COMPONENT_ID_LIST/Component");
    BSTR name = ::SysAllocString(L"ID");
    IXMLDOMNodeList* pList = nullptr;
    if (SUCCEEDED(pDoc->load(source, &loaded)) && loaded == VARIANT_TRUE &&
        SUCCEEDED(pDoc->selectNodes(xpath, &pList))) {
        IXMLDOMNode* pNode = nullptr;
        while (!found && pList->nextNode(&pNode) == S_OK && pNode != nullptr) {
            IXMLDOMElement* pElement = nullptr;
            if (SUCCEEDED(pNode->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(&pElement)))) {
                VARIANT value;
                ::VariantInit(&value);
                if (SUCCEEDED(pElement->getAttribute(name, &value)) && value.vt == VT_BSTR) {
                    found = wcscmp(value.bstrVal, id) == 0;
                }
                ::VariantClear(&value);
                pElement->Release();
            }
            pNode->Release();
        }
        pList->Release();
    }
    ::SysFreeString(name);
    ::SysFreeString(xpath);
    ::VariantClear(&source);
    pDoc->Release();
    return found;
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    const int runs = argc > 1 ? std::max(1, _wtoi(argv[1])) : 9;
    if (FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        fprintf(stderr, "cannot initialise COM\n");
        return 1;
    }
    standin::LevelMapPublisher levels;
    standin::LogSink sink;
    if (!levels.IsValid() || !sink.Start(L"Log_ServerNamePipe", 8)) {
        fprintf(stderr, "cannot start the log server stand-in\n");
        return 1;
    }
    levels.SetVerbosity(5);

    const std::wstring dir = bench::MakeTempDir(L"lookup_bench");
    for (int count : {10, 1000, 10000}) {
        const std::wstring folder = dir + L"\\" + std::to_wstring(count);
        ::CreateDirectoryW(folder.c_str(), nullptr);
        const std::wstring list = folder + L"\\" + standin::product::kComponentListFile;
        if (!bench::WriteTextFile(list, bench::ComponentList(count)) ||
            standin::product::SetString(standin::product::kInformationKey, standin::product::kLocalPathValue,
                                        folder) != ERROR_SUCCESS) {
            fprintf(stderr, "cannot set up a list of %d components\n", count);
            return 1;
        }
        wchar_t id[16];
        swprintf(id, 16, L"Comp%05d", count - 1);
        const std::wstring expectedVersion = L"1.0." + std::to_wstring(count - 1);
        auto lookup = [&] {
            std::wstring version;
            std::wstring language;
            return GetProductInfo(id, version, language) && version == expectedVersion && language == L"0409";
        };
        auto loadAlone = [&] { return bench::LoadIntoDomAlone(list); };
        auto rawLookup = [&] { return RawDomLookup(list, id); };

        // Calls per sample: enough for about 40 ms.
        bool ok = lookup() && loadAlone() && rawLookup();
        double t0 = bench::NowMs();
        lookup();
        const double once = std::max(0.001, bench::NowMs() - t0);
        const int calls = std::max(1, static_cast<int>(40.0 / once));

        // Each run times the three in a rotating order.
        std::vector<double> samples[3];
        for (int r = 0; r < runs; ++r) {
            for (int k = 0; k < 3; ++k) {
                const int which = (r + k) % 3;
                t0 = bench::NowMs();
                for (int i = 0; i < calls; ++i) {
                    ok &= which == 0 ? lookup() : which == 1 ? loadAlone() : rawLookup();
                }
                samples[which].push_back((bench::NowMs() - t0) / calls);
            }
        }
        const std::vector<double>& lookups = samples[0];
        const std::vector<double>& loads = samples[1];
        bench::Row row;
        row.group = "component lookup";
        char figure[96];
        snprintf(figure, sizeof(figure), "GetProductInfo, %d components%s", count, ok ? "" : " (FAILED)");
        row.figure = figure;
        row.setup = "log: verbosity 5";
        row.unit = "ms";
        row.value = bench::Summarise(lookups);
        row.limit = "DOMDocument60 CoCreateInstance + load";
        row.limitValue = bench::Summarise(loads);
        row.goal = 1.25;
        row.runs = runs;
        bench::EmitRow(row);
        row.figure = "(reference) raw DOM walk, " + std::to_string(count) + " components";
        row.value = bench::Summarise(samples[2]);
        row.goal = 0;
        bench::EmitRow(row);
        bench::Note("component lookup, %d components: %d calls per sample, list of %zu bytes, last one looked up",
                    count, calls, bench::ReadFileBytes(list).size());
    }
    standin::product::DeleteTree(standin::product::kInformationKey);
    sink.Stop();
    bench::RemoveTree(dir);
    ::CoUninitialize();
    return 0;
}
