#include "ServerProcessReference.h"

#include "ComRuntime.h"

CServerProcessReference::CServerProcessReference() {
    ComRuntime::CoAddRefServerProcess();
}

void CServerProcessReference::GiveBack() {
    if (m_held) {
        m_held = false;
        ComRuntime::CoReleaseServerProcess();
    }
}
