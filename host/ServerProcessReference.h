#pragma once

// The host's own reference on the server process count, held for its whole run. Without it a
// client's LockServer(TRUE) and LockServer(FALSE) would bring the count to zero, and the runtime
// then suspends every class object of the process: later clients would each start another host.
class CServerProcessReference {
public:
    CServerProcessReference();
    CServerProcessReference(const CServerProcessReference&) = delete;
    CServerProcessReference& operator=(const CServerProcessReference&) = delete;
    ~CServerProcessReference() { GiveBack(); }

    // Gives the reference back, once; must run before CoUninitialize.
    void GiveBack();

private:
    bool m_held = true;
};
