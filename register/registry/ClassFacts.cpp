#include "ClassFacts.h"

#include <algorithm>
#include <cstring>

namespace {

const wchar_t* Platform(REGSAM view) {
    return view == KEY_WOW64_64KEY ? L"win64" : L"win32";
}

// A version subkey of a TypeLib key: major.minor, in hexadecimal.
std::pair<unsigned long, unsigned long> Version(const std::wstring& text) {
    const size_t dot = text.find(L'.');
    const auto number = [](const std::wstring& digits) {
        return digits.empty() ? 0UL : wcstoul(digits.c_str(), nullptr, 16);
    };
    return {number(text.substr(0, dot)),
            dot == std::wstring::npos ? 0UL : number(text.substr(dot + 1))};
}

} // namespace

CClassReader::CClassReader(const IRegistry& registry, const IFiles& files, REGSAM ownView)
    : m_registry(registry), m_files(files), m_ownView(ownView), m_reader(registry),
      m_view32(m_reader, KEY_WOW64_32KEY), m_view64(m_reader, KEY_WOW64_64KEY) {}

ClassFacts CClassReader::Read(const std::wstring& clsid) const {
    ClassFacts facts{clsid, {}, ReadView(KEY_WOW64_32KEY, clsid), ReadView(KEY_WOW64_64KEY, clsid)};
    const std::wstring key = L"CLSID\\" + clsid;
    std::optional<std::vector<ClassInterface>> interfaces;
    for (const ClassRegistration* in : {&facts.in32, &facts.in64}) {
        if (facts.progId.empty()) {
            facts.progId = View(in->view).String(key + L"\\ProgID", L"").value_or(L"");
        }
        const auto library =
            Library(CanonicalGuid(View(in->view).String(key + L"\\TypeLib", L"").value_or(L"")), {},
                    in->view);
        if (!interfaces && library && library->exists) {
            interfaces = m_files.Interfaces(library->path, clsid);
        }
        if (!interfaces && in->dll && in->dll->exists) {
            interfaces = m_files.Interfaces(in->dll->path, clsid);
        }
    }
    if (interfaces) {
        facts.interfaces.emplace();
        for (const ClassInterface& iface : *interfaces) {
            facts.interfaces->push_back(
                {iface, Marshal(iface.iid, KEY_WOW64_32KEY), Marshal(iface.iid, KEY_WOW64_64KEY)});
        }
    }
    return facts;
}

ClassRegistration CClassReader::ReadView(REGSAM view, const std::wstring& clsid) const {
    const CClassesView& classes = View(view);
    const std::wstring key = L"CLSID\\" + clsid;
    ClassRegistration facts{view, classes.Find(key)};
    if (!facts.root) {
        return facts;
    }
    if (classes.Find(key + L"\\LocalServer32")) {
        facts.localServer = classes.String(key + L"\\LocalServer32", L"").value_or(L"");
    }
    const auto dll = classes.Value(key + L"\\InprocServer32", L"");
    if (dll && !CModulePath::Library(*dll).Text().empty()) {
        facts.dll = File(*dll, CModulePath::Library(*dll), view);
        facts.threadingModel =
            classes.String(key + L"\\InprocServer32", L"ThreadingModel").value_or(L"");
    }
    facts.appId = ReadAppId(classes, classes.Value(key, L"AppID"));
    return facts;
}

AppIdFacts CClassReader::ReadAppId(const CClassesView& classes,
                                   std::optional<RegistryValue> value) const {
    AppIdFacts app;
    app.value = std::move(value);
    app.guid = app.value && app.value->IsString() ? CanonicalGuid(app.value->Text()) : L"";
    const auto values = app.guid.empty() ? std::nullopt : classes.Read(L"AppID\\" + app.guid);
    if (!values) {
        return app;
    }
    app.root = classes.Find(L"AppID\\" + app.guid);
    const auto service = ValueOf(*values, L"LocalService");
    if (service && service->IsString() && !service->Text().empty()) {
        app.localService = service->Text();
    }
    // The runtime starts programs from a 64-bit process where there are two views.
    const REGSAM starter = m_registry.TwoViews() ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    app.surrogate = ValueOf(*values, L"DllSurrogate");
    if (app.surrogate && !CModulePath::Program(*app.surrogate).Text().empty()) {
        app.host = File(*app.surrogate, CModulePath::Program(*app.surrogate), starter);
    }
    if (const auto executable = ValueOf(*values, L"DllSurrogateExecutable")) {
        app.executableHost = File(*executable, CModulePath::Exact(*executable), starter);
        app.sameProgram = app.host && app.host->exists && app.executableHost->exists &&
                          m_files.Same(app.host->path, app.executableHost->path);
    }
    const auto preferred = ValueOf(*values, L"PreferredServerBitness");
    if (preferred && preferred->type == REG_DWORD && preferred->data.size() == sizeof(DWORD)) {
        std::memcpy(&app.preferredBitness, preferred->data.data(), sizeof(DWORD));
    }
    for (const wchar_t* name : {L"RunAs", L"LaunchPermission", L"AccessPermission"}) {
        if (const auto setting = ValueOf(*values, name)) {
            app.settings.emplace_back(name, setting->IsString() ? setting->Text() : L"");
        }
    }
    return app;
}

MarshalFacts CClassReader::Marshal(const std::wstring& iid, REGSAM process) const {
    MarshalFacts facts;
    const std::wstring key = L"Interface\\" + iid;
    // CoGetPSClsid looks in the process's own view, then in the other one (as Wine's conformance
    // tests of CoGetPSClsid record of Windows).
    for (const REGSAM view : {process, OtherView(process)}) {
        facts.proxyStub =
            CanonicalGuid(View(view).String(key + L"\\ProxyStubClsid32", L"").value_or(L""));
        if (!facts.proxyStub.empty()) {
            facts.foundIn = view;
            break;
        }
    }
    if (!facts.foundIn) {
        return facts;
    }
    const CClassesView& found = View(*facts.foundIn);
    facts.libId = CanonicalGuid(found.String(key + L"\\TypeLib", L"").value_or(L""));
    facts.version = found.String(key + L"\\TypeLib", L"Version").value_or(L"");
    facts.library = Library(facts.libId, facts.version, process, &facts.platform);
    // A proxy/stub class is loaded in process: only its own view's registration counts.
    if (const auto dll =
            View(process).Value(L"CLSID\\" + facts.proxyStub + L"\\InprocServer32", L"")) {
        facts.proxyStubDll = File(*dll, CModulePath::Library(*dll), process);
    }
    return facts;
}

// The file registered for the library and the process's platform, else for the other platform,
// which LoadRegTypeLib falls back to (as Wine's conformance tests of QueryPathOfRegTypeLib record
// of Windows). Both views share the TypeLib key.
std::optional<FileFacts> CClassReader::Library(const std::wstring& libId,
                                               const std::wstring& version, REGSAM process,
                                               std::wstring* platform) const {
    const CClassesView& classes = View(process);
    const std::wstring top = L"TypeLib\\" + libId;
    const auto root = libId.empty() ? std::nullopt : classes.Find(top);
    if (!root) {
        return std::nullopt;
    }
    std::vector<std::wstring> versions = m_reader.Subkeys(classes.Key(*root, top));
    // The newest version first, as LoadRegTypeLib takes the highest minor version.
    std::sort(versions.begin(), versions.end(),
              [](const auto& a, const auto& b) { return Version(a) > Version(b); });
    for (const wchar_t* entry : {Platform(process), Platform(OtherView(process))}) {
        for (const std::wstring& found : versions) {
            if (!version.empty() && Version(found).first != Version(version).first) {
                continue;
            }
            const std::wstring at = top + L"\\" + found;
            for (const std::wstring& lcid : m_reader.Subkeys(classes.Key(*root, at))) {
                const auto file = classes.Value(at + L"\\" + lcid + L"\\" + entry, L"");
                if (file && !CModulePath::TypeLibrary(*file).Text().empty()) {
                    if (platform != nullptr) {
                        *platform = entry;
                    }
                    return File(*file, CModulePath::TypeLibrary(*file), process);
                }
            }
        }
    }
    return std::nullopt;
}

FileFacts CClassReader::File(const RegistryValue& value, const CModulePath& path,
                             REGSAM view) const {
    FileFacts file{value.IsString() ? value.Text() : value.TypeName() + L" value", path.Text(),
                   Locate(m_files.Resolve(path), view)};
    file.exists = !file.path.empty() && m_files.Exists(file.path);
    if (file.exists) {
        file.image = m_files.Image(file.path);
    }
    return file;
}

// On 64-bit Windows each bitness has a system directory of its own, and the tool's is not always
// the process's.
std::wstring CClassReader::Locate(const std::wstring& path, REGSAM view) const {
    wchar_t windows[MAX_PATH] = {};
    const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (!m_registry.TwoViews() || view == m_ownView || length == 0 || length >= MAX_PATH) {
        return path;
    }
    const std::wstring system = std::wstring(windows, length) + L"\\System32\\";
    if (path.size() <= system.size() || !SameName(path.substr(0, system.size()), system)) {
        return path;
    }
    // A 32-bit tool reaches the 64-bit one only by this alias; WOW64 redirects System32 itself.
    return std::wstring(windows, length) +
           (view == KEY_WOW64_32KEY ? L"\\SysWOW64\\" : L"\\Sysnative\\") +
           path.substr(system.size());
}
