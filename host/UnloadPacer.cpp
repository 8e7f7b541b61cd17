#include "UnloadPacer.h"

bool CUnloadPacer::Due(ULONGLONG now) {
    if (m_called && now - m_last < m_intervalMs) {
        return false;
    }
    m_called = true;
    m_last = now;
    return true;
}
