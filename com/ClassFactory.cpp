#include "ClassFactory.h"

#include "ComRuntime.h"

namespace {

// Counts one call as in progress for as long as it runs.
class CCallInProgress {
public:
    explicit CCallInProgress(CServerActivity& activity) : m_activity(activity) {
        m_activity.CallStarted();
    }
    CCallInProgress(const CCallInProgress&) = delete;
    CCallInProgress& operator=(const CCallInProgress&) = delete;
    ~CCallInProgress() { m_activity.CallEnded(); }

private:
    CServerActivity& m_activity;
};

} // namespace

HRESULT STDMETHODCALLTYPE CClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
    const CCallInProgress call(*m_activity);
    return ComRuntime::CoCreateInstance(m_clsid, outer, CLSCTX_INPROC_SERVER, iid, out);
}

HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL lock) {
    if (lock) {
        ComRuntime::CoAddRefServerProcess();
        m_activity->Locked();
        m_dllLock.Lock();
    } else if (m_activity->Unlocked()) {
        // Only an unlock that matches a lock: a stray one would take a reference some other
        // holder counts on, and at zero the runtime suspends every class of the process.
        m_dllLock.Unlock();
        ComRuntime::CoReleaseServerProcess();
    }
    return S_OK;
}
