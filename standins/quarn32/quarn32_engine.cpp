// Quarn32.dll: the scan engine's pattern services (contexts, pattern loading, pattern properties).
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "app/quarn32_api.h"
#include "common/unique_resource.h"
#include "pattern_format.h"

namespace {

struct EngineContext {
    DWORD dwOwnerThreadId = 0;
    DWORD dwActionSet = 0;
    bool bLoaded = false;
    quarn32::Pattern pattern;
};

// Contexts by handle; every export takes the lock for its whole call.
class ContextTable {
public:
    std::mutex& Lock() { return m_lock; }

    QNHANDLE Add(std::unique_ptr<EngineContext> context)
    {
        do {
            ++m_nextHandle;
        } while (m_nextHandle == 0 || m_contexts.count(m_nextHandle) != 0);
        m_contexts.emplace(m_nextHandle, std::move(context));
        return m_nextHandle;
    }

    EngineContext* Find(QNHANDLE hEngine)
    {
        const auto it = m_contexts.find(hEngine);
        return it == m_contexts.end() ? nullptr : it->second.get();
    }

    bool Remove(QNHANDLE hEngine) { return m_contexts.erase(hEngine) != 0; }

private:
    std::mutex m_lock;
    std::map<QNHANDLE, std::unique_ptr<EngineContext>> m_contexts;
    QNHANDLE m_nextHandle = 0x51000000;
};

ContextTable& Contexts()
{
    static ContextTable table;
    return table;
}

// Runs `body` on the context of `hEngine` under the table lock; no exception leaves the engine.
template <typename F>
int32_t WithContext(QNHANDLE hEngine, F body)
{
    try {
        ContextTable& table = Contexts();
        std::lock_guard<std::mutex> guard(table.Lock());
        EngineContext* context = table.Find(hEngine);
        if (context == nullptr) {
            return QN_E_INVALID_HANDLE;
        }
        return body(*context);
    } catch (const std::bad_alloc&) {
        return QN_E_NO_MEMORY;
    } catch (...) {
        return QN_E_INTERNAL;
    }
}

int32_t ReadWholeFile(const char* pszPath, std::vector<uint8_t>* data)
{
    UTIL::UniqueHandle file(::CreateFileA(pszPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return QN_E_FILE_OPEN;
    }
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(file.Get(), &size)) {
        return QN_E_FILE_READ;
    }
    if (size.QuadPart > quarn32::kMaxPatternFileBytes) {
        return QN_E_FILE_TOO_LARGE;
    }
    data->resize(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    while (done < data->size()) {
        DWORD got = 0;
        if (!::ReadFile(file.Get(), data->data() + done, static_cast<DWORD>(data->size() - done), &got, nullptr)) {
            return QN_E_FILE_READ;
        }
        if (got == 0) {
            return QN_E_TRUNCATED; // the file shrank while being read
        }
        done += got;
    }
    return QN_OK;
}

} // namespace

extern "C" {

int32_t WINAPI QNInit(DWORD dwThreadId, const char* pszOptions, DWORD dwReserved, QNHANDLE* phEngine)
{
    if (phEngine == nullptr || pszOptions == nullptr || pszOptions[0] != '\0' || dwReserved != 0) {
        return QN_E_INVALID_ARG;
    }
    try {
        auto context = std::make_unique<EngineContext>();
        context->dwOwnerThreadId = dwThreadId;
        ContextTable& table = Contexts();
        std::lock_guard<std::mutex> guard(table.Lock());
        *phEngine = table.Add(std::move(context));
        return QN_OK;
    } catch (const std::bad_alloc&) {
        return QN_E_NO_MEMORY;
    } catch (...) {
        return QN_E_INTERNAL;
    }
}

int32_t WINAPI QNReadPatternInFile(QNHANDLE hEngine, const char* pszPatternFile, DWORD dwFlags)
{
    return WithContext(hEngine, [&](EngineContext& context) {
        context.bLoaded = false;
        context.pattern = quarn32::Pattern();
        if (pszPatternFile == nullptr || pszPatternFile[0] == '\0' || dwFlags != 0) {
            return QN_E_INVALID_ARG;
        }
        std::vector<uint8_t> image;
        const int32_t nRead = ReadWholeFile(pszPatternFile, &image);
        if (nRead != QN_OK) {
            return nRead;
        }
        quarn32::Pattern pattern;
        const int32_t nParse = quarn32::ParsePattern(image.data(), image.size(), &pattern);
        if (nParse != QN_OK) {
            return nParse;
        }
        context.pattern = std::move(pattern);
        context.bLoaded = true;
        return QN_OK;
    });
}

int32_t WINAPI QNSetConfig(QNHANDLE hEngine, DWORD dwConfigId, DWORD dwValue, DWORD dwReserved)
{
    return WithContext(hEngine, [&](EngineContext& context) {
        if (dwConfigId != QN_CONFIG_ACTION_SET) {
            return QN_E_UNKNOWN_CONFIG;
        }
        if (dwValue != QN_ACTION_SET_MAJOR_TYPES || dwReserved != 0) {
            return QN_E_INVALID_ARG;
        }
        context.dwActionSet = dwValue;
        return QN_OK;
    });
}

int32_t WINAPI QNGetPatternProperty(QNHANDLE hEngine, DWORD dwPropertyId, DWORD dwReserved,
                                    QN_PATTERN_PROPERTY_REQUEST* pRequest)
{
    return WithContext(hEngine, [&](EngineContext& context) {
        if (dwPropertyId != QN_PROPERTY_MAJOR_TYPES) {
            return QN_E_UNKNOWN_PROPERTY;
        }
        if (dwReserved != 0 || pRequest == nullptr || pRequest->nCapacity < 0 ||
            (pRequest->nCapacity > 0 && pRequest->pBuffer == nullptr)) {
            return QN_E_INVALID_ARG;
        }
        if (!context.bLoaded) {
            return QN_E_NOT_LOADED;
        }
        const std::vector<quarn32::MajorType>& types = context.pattern.types;
        const size_t fill = std::min(types.size(), static_cast<size_t>(pRequest->nCapacity));
        auto* records = static_cast<QN_MAJOR_TYPE_RECORD*>(pRequest->pBuffer);
        for (size_t i = 0; i < fill; ++i) {
            QN_MAJOR_TYPE_RECORD record = {};
            record.wFirstAction = types[i].firstAction;
            record.wSecondAction = types[i].secondAction;
            std::memcpy(record.szName, types[i].name.data(), std::min(types[i].name.size(), quarn32::kMaxNameBytes));
            std::memcpy(&records[i], &record, sizeof(record));
        }
        return static_cast<int32_t>(types.size());
    });
}

int32_t WINAPI QNGetExtListSize(QNHANDLE hEngine, DWORD* pdwSize)
{
    return WithContext(hEngine, [&](EngineContext& context) {
        if (pdwSize == nullptr) {
            return QN_E_INVALID_ARG;
        }
        if (!context.bLoaded) {
            return QN_E_NOT_LOADED;
        }
        *pdwSize = static_cast<DWORD>(context.pattern.extList.size() + 1);
        return QN_OK;
    });
}

int32_t WINAPI QNGetExtList(QNHANDLE hEngine, char* pBuffer)
{
    return WithContext(hEngine, [&](EngineContext& context) {
        if (pBuffer == nullptr) {
            return QN_E_INVALID_ARG;
        }
        if (!context.bLoaded) {
            return QN_E_NOT_LOADED;
        }
        const std::string& list = context.pattern.extList;
        std::memcpy(pBuffer, list.c_str(), list.size() + 1);
        return QN_OK;
    });
}

int32_t WINAPI QNCloseHandle(QNHANDLE hEngine)
{
    try {
        ContextTable& table = Contexts();
        std::lock_guard<std::mutex> guard(table.Lock());
        return table.Remove(hEngine) ? QN_OK : QN_E_INVALID_HANDLE;
    } catch (...) {
        return QN_E_INTERNAL;
    }
}

} // extern "C"
