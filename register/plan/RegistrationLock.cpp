#include "RegistrationLock.h"

#include <sddl.h>

namespace {

constexpr const wchar_t* kName = L"Global\\PelmoraRegister";
constexpr DWORD kAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

} // namespace

std::wstring CRegistrationLock::Acquire(DWORD timeoutMs) {
    // Whoever creates it, an elevated tool or not, every user's tool may wait for it.
    win::UniqueLocalMemory<void> descriptor;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, FALSE};
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00100001;;;WD)", SDDL_REVISION_1,
            reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.Put()), nullptr)) {
        attributes.lpSecurityDescriptor = descriptor.Get();
    }
    m_mutex.Reset(CreateMutexExW(&attributes, kName, 0, kAccess));
    if (!m_mutex) {
        m_mutex.Reset(OpenMutexW(kAccess, FALSE, kName));
    }
    switch (m_mutex ? WaitForSingleObject(m_mutex.Get(), timeoutMs) : WAIT_FAILED) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED: // a tool that ended without letting go; what it wrote is read afresh
        m_held = true;
        return {};
    case WAIT_TIMEOUT:
        return L"another pelmora-register has held the lock " + std::wstring(kName) + L" for " +
               std::to_wstring(timeoutMs / 1000) + L" s; try again when it has finished";
    default:
        return L"the lock " + std::wstring(kName) + L" cannot be had: system error " +
               std::to_wstring(GetLastError());
    }
}

CRegistrationLock::~CRegistrationLock() {
    if (m_held) {
        ReleaseMutex(m_mutex.Get());
    }
}
