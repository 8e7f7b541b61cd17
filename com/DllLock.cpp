#include "DllLock.h"

#include "ComRuntime.h"

#include <new>
#include <utility>

CDllLock::~CDllLock() {
    while (!m_held.empty()) {
        Unlock();
    }
}

void CDllLock::Lock() {
    win::ComPtr<IClassFactory> classObject;
    if (FAILED(ComRuntime::CoGetClassObject(m_clsid, CLSCTX_INPROC_SERVER, nullptr,
                                            IID_IClassFactory, classObject.PutVoid())) ||
        !classObject || FAILED(classObject->LockServer(TRUE))) {
        return;
    }
    try {
        win::ExclusiveLock hold(m_lock);
        m_held.push_back(std::move(classObject));
        return;
    } catch (const std::bad_alloc&) {
    }
    classObject->LockServer(FALSE);
}

void CDllLock::Unlock() {
    win::ComPtr<IClassFactory> classObject;
    {
        win::ExclusiveLock hold(m_lock);
        if (m_held.empty()) {
            return;
        }
        classObject = std::move(m_held.back());
        m_held.pop_back();
    }
    classObject->LockServer(FALSE);
}
