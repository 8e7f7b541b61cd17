#pragma once

#include "SurrogateUndo.h"
#include "Targets.h"

#include <functional>
#include <map>

struct Command {
    enum Kind { kAdd, kRemove, kList };
    Kind kind = kList;
    std::vector<std::wstring> targets;
    bool force = false;
};

// Everything one command will do, found and checked before any of it is written.
struct Plan {
    using Write = RegistryWrite;

    int code = kExitOk;               // the first refusal's, or kExitOk
    std::vector<std::wstring> errors; // every refusal, or the warnings: each a line for stderr
    std::vector<Write> writes;        // in the order that leaves an undoable state when stopped
    std::vector<KeyName> basis;       // the keys whose values decided the writes, besides theirs
    std::vector<std::wstring> lines;  // for stdout, once written
};

// Points classes of one registry view at one host, and back: resolves the targets, plans every
// write in every root, checks the whole plan, and only then applies it. Add's and remove's plans
// are in AddPlan.cpp and RemovePlan.cpp.
class CRegistrar {
public:
    using Print = std::function<void(const std::wstring&)>;

    // view: KEY_WOW64_32KEY or KEY_WOW64_64KEY, the tool's own. hostPath: the host's full path.
    CRegistrar(IRegistry& registry, const IFiles& files, REGSAM view, std::wstring hostPath);

    Plan MakePlan(const Command& command);
    // Writes nothing when the plan is refused, or when a key it read has changed since.
    int Apply(const Plan& plan, const Print& out, const Print& error);

private:
    // In a class key, "AppID" when add created the class's AppID value, which is then the class's
    // own CLSID. The AppID key's records are CSurrogateUndo's, under the same name.
    static constexpr const wchar_t* kCreatedAppId = L"AppID";

    // An AppID key, as named below one root.
    struct AppIdKey {
        Root root;
        std::wstring appId; // canonical
        bool operator<(const AppIdKey& other) const {
            return root != other.root ? root < other.root : appId < other.appId;
        }
    };
    struct AppIdUser {
        std::wstring appId;
        REGSAM view;
        std::wstring clsid;
    };

    void PlanAdd(const std::vector<TargetClass>& classes, bool force,
                 std::vector<Refusal>& problems, Plan& plan);
    void PlanRemove(const std::vector<TargetClass>& classes, bool force,
                    std::vector<Refusal>& problems, Plan& plan);
    void PlanList(Plan& plan);
    static void Settle(std::vector<Refusal>& problems, bool force, Plan& plan);
    // Whether the key may be written; a problem naming the class when not.
    bool Writable(const std::wstring& name, const KeyName& key,
                  std::vector<Refusal>& problems) const;

    CSurrogateUndo& UndoOf(const AppIdKey& at);
    void WriteUndo(Plan& plan);
    std::vector<AppIdKey> KeysWithRecordsOf(const std::wstring& clsid);
    const std::vector<AppIdUser>& AppIdUsers() const;
    CSurrogateUndo::Naming Names(const RegistryValue& value) const;
    bool SameHost(const RegistryValue& written, const RegistryValue& now) const;
    std::wstring Describe(const std::wstring& clsid) const { return ::Describe(m_classes, clsid); }
    const wchar_t* ViewName() const { return Bits(m_classes.View()); }
    const wchar_t* OtherViewName() const { return Bits(OtherView(m_classes.View())); }

    IRegistry& m_registry;
    const IFiles& m_files;
    CRegistryReader m_reader;
    CClassesView m_classes;
    // The other view's classes, which share the AppID keys on 64-bit Windows.
    std::optional<CClassesView> m_otherClasses;
    std::wstring m_hostPath;
    std::wstring m_hostValue; // what DllSurrogate gets: the path, quoted when it has a space
    std::map<AppIdKey, CSurrogateUndo> m_undo;
    mutable std::optional<std::vector<AppIdUser>> m_appIdUsers;
};

// A DllSurrogate and DllSurrogateExecutable as the messages show them.
std::wstring Shown(const SurrogateState& state);
