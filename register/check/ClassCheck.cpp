#include "ClassCheck.h"

#include "ModulePath.h"
#include "Registration.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr const wchar_t* kIUnknown = L"{00000000-0000-0000-C000-000000000046}";
constexpr const wchar_t* kIDispatch = L"{00020400-0000-0000-C000-000000000046}";
// The system's marshalers that a ProxyStubClsid32 may name.
constexpr const wchar_t* kTypeLibMarshaler = L"{00020424-0000-0000-C000-000000000046}";
constexpr const wchar_t* kDispatchMarshaler = L"{00020420-0000-0000-C000-000000000046}";

REGSAM OtherView(REGSAM view) {
    return view == KEY_WOW64_64KEY ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
}

const wchar_t* Bits(REGSAM view) {
    return view == KEY_WOW64_64KEY ? L"64-bit" : L"32-bit";
}

const wchar_t* Platform(REGSAM view) {
    return view == KEY_WOW64_64KEY ? L"win64" : L"win32";
}

// The view whose modules a process of that machine loads.
std::optional<REGSAM> ViewOf(WORD machine) {
    switch (machine) {
    case IMAGE_FILE_MACHINE_I386:
    case IMAGE_FILE_MACHINE_ARMNT:
        return KEY_WOW64_32KEY;
    case IMAGE_FILE_MACHINE_AMD64:
    case IMAGE_FILE_MACHINE_ARM64:
        return KEY_WOW64_64KEY;
    default:
        return std::nullopt;
    }
}

std::wstring MachineName(WORD machine) {
    switch (machine) {
    case IMAGE_FILE_MACHINE_I386:
        return L"32-bit (x86)";
    case IMAGE_FILE_MACHINE_AMD64:
        return L"64-bit (x64)";
    case IMAGE_FILE_MACHINE_ARM64:
        return L"64-bit (ARM64)";
    case IMAGE_FILE_MACHINE_ARMNT:
        return L"32-bit (ARM)";
    default: {
        wchar_t text[16] = {};
        swprintf(text, 16, L"0x%04X", machine);
        return std::wstring(L"of machine ") + text;
    }
    }
}

std::wstring Regsvr32(REGSAM view) {
    return view == KEY_WOW64_64KEY ? L"the 64-bit regsvr32 (%SystemRoot%\\System32)"
                                   : L"the 32-bit regsvr32 (%SystemRoot%\\SysWOW64)";
}

std::wstring Add(const std::wstring& clsid, REGSAM view) {
    return L"run pelmora-register add " + clsid + L" with the " + Bits(view) +
           L" tool, beside the " + Bits(view) + L" host";
}

std::wstring ClassPath(const std::wstring& clsid) {
    return L"CLSID\\" + clsid;
}

CheckStep Ok(const wchar_t* step, std::wstring text) {
    return {CheckStep::kOk, step, std::move(text), {}};
}

CheckStep Note(const wchar_t* step, std::wstring text, std::wstring fix = {}) {
    return {CheckStep::kNote, step, std::move(text), std::move(fix)};
}

CheckStep Problem(const wchar_t* step, std::wstring text, std::wstring fix) {
    return {CheckStep::kProblem, step, std::move(text), std::move(fix)};
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

struct CClassChecker::Server {
    REGSAM view;
    Root root;
    std::optional<std::wstring> localServer; // LocalServer32's command line
    std::wstring appId;                      // the class's AppID value, as stored
    std::optional<Root> appIdRoot;           // of the AppID's key, when there is one
    std::optional<RegistryValue> surrogate;  // the AppID's DllSurrogate
    bool Serves() const { return localServer || surrogate; }
};

size_t ClientCheck::Problems() const {
    return static_cast<size_t>(std::count_if(steps.begin(), steps.end(), [](const CheckStep& s) {
        return s.status == CheckStep::kProblem;
    }));
}

CClassChecker::CClassChecker(IRegistry& registry, const IFiles& files, REGSAM ownView)
    : m_registry(registry), m_files(files), m_ownView(ownView), m_reader(registry),
      m_view32(m_reader, KEY_WOW64_32KEY), m_view64(m_reader, KEY_WOW64_64KEY) {}

CheckReport CClassChecker::Check(const std::vector<std::wstring>& targets) {
    CheckReport report;
    std::vector<std::wstring> clsids;
    for (const std::wstring& target : targets) {
        // A class registered in either view is worth checking: the other view is often the fault.
        std::wstring refusal;
        int code = kExitOk;
        std::vector<std::wstring> found;
        for (const REGSAM view : {m_ownView, OtherView(m_ownView)}) {
            std::wstring viewRefusal;
            int viewCode = kExitOk;
            CRegistrar registrar(m_registry, m_files, view, {});
            found = registrar.ClassesOf(target, viewRefusal, viewCode);
            if (!found.empty()) {
                break;
            }
            if (refusal.empty()) {
                refusal = viewRefusal;
                code = viewCode;
            } else if (viewRefusal != refusal) {
                refusal +=
                    L" (and the " + std::wstring(Bits(view)) + L" view has no such class either)";
            }
        }
        if (found.empty()) {
            report.errors.push_back(L"pelmora-register: " + refusal);
            if (report.code == kExitOk) {
                report.code = code;
            }
        }
        for (const std::wstring& clsid : found) {
            if (std::find(clsids.begin(), clsids.end(), clsid) == clsids.end()) {
                clsids.push_back(clsid);
            }
        }
    }
    // On 32-bit Windows there is one view and no 64-bit client.
    const std::vector<REGSAM> clients = m_registry.SharesAppIds()
                                            ? std::vector<REGSAM>{KEY_WOW64_32KEY, KEY_WOW64_64KEY}
                                            : std::vector<REGSAM>{KEY_WOW64_32KEY};
    bool problems = false;
    for (const std::wstring& clsid : clsids) {
        ClassCheck cls{clsid, {}, {}};
        for (const REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
            const auto name = View(view).String(ClassPath(clsid) + L"\\ProgID", L"");
            if (cls.progId.empty() && name) {
                cls.progId = *name;
            }
        }
        for (const REGSAM client : clients) {
            cls.clients.push_back(CheckClient(clsid, client));
            problems = problems || cls.clients.back().Problems() > 0;
        }
        report.classes.push_back(std::move(cls));
    }
    if (report.code == kExitOk && problems) {
        report.code = kExitProblems;
    }
    return report;
}

std::optional<CClassChecker::Server> CClassChecker::FindServer(const std::wstring& clsid,
                                                               REGSAM view) const {
    const CClassesView& classes = View(view);
    const auto root = classes.Find(ClassPath(clsid));
    if (!root) {
        return std::nullopt;
    }
    Server server{view, *root, {}, {}, {}, {}};
    if (classes.Find(ClassPath(clsid) + L"\\LocalServer32")) {
        server.localServer = classes.String(ClassPath(clsid) + L"\\LocalServer32", L"");
        if (!server.localServer) {
            server.localServer = L"";
        }
    }
    const auto appId = classes.String(ClassPath(clsid), L"AppID");
    if (appId) {
        server.appId = *appId;
        const std::wstring guid = CanonicalGuid(*appId);
        if (!guid.empty()) {
            server.appIdRoot = classes.Find(L"AppID\\" + guid);
            const auto values = classes.Read(L"AppID\\" + guid);
            server.surrogate = values ? ValueOf(*values, L"DllSurrogate") : std::nullopt;
        }
    }
    return server;
}

ClientCheck CClassChecker::CheckClient(const std::wstring& clsid, REGSAM client) const {
    ClientCheck check{client, {}};
    auto& steps = check.steps;
    // The runtime prefers a server of the client's bitness, else the other's, unless the AppID's
    // PreferredServerBitness says otherwise (Microsoft: "PreferredServerBitness").
    std::optional<Server> own = FindServer(clsid, client);
    std::optional<Server> other = FindServer(clsid, OtherView(client));
    DWORD preferred = 0;
    for (const auto* found : {&own, &other}) {
        if (*found && preferred == 0 && found->value().appIdRoot) {
            const auto values =
                View(found->value().view).Read(L"AppID\\" + CanonicalGuid(found->value().appId));
            const auto value = values ? ValueOf(*values, L"PreferredServerBitness") : std::nullopt;
            if (value && value->type == REG_DWORD && value->data.size() == sizeof(DWORD)) {
                std::memcpy(&preferred, value->data.data(), sizeof(preferred));
            }
        }
    }
    std::vector<const std::optional<Server>*> candidates;
    if (preferred == 1) {
        candidates = {&own};
    } else if (preferred == 2 || preferred == 3) {
        candidates = {(preferred == 3) == (client == KEY_WOW64_64KEY) ? &own : &other};
    } else {
        candidates = {&own, &other};
    }
    std::optional<Server> server;
    for (const auto* candidate : candidates) {
        if (*candidate && (*candidate)->Serves()) {
            server = *candidate;
            break;
        }
    }
    CheckClass(client, server ? server : own ? own : other, own.has_value(), steps);
    if (preferred >= 1 && preferred <= 3 && !server &&
        ((own && own->Serves()) || (other && other->Serves()))) {
        steps.push_back(Problem(
            L"activation",
            L"the AppID's PreferredServerBitness " + std::to_wstring(preferred) +
                L" rules out the " + Bits(own && own->Serves() ? client : OtherView(client)) +
                L" server it has, so activation fails",
            L"delete PreferredServerBitness from the AppID, or register the class for a " +
                std::wstring(preferred == 2   ? L"32-bit"
                             : preferred == 3 ? L"64-bit"
                                              : Bits(client)) +
                L" server"));
        return check;
    }
    const std::optional<Server>& used = server ? server : own ? own : other;
    if (!used) {
        return check;
    }
    if (!server) {
        steps.push_back(Problem(L"activation",
                                L"neither view gives it an out-of-process server: it has no "
                                L"LocalServer32, and no AppID with a DllSurrogate",
                                Add(clsid, used->view)));
    } else if (server->localServer) {
        steps.push_back(
            Problem(L"activation",
                    L"CLSCTX_LOCAL_SERVER starts its LocalServer32 (" + *server->localServer +
                        L") from the " + Bits(server->view) + L" view, not a surrogate",
                    L"delete " + KeyName{server->root, server->view, ClassPath(clsid)}.Text() +
                        L"\\LocalServer32 if the host is to serve the class"));
        return check;
    } else {
        steps.push_back(Ok(L"activation", L"CLSCTX_LOCAL_SERVER starts the AppID's DllSurrogate, "
                                          L"as the " +
                                              std::wstring(Bits(server->view)) +
                                              L" view registers it"));
    }
    // CLSCTX_ALL takes an in-process server of the client's own view first.
    const auto inproc = View(client).String(ClassPath(clsid) + L"\\InprocServer32", L"");
    if (inproc) {
        const std::wstring dll = Locate(*inproc, client);
        const WORD machine = dll.empty() ? 0 : m_files.Machine(dll);
        if (ViewOf(machine) == client) {
            steps.push_back(Note(L"activation", L"CLSCTX_ALL loads " + dll +
                                                    L" into the client instead: only "
                                                    L"CLSCTX_LOCAL_SERVER goes through the host"));
        } else {
            steps.push_back(
                Problem(L"activation",
                        L"CLSCTX_ALL tries to load " + *inproc + L" into the " + Bits(client) +
                            L" client first, which fails" +
                            (machine == 0 ? std::wstring() : L": it is " + MachineName(machine)),
                        L"ask for CLSCTX_LOCAL_SERVER, or keep that InprocServer32 out of the " +
                            std::wstring(Bits(client)) + L" view"));
        }
    } else if (server) {
        steps.push_back(Ok(L"activation", L"CLSCTX_ALL reaches the host too: the " +
                                              std::wstring(Bits(client)) +
                                              L" view has no in-process server for it"));
    }
    const WORD dllMachine = CheckDll(clsid, used->view, steps);
    CheckAppId(*used, dllMachine, steps);
    CheckInterfaces(clsid, client, used->view, dllMachine, steps);
    return check;
}

void CClassChecker::CheckClass(REGSAM client, const std::optional<Server>& server, bool inOwnView,
                               std::vector<CheckStep>& steps) const {
    if (!server) {
        steps.push_back(Problem(L"class", L"not registered in either view",
                                L"run regsvr32 of the DLL's bitness on it"));
        return;
    }
    const std::wstring where =
        std::wstring(RootName(server->root)) + L", " + Bits(server->view) + L" view";
    if (server->view == client) {
        steps.push_back(Ok(L"class", L"found in the client's own view (" + where + L")"));
    } else if (inOwnView) {
        steps.push_back(Ok(L"class", L"found in both views; out of process the runtime uses the "
                                     L"other view's (" +
                                         where + L"), which has the server"));
    } else {
        steps.push_back(Ok(L"class", L"found in the other view only (" + where +
                                         L"), which out-of-process activation also uses"));
    }
    if (server->root == Root::kUser) {
        steps.push_back(Note(L"class",
                             L"registered for this user only: elevated clients and services "
                             L"see only HKLM's classes",
                             L"register the DLL and run pelmora-register add from an elevated "
                             L"prompt to serve them"));
    }
}

WORD CClassChecker::CheckDll(const std::wstring& clsid, REGSAM view,
                             std::vector<CheckStep>& steps) const {
    const CClassesView& classes = View(view);
    const std::wstring key = ClassPath(clsid) + L"\\InprocServer32";
    const auto registered = classes.String(key, L"");
    if (!registered || CModulePath(*registered).Text().empty()) {
        steps.push_back(Problem(L"DLL",
                                L"no InprocServer32 in the " + std::wstring(Bits(view)) +
                                    L" view: the host has no DLL to load",
                                L"run " + Regsvr32(view) + L" on the DLL"));
        return 0;
    }
    const std::wstring dll = Locate(*registered, view);
    if (dll.empty() || !m_files.Exists(dll)) {
        steps.push_back(
            Problem(L"DLL", L"InprocServer32 " + *registered + L" names no file",
                    L"install the DLL, and run " + Regsvr32(view) + L" on it by its full path"));
        return 0;
    }
    const WORD machine = m_files.Machine(dll);
    if (machine == 0) {
        steps.push_back(Problem(L"DLL", dll + L" is not a Windows DLL",
                                L"register the class's real DLL with " + Regsvr32(view)));
        return 0;
    }
    const auto model = classes.String(key, L"ThreadingModel");
    steps.push_back(
        Ok(L"DLL", dll + L", " + MachineName(machine) + L", " +
                       (model && !model->empty()
                            ? L"ThreadingModel " + *model
                            : std::wstring(L"no ThreadingModel (the main apartment)"))));
    return machine;
}

void CClassChecker::CheckAppId(const Server& server, WORD dllMachine,
                               std::vector<CheckStep>& steps) const {
    if (server.localServer) {
        return;
    }
    const std::wstring guid = CanonicalGuid(server.appId);
    if (server.appId.empty() || guid.empty()) {
        steps.push_back(
            Problem(L"AppID",
                    server.appId.empty()
                        ? L"the class has no AppID value, so no DllSurrogate applies"
                        : L"the class's AppID value " + server.appId + L" is not a braced GUID",
                    L"run pelmora-register add with the tool of the DLL's bitness"));
        return;
    }
    if (!server.appIdRoot) {
        steps.push_back(Problem(L"AppID", L"AppID " + guid + L" is not registered",
                                L"run pelmora-register add with the tool of the DLL's bitness"));
        return;
    }
    const std::wstring key = KeyName{*server.appIdRoot, server.view, L"AppID\\" + guid}.Text();
    if (!server.surrogate) {
        steps.push_back(Problem(L"AppID", key + L" has no DllSurrogate",
                                L"run pelmora-register add with the tool of the DLL's bitness"));
    } else if (!server.surrogate->IsString()) {
        steps.push_back(Problem(L"AppID", key + L"'s DllSurrogate is not a string",
                                L"run pelmora-register add --force with the tool of the DLL's "
                                L"bitness"));
    } else {
        const std::wstring text = server.surrogate->Text();
        const CModulePath host(text);
        const size_t start = text.find_first_not_of(L" \t");
        if (host.Text().empty()) {
            steps.push_back(Ok(L"AppID", key + L": an empty DllSurrogate, so the system's own "
                                               L"surrogate of the DLL's bitness serves it"));
        } else if (host.Text().find(L' ') != std::wstring::npos && text[start] != L'"') {
            steps.push_back(Problem(L"AppID",
                                    key + L": DllSurrogate " + text +
                                        L" has a space but no quotes, so the runtime may start " +
                                        host.Text().substr(0, host.Text().find(L' ')) + L" instead",
                                    L"quote the path (pelmora-register add writes it quoted)"));
        } else {
            const std::wstring path = m_files.Resolve(host);
            const WORD machine = path.empty() || !m_files.Exists(path) ? 0 : m_files.Machine(path);
            if (path.empty() || !m_files.Exists(path)) {
                steps.push_back(Problem(L"AppID",
                                        key + L": DllSurrogate names " + host.Text() +
                                            L", which does not exist",
                                        L"install the host there, or run pelmora-register add "
                                        L"with the tool beside the host"));
            } else if (machine == 0) {
                steps.push_back(Problem(
                    L"AppID", key + L": DllSurrogate " + path + L" is not a Windows program",
                    L"run pelmora-register add with the tool of the DLL's "
                    L"bitness"));
            } else if (dllMachine != 0 && ViewOf(machine) != ViewOf(dllMachine)) {
                steps.push_back(
                    Problem(L"AppID",
                            key + L": DllSurrogate " + path + L" is " + MachineName(machine) +
                                L" and the DLL " + MachineName(dllMachine) +
                                L": a host loads DLLs of its own bitness only",
                            L"point it at a host of the DLL's bitness: " +
                                Add(L"<class>", ViewOf(dllMachine).value_or(server.view))));
            } else {
                steps.push_back(Ok(L"AppID", key + L": DllSurrogate " + path + L", " +
                                                 MachineName(machine) +
                                                 (dllMachine != 0 ? L", as the DLL" : L"")));
            }
        }
    }
    const auto values = View(server.view).Read(L"AppID\\" + guid);
    const struct {
        const wchar_t* name;
        const wchar_t* meaning;
    } settings[] = {
        {L"RunAs", L"the account the host runs as"},
        {L"LaunchPermission", L"who may start the host"},
        {L"AccessPermission", L"who may call into the host"},
    };
    for (const auto& setting : settings) {
        const auto value = values ? ValueOf(*values, setting.name) : std::nullopt;
        if (value) {
            steps.push_back(Note(L"AppID", std::wstring(setting.name) +
                                               (value->IsString() ? L" " + value->Text() : L"") +
                                               L" is set: it decides " + setting.meaning));
        }
    }
}

// The file a process of the view's bitness loads for a registered module path: on 64-bit Windows
// each bitness has a system directory of its own, and the tool's is not always the process's.
std::wstring CClassChecker::Locate(const std::wstring& registered, REGSAM view) const {
    const std::wstring path = m_files.Resolve(CModulePath(registered));
    wchar_t windows[MAX_PATH] = {};
    const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (!m_registry.SharesAppIds() || view == m_ownView || length == 0 || length >= MAX_PATH) {
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

std::optional<std::wstring> CClassChecker::InterfaceValue(const std::wstring& iid,
                                                          const std::wstring& subkey,
                                                          const std::wstring& name,
                                                          REGSAM view) const {
    return View(view).String(L"Interface\\" + iid + L"\\" + subkey, name);
}

// The file the TypeLib key registers for the library and the process's platform, else for the
// other platform, which LoadRegTypeLib falls back to (as Wine's conformance tests of
// QueryPathOfRegTypeLib record of Windows). TypeLib is one key for both views on Windows.
CClassChecker::TypeLibraryEntry CClassChecker::TypeLibraryFile(const std::wstring& libId,
                                                               const std::wstring& version,
                                                               REGSAM process) const {
    const std::wstring top = L"TypeLib\\" + libId;
    for (const wchar_t* platform : {Platform(process), Platform(OtherView(process))}) {
        for (const REGSAM view : {process, OtherView(process)}) {
            const CClassesView& classes = View(view);
            const auto root = classes.Find(top);
            if (!root) {
                continue;
            }
            std::vector<std::wstring> versions = m_reader.Subkeys(classes.Key(*root, top));
            // The newest version first, as LoadRegTypeLib takes the highest minor version.
            std::sort(versions.begin(), versions.end(),
                      [](const auto& a, const auto& b) { return Version(a) > Version(b); });
            for (const std::wstring& found : versions) {
                if (!version.empty() && Version(found).first != Version(version).first) {
                    continue;
                }
                const std::wstring at = top + L"\\" + found;
                for (const std::wstring& lcid : m_reader.Subkeys(classes.Key(*root, at))) {
                    const auto file = classes.String(at + L"\\" + lcid + L"\\" + platform, L"");
                    if (file && !file->empty()) {
                        return {*file, platform};
                    }
                }
            }
        }
    }
    return {};
}

void CClassChecker::CheckInterfaces(const std::wstring& clsid, REGSAM client, REGSAM view,
                                    WORD dllMachine, std::vector<CheckStep>& steps) const {
    // The class's own TypeLib key, else the library embedded in its DLL.
    std::optional<std::vector<ClassInterface>> interfaces;
    const auto libId = View(view).String(ClassPath(clsid) + L"\\TypeLib", L"");
    if (libId && !CanonicalGuid(*libId).empty()) {
        const std::wstring file = TypeLibraryFile(CanonicalGuid(*libId), {}, view).file;
        const std::wstring path = file.empty() ? file : Locate(file, view);
        if (!path.empty()) {
            interfaces = m_files.Interfaces(path, clsid);
        }
    }
    if (!interfaces) {
        const auto dll = View(view).String(ClassPath(clsid) + L"\\InprocServer32", L"");
        const std::wstring path = dll ? Locate(*dll, view) : std::wstring();
        if (!path.empty() && m_files.Exists(path)) {
            interfaces = m_files.Interfaces(path, clsid);
        }
    }
    if (!interfaces) {
        steps.push_back(Note(L"interfaces",
                             L"no type library describes the class (none through its TypeLib "
                             L"key, none in its DLL): its custom interfaces could not be checked"));
        return;
    }
    // The proxy is made in the client, the stub in the host, each from its own view.
    const REGSAM host = ViewOf(dllMachine).value_or(view);
    for (const ClassInterface& iface : *interfaces) {
        if (SameName(iface.iid, kIUnknown) || SameName(iface.iid, kIDispatch)) {
            continue;
        }
        const std::wstring named = iface.name + L" " + iface.iid;
        if (iface.kind == ClassInterface::kDispatch) {
            steps.push_back(Ok(L"interfaces", named + L": a dispinterface, called through "
                                                      L"IDispatch, which the system marshals"));
            continue;
        }
        std::wstring fix;
        std::wstring how;
        std::wstring hostHow;
        auto problem = Marshaling(iface, client, L"the client", fix, how);
        if (!problem && host != client) {
            problem = Marshaling(iface, host, L"the host", fix, hostHow);
        }
        if (problem) {
            steps.push_back(Problem(L"interfaces", named + L": " + *problem, fix));
        } else {
            steps.push_back(Ok(L"interfaces", named + L": " + how));
        }
    }
}

// How a process of the view's bitness marshals the interface; why it cannot, when it cannot.
std::optional<std::wstring> CClassChecker::Marshaling(const ClassInterface& iface, REGSAM process,
                                                      const wchar_t* who, std::wstring& fix,
                                                      std::wstring& how) const {
    const std::wstring bits = Bits(process);
    const std::wstring in = std::wstring(L" in ") + who + L" (" + bits + L")";
    // CoGetPSClsid looks in the process's own view, then in the other one (Windows does, as
    // Wine's conformance tests of CoGetPSClsid record).
    std::optional<std::wstring> ps;
    REGSAM found = process;
    for (const REGSAM view : {process, OtherView(process)}) {
        ps = InterfaceValue(iface.iid, L"ProxyStubClsid32", L"", view);
        if (ps && !CanonicalGuid(*ps).empty()) {
            found = view;
            break;
        }
        ps.reset();
    }
    if (!ps) {
        fix = iface.kind == ClassInterface::kCustom
                  ? L"build the interface's proxy/stub DLL for both bitnesses and register each "
                    L"with the regsvr32 of its bitness"
                  : L"register the class's type library (the DLL's DllRegisterServer, or "
                    L"RegisterTypeLib) in both views";
        return L"no Interface key with a ProxyStubClsid32 in either view, so the runtime cannot "
               L"marshal it (E_NOINTERFACE)";
    }
    const std::wstring psClsid = CanonicalGuid(*ps);
    std::wstring where = found == process ? std::wstring()
                                          : L", registered in the " + std::wstring(Bits(found)) +
                                                L" view only, which the runtime also reads";
    if (SameName(psClsid, kDispatchMarshaler)) {
        how = L"the system's dispatch marshaler" + where;
        return std::nullopt;
    }
    if (SameName(psClsid, kTypeLibMarshaler)) {
        const auto libId = InterfaceValue(iface.iid, L"TypeLib", L"", found);
        const auto version = InterfaceValue(iface.iid, L"TypeLib", L"Version", found);
        if (!libId || CanonicalGuid(*libId).empty()) {
            fix = L"register the class's type library (the DLL's DllRegisterServer, or "
                  L"RegisterTypeLib)";
            return L"the type-library marshaler finds no TypeLib under its Interface key "
                   L"(TYPE_E_LIBNOTREGISTERED)";
        }
        const std::wstring library = CanonicalGuid(*libId);
        const TypeLibraryEntry entry = TypeLibraryFile(library, version.value_or(L""), process);
        const std::wstring file = entry.file.empty() ? entry.file : Locate(entry.file, process);
        if (file.empty() || !m_files.Exists(file)) {
            fix = L"register the class's type library (the DLL's DllRegisterServer, or "
                  L"RegisterTypeLib)";
            return L"the type-library marshaler" + in + L" needs TypeLib " + library + L" " +
                   version.value_or(L"") +
                   (entry.file.empty() ? std::wstring(L", which is not registered")
                                       : L", whose file " + entry.file + L" does not exist") +
                   L" (TYPE_E_LIBNOTREGISTERED)";
        }
        if (entry.platform != Platform(process)) {
            where += L"; the library is registered for " + entry.platform +
                     L" only, which LoadRegTypeLib falls back to";
        }
        how = L"the type-library marshaler, with TypeLib " + library + where;
        return std::nullopt;
    }
    // A proxy/stub class is loaded in process: only its registration in the process's own view,
    // with a DLL of the process's bitness, will do.
    const std::wstring dllFix = L"build the proxy/stub DLL of " + iface.name + L" " + iface.iid +
                                L" as " + bits + L" and register it with " + Regsvr32(process) +
                                L" (it registers proxy/stub class " + psClsid + L")";
    const auto dll = View(process).String(ClassPath(psClsid) + L"\\InprocServer32", L"");
    if (!dll) {
        fix = dllFix;
        return L"its proxy/stub class " + psClsid + L" is not registered in the " + bits +
               L" view, so" + in +
               L" the runtime cannot marshal it (E_NOINTERFACE or REGDB_E_CLASSNOTREG)";
    }
    const std::wstring path = Locate(*dll, process);
    const WORD machine = path.empty() || !m_files.Exists(path) ? 0 : m_files.Machine(path);
    if (ViewOf(machine) != process) {
        fix = dllFix;
        return L"its proxy/stub class " + psClsid + L" names " + *dll + L", " +
               (machine == 0 ? std::wstring(L"which does not exist")
                             : L"which is " + MachineName(machine)) +
               L", so" + in +
               L" the runtime cannot marshal it (E_NOINTERFACE or REGDB_E_CLASSNOTREG)";
    }
    how = L"proxy/stub class " + psClsid + where;
    return std::nullopt;
}

namespace {

std::wstring Status(CheckStep::Status status) {
    return status == CheckStep::kOk ? L"ok" : status == CheckStep::kNote ? L"note" : L"problem";
}

std::wstring Verdict(const ClientCheck& client) {
    const size_t problems = client.Problems();
    return std::wstring(Bits(client.view)) + L" clients: " +
           (problems == 0 ? std::wstring(L"ok")
                          : L"will fail (" + std::to_wstring(problems) +
                                (problems == 1 ? L" problem)" : L" problems)"));
}

std::wstring Quoted(const std::wstring& text) {
    std::wstring quoted = L"\"";
    for (const wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            quoted += L'\\';
            quoted += c;
        } else if (c < 0x20) {
            wchar_t escape[8] = {};
            swprintf(escape, 8, L"\\u%04x", static_cast<unsigned>(c));
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + L"\"";
}

} // namespace

std::vector<std::wstring> CheckLines(const CheckReport& report) {
    std::vector<std::wstring> lines;
    for (const ClassCheck& cls : report.classes) {
        lines.push_back(cls.progId.empty() ? cls.clsid : cls.clsid + L" " + cls.progId);
        for (const ClientCheck& client : cls.clients) {
            lines.push_back(L"  " + std::wstring(Bits(client.view)) + L" client:");
            for (const CheckStep& step : client.steps) {
                std::wstring status = Status(step.status);
                status.resize(8, L' ');
                lines.push_back(L"    " + status + step.step + L": " + step.text);
                if (!step.fix.empty()) {
                    lines.push_back(L"            fix: " + step.fix);
                }
            }
        }
        for (const ClientCheck& client : cls.clients) {
            lines.push_back(L"  " + Verdict(client));
        }
    }
    return lines;
}

std::wstring CheckJson(const CheckReport& report) {
    std::wstring json = L"{\"exitCode\":" + std::to_wstring(report.code) + L",\"errors\":[";
    for (size_t i = 0; i < report.errors.size(); ++i) {
        json += (i == 0 ? L"" : L",") + Quoted(report.errors[i]);
    }
    json += L"],\"classes\":[";
    for (size_t c = 0; c < report.classes.size(); ++c) {
        const ClassCheck& cls = report.classes[c];
        json += (c == 0 ? L"{" : L",{") + std::wstring(L"\"clsid\":") + Quoted(cls.clsid) +
                L",\"progId\":" + Quoted(cls.progId) + L",\"clients\":[";
        for (size_t k = 0; k < cls.clients.size(); ++k) {
            const ClientCheck& client = cls.clients[k];
            json += (k == 0 ? L"{" : L",{") + std::wstring(L"\"bitness\":") +
                    (client.view == KEY_WOW64_64KEY ? L"64" : L"32") + L",\"verdict\":" +
                    (client.Problems() == 0 ? L"\"ok\"" : L"\"will fail\"") + L",\"problems\":" +
                    std::to_wstring(client.Problems()) + L",\"steps\":[";
            for (size_t s = 0; s < client.steps.size(); ++s) {
                const CheckStep& step = client.steps[s];
                json += (s == 0 ? L"{" : L",{") + std::wstring(L"\"step\":") + Quoted(step.step) +
                        L",\"status\":" + Quoted(Status(step.status)) + L",\"text\":" +
                        Quoted(step.text) + L",\"fix\":" + Quoted(step.fix) + L"}";
            }
            json += L"]}";
        }
        json += L"]}";
    }
    return json + L"]}";
}
