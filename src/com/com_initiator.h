// Per-thread COM initialisation held for the life of one object.
#pragma once

#include <windows.h>
#include <objbase.h>

namespace UTIL {

// Initialises COM on the calling thread when constructed and balances its own
// successful initialisation when destroyed; never uninitialises a COM
// initialisation it did not make. Optionally forces a thread running the other
// thread model over to the requested one. Create, adjust and destroy on one
// thread.
class CComInitiator {
public:
    CComInitiator(DWORD dwThreadModel, BOOL bForce);
    virtual ~CComInitiator();

    CComInitiator(const CComInitiator&) = delete;
    CComInitiator& operator=(const CComInitiator&) = delete;

    // Outcome of the last initialisation by the constructor or ForceAdjustThreadModel.
    virtual HRESULT GetResult();
    // Releases this object's initialisation, then initialises again.
    virtual HRESULT ForceAdjustThreadModel(DWORD dwThreadModel, BOOL bForce);
    virtual void Uninitialize();

    BOOL IsHolding() const { return m_bInitialize; }

protected:
    virtual HRESULT Initialize(DWORD dwThreadModel, BOOL bForce);
    virtual void DeInitialize();
    virtual HRESULT ChangeThreadModel(DWORD dwThreadModel);

private:
    void DeInitializeOwn();

    HRESULT m_result;
    BOOL m_bInitialize;
};

} // namespace UTIL
