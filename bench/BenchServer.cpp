// The bare local server the benchmark compares the host with: an executable that serves one class
// of an in-process DLL, registered by the runtime's own means (LocalServer32), with nothing of the
// host's between the runtime and the DLL's class object.
//
//   pelmora-bench-server.exe DLL {CLSID} [-Embedding]
//
// Serves until its process is ended.
#include <windows.h>
#include <objbase.h>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        return 2;
    }
    CLSID clsid = {};
    if (FAILED(CLSIDFromString(argv[2], &clsid))) {
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    // As the runtime loads in-process servers: the DLL's own folder first for its imports.
    const HMODULE dll = LoadLibraryExW(argv[1], nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    const auto getClassObject =
        reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
            reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
    IUnknown* classObject = nullptr;
    DWORD cookie = 0;
    if (getClassObject == nullptr ||
        FAILED(getClassObject(clsid, IID_IUnknown, reinterpret_cast<void**>(&classObject))) ||
        FAILED(CoRegisterClassObject(clsid, classObject, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                     &cookie))) {
        return 1;
    }
    Sleep(INFINITE);
    return 0;
}
