/* pelmora-check-ps.dll: the generated proxy/stub code of PelmoraCheck.idl and its entry points. */

/* IPelmoraDual's stub delegates IDispatch's methods, whose release rpcproxy.h then provides. */
#define PROXY_DELEGATION
/* The DLL's class, IPelmoraCustom's IID, named here rather than left to the first entry of the
   generated list, whose order follows the IIDs' bytes. */
#define PROXY_CLSID_IS \
    {0xF759C2D7, 0x9264, 0x4BC5, {0x82, 0x20, 0x64, 0x2A, 0x25, 0x5C, 0xE4, 0xF4}}

#include <objbase.h>

/* mingw-w64's unknwn.h declares IUnknown's proxies for C++ only; the generated C needs them. */
HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid, void** ppv);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);

#include "PelmoraCheck_p.c"
#include "dlldata.c"
