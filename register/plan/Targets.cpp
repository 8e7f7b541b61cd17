#include "Targets.h"

#include "ModulePath.h"

#include <algorithm>

namespace {

// A target that names a file: it has a path's separators, or a module's extension.
bool IsFileName(const std::wstring& target) {
    static const wchar_t* const kModules[] = {L".dll", L".ocx", L".exe", L".ax", L".cpl"};
    const size_t dot = target.rfind(L'.');
    const std::wstring extension = dot == std::wstring::npos ? L"" : target.substr(dot);
    return target.find_first_of(L"\\/:") != std::wstring::npos ||
           std::any_of(std::begin(kModules), std::end(kModules),
                       [&](const wchar_t* known) { return SameName(extension, known); });
}

} // namespace

const wchar_t* Tool(REGSAM view) {
    return view == KEY_WOW64_64KEY ? L"x64\\pelmora-register" : L"x86\\pelmora-register";
}

std::wstring Regsvr32(REGSAM view) {
    return view == KEY_WOW64_64KEY
               ? L"the 64-bit regsvr32 (%SystemRoot%\\System32\\regsvr32.exe)"
               : L"the 32-bit regsvr32 (%SystemRoot%\\SysWOW64\\regsvr32.exe on 64-bit Windows)";
}

std::wstring Regasm(REGSAM view) {
    return std::wstring(L"the ") + Bits(view) + L" regasm (%SystemRoot%\\Microsoft.NET\\" +
           (view == KEY_WOW64_64KEY ? L"Framework64" : L"Framework") +
           L"\\v4.0.30319\\RegAsm.exe /codebase)";
}

std::wstring Describe(const CClassesView& classes, const std::wstring& clsid) {
    const auto name = classes.String(L"CLSID\\" + clsid + L"\\ProgID", L"");
    return name && !name->empty() ? clsid + L" " + *name : clsid;
}

std::wstring CTargets::NotRegistered() const {
    return std::wstring(L" is not registered in the ") + Bits(m_classes.View()) +
           L" registry view: run " + Regsvr32(m_classes.View()) + L" on its DLL first";
}

Refusal CTargets::NotFound(const std::wstring& what, const std::wstring& advice) const {
    if (const auto& denied = m_classes.Reader().Denied()) {
        return {kExitAccessDenied,
                what + L": reading " + denied->Text() +
                    L" is denied, so it cannot be told; run this from an elevated prompt "
                    L"(as administrator)"};
    }
    return {kExitNotRegistered, what + advice};
}

std::vector<TargetClass> CTargets::Resolve(const std::vector<std::wstring>& targets, bool removing,
                                           std::vector<Refusal>& refusals) const {
    std::vector<TargetClass> classes;
    for (const std::wstring& given : targets) {
        // As pasted, quotes and all.
        const std::wstring target = CModulePath(given).Text();
        if (!target.empty() && target.front() == L'{') {
            const std::wstring clsid = CanonicalGuid(target);
            if (clsid.empty()) {
                refusals.push_back({kExitNotRegistered, target + L" is not a CLSID"});
            } else {
                Clsid(clsid, removing, classes, refusals);
            }
        } else if (target.empty()) {
            refusals.push_back({kExitNotRegistered, L"an empty target names no class"});
        } else if (IsFileName(target) || m_files.Exists(m_files.FullPath(target))) {
            Dll(target, classes, refusals);
        } else {
            ProgId(target, classes, refusals);
        }
    }
    // A class named twice is handled once.
    std::vector<TargetClass> unique;
    for (const TargetClass& cls : classes) {
        if (std::none_of(unique.begin(), unique.end(),
                         [&](const TargetClass& other) { return other.clsid == cls.clsid; })) {
            unique.push_back(cls);
        }
    }
    return unique;
}

void CTargets::Clsid(const std::wstring& clsid, bool removing, std::vector<TargetClass>& classes,
                     std::vector<Refusal>& refusals) const {
    const auto root = m_classes.Find(L"CLSID\\" + clsid);
    if (root || removing) {
        // A class uninstalled since add can still be removed by its CLSID.
        classes.push_back({clsid, root});
        return;
    }
    refusals.push_back(NotFound(clsid, NotRegistered()));
}

void CTargets::ProgId(const std::wstring& progId, std::vector<TargetClass>& classes,
                      std::vector<Refusal>& refusals) const {
    std::optional<std::wstring> clsid;
    if (m_classes.Find(progId + L"\\CLSID")) {
        clsid = m_classes.String(progId + L"\\CLSID", L"");
    } else {
        // A version-independent ProgID may name its current version instead.
        const auto version = m_classes.String(progId + L"\\CurVer", L"");
        if (version && !version->empty()) {
            clsid = m_classes.String(*version + L"\\CLSID", L"");
        }
    }
    const std::wstring guid = CanonicalGuid(clsid.value_or(L""));
    if (!guid.empty()) {
        Clsid(guid, false, classes, refusals);
        return;
    }
    refusals.push_back(NotFound(L"the ProgID " + progId, NotRegistered()));
}

void CTargets::Dll(const std::wstring& path, std::vector<TargetClass>& classes,
                   std::vector<Refusal>& refusals) const {
    const std::wstring dll = m_files.FullPath(path);
    if (!m_files.Exists(dll)) {
        refusals.push_back({kExitNotRegistered, L"there is no file " + dll});
        return;
    }
    const std::vector<std::wstring> names = m_files.Names(dll);
    const size_t before = classes.size();
    std::wstring unresolved;
    m_classes.ForEachClass([&](const std::wstring& clsid, Root) {
        const auto registered = m_classes.Value(L"CLSID\\" + clsid + L"\\InprocServer32", L"");
        const CModulePath module = CModulePath::Library(registered.value_or(RegistryValue()));
        // Only files of the same name, long or 8.3, are worth opening.
        const std::wstring name = module.FileName();
        if (module.Text().empty() || std::none_of(names.begin(), names.end(), [&](const auto& own) {
                return SameName(own, name);
            })) {
            return;
        }
        const std::wstring file = m_files.Resolve(module);
        if (!file.empty() && m_files.Same(file, dll)) {
            classes.push_back({clsid, m_classes.Find(L"CLSID\\" + clsid)});
        } else if (file.empty() && unresolved.empty()) {
            unresolved =
                Describe(m_classes, clsid) + L" has " + registered->Text() +
                L" as its InprocServer32, " +
                (module.IsRelative() ? L"a path relative to a working directory"
                                     : L"which is neither in the system directory nor on PATH") +
                L": it cannot be told whether that is " + dll +
                L"; register the DLL by its full path, or name the class by its CLSID";
        }
    });
    if (!unresolved.empty()) {
        refusals.push_back({kExitNotRegistered, unresolved});
        return;
    }
    if (classes.size() != before) {
        return;
    }
    // The next step for what the file is.
    const PeImage image = m_files.Image(dll);
    const REGSAM view = m_classes.View();
    const std::wstring other = Bits(OtherView(view));
    const std::wstring next =
        image.managed ? L" is a .NET assembly: register it with " + Regasm(view) +
                            L", then name its classes by CLSID or ProgID"
        : image.machine != 0 && !image.dll
            ? L" is a program, not a COM DLL: a program that serves COM classes registers "
              L"itself (" +
                  path + L" /RegServer) and needs no host"
        : ViewOf(image.machine) == OtherView(view)
            ? L" is a " + other + L" DLL: use the " + other + L" tool, " + Tool(OtherView(view)) +
                  L", beside the " + other + L" host"
            : L"";
    refusals.push_back(
        !next.empty()
            ? Refusal{kExitNotRegistered, dll + next}
            : NotFound(L"no class in the " + std::wstring(Bits(view)) + L" registry view has " +
                           dll + L" as its InprocServer32",
                       L": run " + Regsvr32(view) + L" on it first" +
                           (image.machine == 0 ? L" (it is not a Windows DLL, though)" : L"")));
}
