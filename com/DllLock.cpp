#include "DllLock.h"

#include "ComRuntime.h"

CDllLock::~CDllLock() {
    while (m_locks > 0) {
        Unlock();
    }
}

void CDllLock::Lock() {
    win::ExclusiveLock hold(m_lock);
    if (!m_classObject &&
        FAILED(ComRuntime::CoGetClassObject(m_clsid, CLSCTX_INPROC_SERVER, nullptr,
                                            IID_IClassFactory, m_classObject.PutVoid()))) {
        m_classObject.Reset();
        return;
    }
    if (SUCCEEDED(m_classObject->LockServer(TRUE))) {
        ++m_locks;
    } else if (m_locks == 0) {
        m_classObject.Reset();
    }
}

void CDllLock::Unlock() {
    win::ExclusiveLock hold(m_lock);
    if (m_locks == 0) {
        return;
    }
    m_classObject->LockServer(FALSE);
    if (--m_locks == 0) {
        m_classObject.Reset();
    }
}
