#include "ClassCheck.h"

#include "Targets.h"

namespace {

constexpr auto kOk = CheckStep::kOk;
constexpr auto kNote = CheckStep::kNote;
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
    return in.dll && SameName(CModulePath(in.dll->named).FileName(), L"mscoree.dll");
}

// How a process of the view's bitness marshals the interface: how, or the problem why it cannot.
bool Marshals(const InterfaceFacts& facts, REGSAM process, const wchar_t* who, std::wstring& how,
              CheckStep& problem) {
    const MarshalFacts& m = facts.In(process);
    const std::wstring bits = Bits(process);
    const std::wstring in = std::wstring(L" in ") + who + L" (" + bits + L")";
    const std::wstring typeLibFix =
        L"register the class's type library (the DLL's DllRegisterServer, or RegisterTypeLib)";
    problem = {kProblem, L"interfaces", L"interfaceNotRegistered", E_NOINTERFACE,
               facts.iface.name + L" " + facts.iface.iid + L": "};
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
        problem = {kProblem,     L"interfaces", L"typeLibNotRegistered", TYPE_E_LIBNOTREGISTERED,
                   problem.text, typeLibFix};
        problem.text +=
            m.libId.empty()
                ? L"the type-library marshaler finds no TypeLib under its Interface "
                  L"key (TYPE_E_LIBNOTREGISTERED)"
                : L"the type-library marshaler" + in + L" needs TypeLib " + m.libId + L" " +
                      m.version +
                      (m.library ? L", whose file " + m.library->registered + L" does not exist"
                                 : std::wstring(L", which is not registered")) +
                      L" (TYPE_E_LIBNOTREGISTERED)";
        if (m.libId.empty() || !m.library || !m.library->exists) {
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
    const WORD machine =
        m.proxyStubDll && m.proxyStubDll->exists ? m.proxyStubDll->image.machine : 0;
    if (m.proxyStubDll && ViewOf(machine) == process) {
        how = L"proxy/stub class " + m.proxyStub + where;
        return true;
    }
    problem.id = m.proxyStubDll ? L"proxyStubOfOtherBitness" : L"proxyStubNotRegistered";
    problem.text += L"its proxy/stub class " + m.proxyStub +
                    (!m.proxyStubDll ? L" is not registered in the " + bits + L" view"
                                     : L" names " + m.proxyStubDll->registered + L", " +
                                           (machine == 0 ? std::wstring(L"which does not exist")
                                                         : L"which is " + MachineName(machine))) +
                    L", so" + in +
                    L" the runtime cannot marshal it (E_NOINTERFACE or REGDB_E_CLASSNOTREG)";
    problem.fix = L"build the proxy/stub DLL of " + facts.iface.name + L" " + facts.iface.iid +
                  L" as " + bits + L" and register it with " + Regsvr32(process) +
                  L" (it registers proxy/stub class " + m.proxyStub + L")";
    return false;
}

void JudgeInterfaces(const ClassFacts& facts, REGSAM client, REGSAM host,
                     std::vector<CheckStep>& steps) {
    if (!facts.interfaces) {
        steps.push_back({kNote, L"interfaces", L"noTypeLibrary", S_OK,
                         L"no type library describes the class: its custom interfaces could not "
                         L"be checked"});
        return;
    }
    for (const InterfaceFacts& iface : *facts.interfaces) {
        std::wstring how, hostHow;
        CheckStep problem{};
        if (SameName(iface.iface.iid, kIUnknown) || SameName(iface.iface.iid, kIDispatch)) {
            continue;
        } else if (iface.iface.kind == ClassInterface::kDispatch) {
            how = L"a dispinterface, called through IDispatch, which the system marshals";
        } else if (!Marshals(iface, client, L"the client", how, problem) ||
                   (host != client && !Marshals(iface, host, L"the host", hostHow, problem))) {
            // The proxy is made in the client, the stub in the host, each from its own view.
            steps.push_back(problem);
            continue;
        }
        steps.push_back({kOk, L"interfaces", nullptr, S_OK,
                         iface.iface.name + L" " + iface.iface.iid + L": " + how});
    }
}

// One problem where no view gives the class a server: why its registration names no surrogate.
CheckStep NoServer(const ClassFacts& facts, const ClassRegistration& in) {
    const AppIdFacts& app = in.appId;
    const std::wstring why =
        !app.value ? L"the class has no AppID value"
        : app.guid.empty()
            ? L"the class's AppID value " +
                  (app.value->IsString() ? app.value->Text() : app.value->TypeName()) +
                  L" is not a braced GUID"
        : !app.root
            ? L"AppID " + app.guid + L" is not registered"
            : KeyName{*app.root, in.view, L"AppID\\" + app.guid}.Text() + L" has no DllSurrogate";
    return {kProblem,
            L"appId",
            !app.value         ? L"noAppId"
            : app.guid.empty() ? L"appIdNotGuid"
            : !app.root        ? L"appIdNotRegistered"
                               : L"noDllSurrogate",
            REGDB_E_CLASSNOTREG,
            why + L", so no view gives the class an out-of-process server (REGDB_E_CLASSNOTREG)",
            AddWith(DllView(in), facts.clsid)};
}

// The server out-of-process activation finds for the client: of its own bitness, else the
// other's, unless the AppID's PreferredServerBitness says otherwise (Microsoft:
// "PreferredServerBitness"). None where no view has one, or where that value rules it out.
const ClassRegistration* Server(const ClassFacts& facts, REGSAM client, DWORD preferred) {
    const ClassRegistration* first = &facts.In(client);
    const ClassRegistration* then = &facts.In(OtherView(client));
    if (preferred == 2 || preferred == 3) {
        first = (preferred == 3) == (client == KEY_WOW64_64KEY) ? first : then;
    }
    const bool only = preferred >= 1 && preferred <= 3;
    return first->Serves() ? first : !only && then->Serves() ? then : nullptr;
}

// What activation starts: the AppID's service, else LocalServer32, else the surrogate, from
// which the host's view follows; nothing when it is not the host.
std::optional<REGSAM> JudgeStart(const ClassFacts& facts, const ClassRegistration& server,
                                 REGSAM client, std::vector<CheckStep>& steps) {
    const AppIdFacts& app = server.appId;
    const ClassRegistration& own = facts.In(client);
    const std::wstring appKey =
        KeyName{app.root.value_or(Root::kMachine), server.view, L"AppID\\" + app.guid}.Text();
    const std::wstring fix = AddWith(DllView(server), facts.clsid, true);
    if (app.localService) {
        steps.push_back(
            {kProblem, L"activation", L"localService", S_OK,
             L"CLSCTX_LOCAL_SERVER starts the service " + *app.localService +
                 L" that the AppID's LocalService names (if installed), not a surrogate",
             L"delete LocalService from " + appKey + L", or give the class an AppID of its own"});
        return std::nullopt;
    }
    if (server.localServer) {
        steps.push_back({kProblem, L"activation", L"localServer", S_OK,
                         L"CLSCTX_LOCAL_SERVER starts its LocalServer32 (" + *server.localServer +
                             L") from the " + Bits(server.view) + L" view, not a surrogate",
                         L"delete " +
                             KeyName{*server.root, server.view, L"CLSID\\" + facts.clsid}.Text() +
                             L"\\LocalServer32 if the host is to serve the class"});
        return std::nullopt;
    }
    steps.push_back({kOk, L"activation", nullptr, S_OK,
                     L"CLSCTX_LOCAL_SERVER starts the AppID's DllSurrogate, as the " +
                         std::wstring(Bits(server.view)) + L" view registers it"});
    // CLSCTX_ALL takes an in-process server of the client's own view first.
    const WORD machine = own.dll && own.dll->exists ? own.dll->image.machine : 0;
    steps.push_back(
        !own.dll ? CheckStep{kOk, L"activation", nullptr, S_OK,
                             L"CLSCTX_ALL reaches the host too: the " + std::wstring(Bits(client)) +
                                 L" view has no in-process server for it"}
        : ViewOf(machine) == client
            ? CheckStep{kNote, L"activation", L"inprocInTheClient", S_OK,
                        L"CLSCTX_ALL loads " + own.dll->path +
                            L" into the client instead: only CLSCTX_LOCAL_SERVER goes through "
                            L"the host"}
            : CheckStep{kProblem, L"activation", L"inprocOfOtherBitness",
                        HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT),
                        L"CLSCTX_ALL tries to load " + own.dll->registered + L" into the " +
                            Bits(client) + L" client first, which fails" +
                            (machine == 0 ? std::wstring() : L": it is " + MachineName(machine)),
                        L"ask for CLSCTX_LOCAL_SERVER, or keep that InprocServer32 out of the " +
                            std::wstring(Bits(client)) + L" view"});
    for (const auto& [name, text] : app.settings) {
        steps.push_back({kNote, L"appId", L"securitySetting", S_OK,
                         name + (text.empty() ? L"" : L" " + text) + L" is set: it decides " +
                             (name == L"RunAs"              ? L"the account the host runs as"
                              : name == L"LaunchPermission" ? L"who may start the host"
                                                            : L"who may call into the host")});
    }
    if (!app.surrogate->IsString()) {
        steps.push_back({kProblem, L"appId", L"surrogateNotString", CO_E_SERVER_EXEC_FAILURE,
                         appKey + L"'s DllSurrogate is a " + app.surrogate->TypeName() +
                             L" value, not a string",
                         fix});
        return std::nullopt;
    }
    if (!app.host) {
        steps.push_back({kOk, L"appId", nullptr, S_OK,
                         appKey +
                             L": an empty DllSurrogate, so the system's own surrogate of the " +
                             Bits(server.view) + L" view serves it"});
        return server.view;
    }
    // CreateProcess starts DllSurrogateExecutable where there is one, with DllSurrogate as its
    // command line; else the command line's program.
    const std::wstring text = app.surrogate->Text();
    const FileFacts& host = app.executableHost ? *app.executableHost : *app.host;
    const std::wstring value =
        appKey + (app.executableHost ? L": DllSurrogateExecutable " : L": DllSurrogate ");
    if (app.executableHost && !app.sameProgram) {
        steps.push_back(
            {kProblem, L"appId", L"surrogateExecutableDiffers", S_OK,
             appKey + L": the runtime starts DllSurrogateExecutable " + host.registered +
                 L", giving it DllSurrogate " + text + L" only as its command line",
             L"delete DllSurrogateExecutable from the AppID, or " + fix + L", which replaces it"});
    } else if (!app.executableHost && host.named.find(L' ') != std::wstring::npos &&
               text[text.find_first_not_of(L" \t")] != L'"') {
        steps.push_back({CheckStep::kWarning, L"appId", L"unquotedHostPath", S_OK,
                         value + text + L" has a space but no quotes, so the runtime may start " +
                             host.named.substr(0, host.named.find(L' ')) + L" instead",
                         AddWith(DllView(server), facts.clsid) + L", which writes it quoted"});
    } else if (host.exists && ViewOf(host.image.machine) && !host.image.dll) {
        steps.push_back({kOk, L"appId", nullptr, S_OK,
                         value + host.path + L", " + MachineName(host.image.machine)});
    }
    if (!host.exists) {
        steps.push_back({kProblem, L"appId", L"hostMissing",
                         HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
                         value + L"names " + host.named + L", which does not exist",
                         L"install the host there, or run add with the tool beside the host"});
    } else if (!ViewOf(host.image.machine) || host.image.dll) {
        steps.push_back({kProblem, L"appId", L"hostNotAProgram", CO_E_SERVER_EXEC_FAILURE,
                         value + host.path + L" is not a Windows program", fix});
    }
    return host.exists && !host.image.dll ? ViewOf(host.image.machine) : std::nullopt;
}

// The DLL the host loads: the class's InprocServer32 in the host's own view, whichever view's
// registration started it.
bool JudgeDll(const ClassFacts& facts, REGSAM host, REGSAM client, std::vector<CheckStep>& steps) {
    const ClassRegistration& loaded = facts.In(host);
    const ClassRegistration& alt = facts.In(OtherView(host));
    const ClassRegistration& own = facts.In(client);
    const std::wstring bits = Bits(host);
    const std::wstring named = L"the host (" + bits + L")";
    const WORD machine = loaded.dll && loaded.dll->exists ? loaded.dll->image.machine : 0;
    CheckStep problem{kProblem, L"dll", L"dllNotRegistered", CO_E_SERVER_EXEC_FAILURE};
    if (!loaded.root || !loaded.dll) {
        problem.text =
            named + L" takes the class from the " + bits + L" view, where it has no InprocServer32";
        problem.fix = L"register the class's " + bits + L" DLL with " +
                      (IsDotNet(alt) ? Regasm(host) : Regsvr32(host));
        if (alt.dll && alt.dll->exists && DllView(alt) == alt.view) {
            problem.fix += L", or point the AppID at the " + std::wstring(Bits(alt.view)) +
                           L" host: " + AddWith(alt.view, facts.clsid, true);
        }
    } else if (!loaded.dll->exists) {
        problem.id = L"dllMissing";
        problem.text = L"InprocServer32 " + loaded.dll->registered + L" names no file";
        problem.fix = L"install the DLL, and run " + Regsvr32(host) + L" on it by its full path";
    } else if (!ViewOf(machine) || !loaded.dll->image.dll) {
        problem.id = L"dllNotADll";
        problem.text = loaded.dll->path + L" is not a Windows DLL";
        problem.fix = L"register the class's real DLL with " + Regsvr32(host);
    } else if (*ViewOf(machine) != host) {
        problem.id = L"dllOfOtherBitness";
        problem.text = named + L" cannot load " + loaded.dll->path + L", the DLL " +
                       MachineName(machine) + L": a host loads DLLs of its own bitness only";
        problem.fix = L"register it with " + Regsvr32(*ViewOf(machine)) + L", then " +
                      AddWith(*ViewOf(machine), facts.clsid, true);
    } else {
        steps.push_back({kOk, L"dll", nullptr, S_OK,
                         named + L" loads " + loaded.dll->path + L", " + MachineName(machine) +
                             L", " +
                             (loaded.threadingModel.empty()
                                  ? std::wstring(L"no ThreadingModel (the main apartment)")
                                  : L"ThreadingModel " + loaded.threadingModel)});
        if (host != client && own.dll && own.dll->exists && DllView(own) == client) {
            steps.push_back({kNote, L"dll", L"otherBitnessDll", S_OK,
                             L"the class is registered for both bitnesses, but its AppID names "
                             L"one host for both, so this client gets the " +
                                 bits + L" DLL",
                             L"to use " + own.dll->path +
                                 L", create the class in process (CLSCTX_INPROC_SERVER) instead"});
        }
        return true;
    }
    steps.push_back(problem);
    return false;
}

} // namespace

std::vector<CheckStep> Judge(const ClassFacts& facts, REGSAM client) {
    std::vector<CheckStep> steps;
    const ClassRegistration& own = facts.In(client);
    const ClassRegistration& other = facts.In(OtherView(client));
    if (!own.root && !other.root) {
        steps.push_back({kProblem, L"class", L"classNotRegistered", REGDB_E_CLASSNOTREG,
                         L"not registered in either view (REGDB_E_CLASSNOTREG)",
                         L"register its DLL with the regsvr32 of the DLL's bitness"});
        return steps;
    }
    const DWORD preferred =
        own.appId.preferredBitness ? own.appId.preferredBitness : other.appId.preferredBitness;
    const ClassRegistration* server = Server(facts, client, preferred);
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
                 std::wstring(Bits(preferred == 2   ? KEY_WOW64_32KEY
                                   : preferred == 3 ? KEY_WOW64_64KEY
                                                    : client)) +
                 L" server"});
    } else if (!server) {
        steps.push_back(NoServer(facts, used));
    } else if (const auto host = JudgeStart(facts, *server, client, steps)) {
        if (JudgeDll(facts, *host, client, steps)) {
            JudgeInterfaces(facts, client, *host, steps);
        }
    }
    return steps;
}
