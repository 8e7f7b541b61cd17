#pragma once

#include "ClassesView.h"
#include "Files.h"

#include <utility>

// A file that a registration names, as the process that takes it finds it.
struct FileFacts {
    std::wstring registered = {}; // the value's text, as stored
    std::wstring named = {};      // the path in it, as the runtime takes it
    std::wstring path = {};       // the file taken; empty when it is found nowhere
    bool exists = false;
    PeImage image = {}; // when it exists
};

// The AppID key that a class's AppID value names, and what the runtime reads there.
struct AppIdFacts {
    std::optional<RegistryValue> value; // the class's AppID value, as stored
    std::wstring guid;                  // it, canonical; empty when it is no braced GUID
    std::optional<Root> root;           // of the AppID's key; none: there is no such key
    std::optional<std::wstring> localService;
    std::optional<RegistryValue> surrogate;  // DllSurrogate
    std::optional<FileFacts> host;           // the program DllSurrogate names, unless empty
    std::optional<FileFacts> executableHost; // the one DllSurrogateExecutable names
    bool sameProgram = false;                // the two name one file
    DWORD preferredBitness = 0;              // PreferredServerBitness; 0 when absent
    std::vector<std::pair<std::wstring, std::wstring>> settings; // RunAs and the permissions set
};

// One registry view's registration of a class.
struct ClassRegistration {
    REGSAM view = KEY_WOW64_32KEY;
    std::optional<Root> root = {};                // of the class key; none: not registered here
    std::optional<std::wstring> localServer = {}; // LocalServer32's command line
    std::optional<FileFacts> dll = {}; // InprocServer32, as a process of the view loads it
    std::wstring threadingModel = {};
    AppIdFacts appId = {};

    // Whether out-of-process activation finds a server here: a service, a program or a surrogate.
    bool Serves() const { return root && (appId.localService || localServer || appId.surrogate); }
};

// How a process of one bitness finds the marshaler of an interface.
struct MarshalFacts {
    std::optional<REGSAM> foundIn;    // the view whose Interface key has a ProxyStubClsid32
    std::wstring proxyStub;           // that class, canonical
    std::wstring libId, version;      // the Interface key's TypeLib, for the type-library marshaler
    std::optional<FileFacts> library; // the file registered for it
    std::wstring platform;            // win32 or win64, the entry that file is under
    std::optional<FileFacts> proxyStubDll; // the proxy/stub class's DLL in the process's own view
};

struct InterfaceFacts {
    ClassInterface iface;
    MarshalFacts in32, in64;
    const MarshalFacts& In(REGSAM view) const { return view == KEY_WOW64_64KEY ? in64 : in32; }
};

// A class's registration in both views, read once, as plain facts to judge.
struct ClassFacts {
    std::wstring clsid;
    std::wstring progId;
    ClassRegistration in32, in64;
    // From its type library: the TypeLib key's, else the one in its DLL. None: no library has it.
    std::optional<std::vector<InterfaceFacts>> interfaces = {};
    const ClassRegistration& In(REGSAM view) const { return view == KEY_WOW64_64KEY ? in64 : in32; }
};

// Reads classes as the runtime reads them, for processes of both bitnesses.
class CClassReader {
public:
    // ownView: the tool's, whose system directory a path names as the tool sees it.
    CClassReader(const IRegistry& registry, const IFiles& files, REGSAM ownView);

    ClassFacts Read(const std::wstring& clsid) const;
    const CRegistryReader& Reader() const { return m_reader; }

private:
    ClassRegistration ReadView(REGSAM view, const std::wstring& clsid) const;
    AppIdFacts ReadAppId(const CClassesView& classes, std::optional<RegistryValue> value) const;
    MarshalFacts Marshal(const std::wstring& iid, REGSAM process) const;
    std::optional<FileFacts> Library(const std::wstring& libId, const std::wstring& version,
                                     REGSAM process, std::wstring* platform = nullptr) const;
    FileFacts File(const RegistryValue& value, const CModulePath& path, REGSAM view) const;
    std::wstring Locate(const std::wstring& path, REGSAM view) const;
    const CClassesView& View(REGSAM view) const {
        return view == KEY_WOW64_64KEY ? m_view64 : m_view32;
    }

    const IRegistry& m_registry;
    const IFiles& m_files;
    REGSAM m_ownView;
    CRegistryReader m_reader;
    CClassesView m_view32;
    CClassesView m_view64;
};
