#include "Findings.h"

#include "Targets.h"

namespace {

constexpr auto kOk = CheckStep::kOk;
constexpr auto kNote = CheckStep::kNote;
constexpr auto kWarning = CheckStep::kWarning;
constexpr auto kProblem = CheckStep::kProblem;
constexpr const wchar_t* kIUnknown = L"{00000000-0000-0000-C000-000000000046}";
constexpr const wchar_t* kIDispatch = L"{00020400-0000-0000-C000-000000000046}";
// The system's marshalers that a ProxyStubClsid32 may name.
constexpr const wchar_t* kTypeLibMarshaler = L"{00020424-0000-0000-C000-000000000046}";
constexpr const wchar_t* kDispatchMarshaler = L"{00020420-0000-0000-C000-000000000046}";

std::wstring AddWith(REGSAM view, const std::wstring& clsid, bool force = false) {
    return L"run " + std::wstring(Tool(view)) + (force ? L" add --force " : L" add ") + clsid;
}

// The view whose host suits the class's DLL there: that of the DLL's machine.
REGSAM DllView(const ClassRegistration& in) {
    return in.dll && in.dll->exists ? ViewOf(in.dll->image.machine).value_or(in.view) : in.view;
}

bool IsDotNet(const ClassRegistration& in) {
    const std::wstring& named = in.dll ? in.dll->named : L"";
    return named.size() >= 11 && SameName(named.substr(named.size() - 11), L"mscoree.dll");
}

// How a process of the view's bitness marshals the interface: how, or the problem why it cannot.
bool Marshals(const InterfaceFacts& facts, REGSAM process, const wchar_t* who, std::wstring& how,
              CheckStep& problem) {
    const MarshalFacts& m = facts.In(process);
    const std::wstring bits = Bits(process);
    const std::wstring named = facts.iface.name + L" " + facts.iface.iid + L": ";
    const std::wstring in = std::wstring(L" in ") + who + L" (" + bits + L")";
    const std::wstring typeLibFix = L"register the class's type library (the DLL's "
                                    L"DllRegisterServer, or RegisterTypeLib)";
    problem = {kProblem, L"interfaces", L"interfaceNotRegistered", E_NOINTERFACE, named, {}};
    if (!m.foundIn) {
        problem.text += L"no Interface key with a ProxyStubClsid32 in either view, so the runtime "
                        L"cannot marshal it (E_NOINTERFACE)";
        problem.fix = facts.iface.kind == ClassInterface::kCustom
                          ? L"build the interface's proxy/stub DLL for both bitnesses and register "
                            L"each with the regsvr32 of its bitness"
                          : typeLibFix + L" in both views";
        return false;
    }
    std::wstring where = *m.foundIn == process
                             ? std::wstring()
                             : L", its Interface key in the " + std::wstring(Bits(*m.foundIn)) +
                                   L" view only, which the runtime also reads";
    if (SameName(m.proxyStub, kDispatchMarshaler)) {
        how = L"the system's dispatch marshaler" + where;
        return true;
    }
    if (SameName(m.proxyStub, kTypeLibMarshaler)) {
        problem.id = L"typeLibNotRegistered";
        problem.hresult = TYPE_E_LIBNOTREGISTERED;
        problem.fix = typeLibFix;
        if (m.libId.empty()) {
            problem.text += L"the type-library marshaler finds no TypeLib under its Interface key "
                            L"(TYPE_E_LIBNOTREGISTERED)";
            return false;
        }
        if (!m.library || !m.library->exists) {
            problem.text +=
                L"the type-library marshaler" + in + L" needs TypeLib " + m.libId + L" " +
                m.version +
                (m.library ? L", whose file " + m.library->registered + L" does not exist"
                           : std::wstring(L", which is not registered")) +
                L" (TYPE_E_LIBNOTREGISTERED)";
            return false;
        }
        if (m.platform != (process == KEY_WOW64_64KEY ? L"win64" : L"win32")) {
            where += L"; the library is registered for " + m.platform +
                     L" only, which LoadRegTypeLib falls back to";
        }
        how = L"the type-library marshaler, with TypeLib " + m.libId + where;
        return true;
    }
    // A proxy/stub class is loaded in process: only a DLL of the process's bitness will do.
    problem.fix = L"build the proxy/stub DLL of " + facts.iface.name + L" " + facts.iface.iid +
                  L" as " + bits + L" and register it with " + Regsvr32(process) +
                  L" (it registers proxy/stub class " + m.proxyStub + L")";
    const WORD machine =
        m.proxyStubDll && m.proxyStubDll->exists ? m.proxyStubDll->image.machine : 0;
    if (!m.proxyStubDll) {
        problem.id = L"proxyStubNotRegistered";
        problem.text += L"its proxy/stub class " + m.proxyStub + L" is not registered in the " +
                        bits + L" view, so" + in;
    } else if (ViewOf(machine) != process) {
        problem.id = L"proxyStubOfOtherBitness";
        problem.text += L"its proxy/stub class " + m.proxyStub + L" names " +
                        m.proxyStubDll->registered + L", " +
                        (machine == 0 ? std::wstring(L"which does not exist")
                                      : L"which is " + MachineName(machine)) +
                        L", so" + in;
    } else {
        how = L"proxy/stub class " + m.proxyStub + where;
        return true;
    }
    problem.text += L" the runtime cannot marshal it (E_NOINTERFACE or REGDB_E_CLASSNOTREG)";
    return false;
}

void JudgeInterfaces(const ClassFacts& facts, REGSAM client, REGSAM host,
                     std::vector<CheckStep>& steps) {
    if (!facts.interfaces) {
        steps.push_back({kNote, L"interfaces", L"noTypeLibrary", S_OK,
                         L"no type library describes the class (none through its TypeLib key, "
                         L"none in its DLL): its custom interfaces could not be checked"});
        return;
    }
    for (const InterfaceFacts& iface : *facts.interfaces) {
        const std::wstring named = iface.iface.name + L" " + iface.iface.iid + L": ";
        if (SameName(iface.iface.iid, kIUnknown) || SameName(iface.iface.iid, kIDispatch)) {
            continue;
        }
        std::wstring how;
        std::wstring hostHow;
        CheckStep problem{};
        if (iface.iface.kind == ClassInterface::kDispatch) {
            steps.push_back({kOk, L"interfaces", nullptr, S_OK,
                             named + L"a dispinterface, called through IDispatch, which the "
                                     L"system marshals"});
        } else if (!Marshals(iface, client, L"the client", how, problem) ||
                   (host != client && !Marshals(iface, host, L"the host", hostHow, problem))) {
            // The proxy is made in the client, the stub in the host, each from its own view.
            steps.push_back(problem);
        } else {
            steps.push_back({kOk, L"interfaces", nullptr, S_OK, named + how});
        }
    }
}

// One problem where no view gives the class a server: why its registration names no surrogate.
CheckStep NoServer(const ClassFacts& facts, const ClassRegistration& in) {
    const AppIdFacts& app = in.appId;
    CheckStep step{kProblem,
                   L"appId",
                   L"noDllSurrogate",
                   REGDB_E_CLASSNOTREG,
                   {},
                   AddWith(DllView(in), facts.clsid)};
    if (!app.value) {
        step.id = L"noAppId";
        step.text = L"the class has no AppID value";
    } else if (app.guid.empty()) {
        step.id = L"appIdNotGuid";
        step.text = L"the class's AppID value " +
                    (app.value->IsString() ? app.value->Text() : app.value->TypeName()) +
                    L" is not a braced GUID";
    } else if (!app.root) {
        step.id = L"appIdNotRegistered";
        step.text = L"AppID " + app.guid + L" is not registered";
    } else {
        step.text =
            KeyName{*app.root, in.view, L"AppID\\" + app.guid}.Text() + L" has no DllSurrogate";
    }
    step.text += L", so no view gives the class an out-of-process server (REGDB_E_CLASSNOTREG)";
    return step;
}

} // namespace

std::vector<CheckStep> Judge(const ClassFacts& facts, REGSAM client) {
    std::vector<CheckStep> steps;
    const std::wstring& clsid = facts.clsid;
    const ClassRegistration& own = facts.In(client);
    const ClassRegistration& other = facts.In(OtherView(client));
    if (!own.root && !other.root) {
        steps.push_back({kProblem, L"class", L"classNotRegistered", REGDB_E_CLASSNOTREG,
                         L"not registered in either view (REGDB_E_CLASSNOTREG)",
                         L"register its DLL with the regsvr32 of the DLL's bitness"});
        return steps;
    }
    // The runtime prefers a server of the client's bitness, else the other's, unless the AppID's
    // PreferredServerBitness says otherwise (Microsoft: "PreferredServerBitness").
    const DWORD preferred =
        own.appId.preferredBitness ? own.appId.preferredBitness : other.appId.preferredBitness;
    std::vector<const ClassRegistration*> candidates = {&own, &other};
    if (preferred == 1) {
        candidates = {&own};
    } else if (preferred == 2 || preferred == 3) {
        candidates = {(preferred == 3) == (client == KEY_WOW64_64KEY) ? &own : &other};
    }
    const ClassRegistration* server = nullptr;
    for (const ClassRegistration* candidate : candidates) {
        server = server == nullptr && candidate->Serves() ? candidate : server;
    }
    const ClassRegistration& used = server ? *server : own.root ? own : other;
    const std::wstring where =
        std::wstring(RootName(*used.root)) + L", " + Bits(used.view) + L" view";
    steps.push_back({kOk, L"class", nullptr, S_OK,
                     used.view == client ? L"found in the client's own view (" + where + L")"
                     : own.root ? L"found in both views; out of process the runtime uses the "
                                  L"other view's (" +
                                      where + L"), which has the server"
                                : L"found in the other view only (" + where +
                                      L"), which out-of-process activation also uses"});
    if (*used.root == Root::kUser) {
        steps.push_back({kNote, L"class", L"perUserOnly", S_OK,
                         L"registered for this user only: elevated clients and services see only "
                         L"HKLM's classes",
                         L"register the DLL and run pelmora-register add from an elevated prompt "
                         L"to serve them"});
    }
    if (!server && preferred >= 1 && preferred <= 3 && (own.Serves() || other.Serves())) {
        steps.push_back(
            {kProblem, L"activation", L"preferredBitnessRulesOut", REGDB_E_CLASSNOTREG,
             L"the AppID's PreferredServerBitness " + std::to_wstring(preferred) +
                 L" rules out the " + Bits(own.Serves() ? client : OtherView(client)) +
                 L" server it has, so activation fails",
             L"delete PreferredServerBitness from the AppID, or register the class for a " +
                 std::wstring(preferred == 2   ? L"32-bit"
                              : preferred == 3 ? L"64-bit"
                                               : Bits(client)) +
                 L" server"});
        return steps;
    }
    if (!server) {
        steps.push_back(NoServer(facts, used));
        return steps;
    }
    const AppIdFacts& app = server->appId;
    const std::wstring appKey =
        KeyName{app.root.value_or(Root::kMachine), server->view, L"AppID\\" + app.guid}.Text();
    const std::wstring classKey = KeyName{*server->root, server->view, L"CLSID\\" + clsid}.Text();
    // The runtime's order: the AppID's service, then LocalServer32, then the surrogate.
    if (app.localService || server->localServer) {
        steps.push_back(
            app.localService
                ? CheckStep{kProblem, L"activation", L"localService", S_OK,
                            L"CLSCTX_LOCAL_SERVER starts the service " + *app.localService +
                                L" that the AppID's LocalService names, when it is installed, "
                                L"not a surrogate",
                            L"delete LocalService from " + appKey +
                                L", or give the class an AppID of its own, if the host is to "
                                L"serve it"}
                : CheckStep{kProblem, L"activation", L"localServer", S_OK,
                            L"CLSCTX_LOCAL_SERVER starts its LocalServer32 (" +
                                *server->localServer + L") from the " + Bits(server->view) +
                                L" view, not a surrogate",
                            L"delete " + classKey +
                                L"\\LocalServer32 if the host is to serve "
                                L"the class"});
        return steps;
    }
    steps.push_back({kOk, L"activation", nullptr, S_OK,
                     L"CLSCTX_LOCAL_SERVER starts the AppID's DllSurrogate, as the " +
                         std::wstring(Bits(server->view)) + L" view registers it"});
    // CLSCTX_ALL takes an in-process server of the client's own view first.
    const WORD ownMachine = own.dll && own.dll->exists ? own.dll->image.machine : 0;
    if (own.dll && ViewOf(ownMachine) == client) {
        steps.push_back({kNote, L"activation", L"inprocInTheClient", S_OK,
                         L"CLSCTX_ALL loads " + own.dll->path +
                             L" into the client instead: only CLSCTX_LOCAL_SERVER goes through "
                             L"the host"});
    } else if (own.dll) {
        steps.push_back(
            {kProblem, L"activation", L"inprocOfOtherBitness",
             HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT),
             L"CLSCTX_ALL tries to load " + own.dll->registered + L" into the " + Bits(client) +
                 L" client first, which fails" +
                 (ownMachine == 0 ? std::wstring() : L": it is " + MachineName(ownMachine)),
             L"ask for CLSCTX_LOCAL_SERVER, or keep that InprocServer32 out of the " +
                 std::wstring(Bits(client)) + L" view"});
    } else {
        steps.push_back({kOk, L"activation", nullptr, S_OK,
                         L"CLSCTX_ALL reaches the host too: the " + std::wstring(Bits(client)) +
                             L" view has no in-process server for it"});
    }
    // What the surrogate is: the program CreateProcess starts, and so the view its DLL comes from.
    REGSAM hostView = server->view; // the system's surrogate is of the registration's bitness
    const size_t problems = steps.size();
    if (!app.surrogate->IsString()) {
        steps.push_back({kProblem, L"appId", L"surrogateNotString", CO_E_SERVER_EXEC_FAILURE,
                         appKey + L"'s DllSurrogate is a " + app.surrogate->TypeName() +
                             L" value, not a string",
                         AddWith(DllView(*server), clsid, true)});
        return steps;
    } else if (!app.host) {
        steps.push_back({kOk, L"appId", nullptr, S_OK,
                         appKey +
                             L": an empty DllSurrogate, so the system's own surrogate of the " +
                             Bits(hostView) + L" view serves it"});
    } else {
        const std::wstring text = app.surrogate->Text();
        if (app.executable && !app.sameProgram) {
            steps.push_back({kProblem, L"appId", L"surrogateExecutableDiffers", S_OK,
                             appKey + L": the runtime starts DllSurrogateExecutable " +
                                 app.executableHost->registered + L", giving it DllSurrogate " +
                                 text + L" only as its command line",
                             L"delete DllSurrogateExecutable from the AppID, or " +
                                 AddWith(DllView(*server), clsid, true) + L", which replaces it"});
        } else if (!app.executable && app.host->named.find(L' ') != std::wstring::npos &&
                   text[text.find_first_not_of(L" \t")] != L'"') {
            steps.push_back({kWarning, L"appId", L"unquotedHostPath", S_OK,
                             appKey + L": DllSurrogate " + text +
                                 L" has a space but no quotes, so the runtime may start " +
                                 app.host->named.substr(0, app.host->named.find(L' ')) +
                                 L" instead",
                             AddWith(DllView(*server), clsid) + L", which writes it quoted"});
        }
        const FileFacts& host = app.executable ? *app.executableHost : *app.host;
        const std::wstring value = app.executable ? L"DllSurrogateExecutable " : L"DllSurrogate ";
        if (!host.exists) {
            steps.push_back(
                {kProblem, L"appId", L"hostMissing", HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
                 appKey + L": " + value + L"names " + host.named + L", which does not exist",
                 L"install the host there, or run pelmora-register add with the tool "
                 L"beside the host"});
            return steps;
        }
        if (!ViewOf(host.image.machine) || host.image.dll) {
            steps.push_back({kProblem, L"appId", L"hostNotAProgram", CO_E_SERVER_EXEC_FAILURE,
                             appKey + L": " + value + host.path + L" is not a Windows program",
                             AddWith(DllView(*server), clsid, true)});
            return steps;
        }
        hostView = *ViewOf(host.image.machine);
        if (steps.size() == problems) {
            steps.push_back(
                {kOk, L"appId", nullptr, S_OK,
                 appKey + L": " + value + host.path + L", " + MachineName(host.image.machine)});
        }
    }
    for (const auto& [name, text] : app.settings) {
        steps.push_back({kNote, L"appId", L"securitySetting", S_OK,
                         name + (text.empty() ? L"" : L" " + text) + L" is set: it decides " +
                             (name == L"RunAs"              ? L"the account the host runs as"
                              : name == L"LaunchPermission" ? L"who may start the host"
                                                            : L"who may call into the host")});
    }
    // The host takes the class from its own view, whichever view's registration started it.
    const ClassRegistration& loaded = facts.In(hostView);
    const ClassRegistration& alt = facts.In(OtherView(hostView));
    const std::wstring hostBits = Bits(hostView);
    const WORD machine = loaded.dll && loaded.dll->exists ? loaded.dll->image.machine : 0;
    if (!loaded.root || !loaded.dll) {
        const bool altFits = alt.dll && alt.dll->exists && DllView(alt) == alt.view;
        steps.push_back(
            {kProblem, L"dll", L"dllNotRegistered", CO_E_SERVER_EXEC_FAILURE,
             L"the host (" + hostBits + L") takes the class from the " + hostBits +
                 L" view, where it has no InprocServer32",
             L"register the class's " + hostBits + L" DLL with " +
                 (IsDotNet(alt) ? Regasm(hostView) : Regsvr32(hostView)) +
                 (altFits ? L", or point the AppID at the " + std::wstring(Bits(alt.view)) +
                                L" host: " + AddWith(alt.view, clsid, true)
                          : L"")});
        return steps;
    }
    if (!loaded.dll->exists) {
        steps.push_back(
            {kProblem, L"dll", L"dllMissing", CO_E_SERVER_EXEC_FAILURE,
             L"InprocServer32 " + loaded.dll->registered + L" names no file",
             L"install the DLL, and run " + Regsvr32(hostView) + L" on it by its full path"});
        return steps;
    }
    if (!ViewOf(machine) || !loaded.dll->image.dll) {
        steps.push_back({kProblem, L"dll", L"dllNotADll", CO_E_SERVER_EXEC_FAILURE,
                         loaded.dll->path + L" is not a Windows DLL",
                         L"register the class's real DLL with " + Regsvr32(hostView)});
        return steps;
    }
    if (*ViewOf(machine) != hostView) {
        steps.push_back({kProblem, L"dll", L"dllOfOtherBitness", CO_E_SERVER_EXEC_FAILURE,
                         L"the host (" + hostBits + L") cannot load " + loaded.dll->path +
                             L", the DLL " + MachineName(machine) +
                             L": a host loads DLLs of its own bitness only",
                         L"register it with " + Regsvr32(*ViewOf(machine)) + L", then " +
                             AddWith(*ViewOf(machine), clsid, true)});
        return steps;
    }
    steps.push_back({kOk, L"dll", nullptr, S_OK,
                     L"the host (" + hostBits + L") loads " + loaded.dll->path + L", " +
                         MachineName(machine) + L", " +
                         (loaded.threadingModel.empty()
                              ? std::wstring(L"no ThreadingModel (the main apartment)")
                              : L"ThreadingModel " + loaded.threadingModel)});
    if (hostView != client && DllView(own) == client && own.dll && own.dll->exists) {
        steps.push_back({kNote, L"dll", L"otherBitnessDll", S_OK,
                         L"the class is registered for both bitnesses, but its AppID names one "
                         L"host for both, so this client gets the " +
                             hostBits + L" DLL",
                         L"to use " + own.dll->path +
                             L", create the class in process "
                             L"(CLSCTX_INPROC_SERVER) instead"});
    }
    JudgeInterfaces(facts, client, hostView, steps);
    return steps;
}
