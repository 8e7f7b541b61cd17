// DLL planting through the host, under the platform's COM runtime: the runtime starts the host
// from the client, so the host begins in the client's working directory. A hosted DLL that asks
// for a DLL by bare name must not get one from there, and its own dependencies must still load.
#include "ChildProcess.h"
#include "ClassRegistry.h"
#include "Platform.h"
#include "ProbeClass.h"
#include "Processes.h"
#include "SampleDispatch.h"
#include "Strings.h"
#include "TempFolder.h"
#include "Unique.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr const wchar_t* kPlantedDll = L"pelmora-planted.dll";

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring ProbeFolderPath(const wchar_t* file) {
    return win::ProgramDirectory() + L"\\" + kProbeFolder + L"\\" + file;
}

// A probe object created in the given context.
class CProbe {
public:
    explicit CProbe(DWORD context) {
        const ULONGLONG started = GetTickCount64();
        m_status = Create(context);
        if (platform::HostNeverStarted(m_status, GetTickCount64() - started)) {
            m_status = Create(context);
        }
    }
    CProbe(const CProbe&) = delete;
    CProbe& operator=(const CProbe&) = delete;
    ~CProbe() {
        if (m_object != nullptr) {
            m_object->Release();
        }
    }

    HRESULT Status() const { return m_status; }

    DWORD ProcessId() {
        VARIANT result;
        VariantInit(&result);
        return SUCCEEDED(Call(L"ProcessId", nullptr, 0, &result)) ? result.lVal : 0;
    }
    // The path of the module the probe got for a bare name, empty when it got none.
    std::wstring LoadByName(const wchar_t* name) {
        VARIANT argument;
        VariantInit(&argument);
        argument.vt = VT_BSTR;
        argument.bstrVal = SysAllocString(name);
        const std::wstring path = Text(L"LoadByName", &argument, 1);
        VariantClear(&argument);
        return path;
    }
    std::wstring HelperPath() { return Text(L"HelperPath", nullptr, 0); }

private:
    HRESULT Create(DWORD context) {
        return CoCreateInstance(kClsidProbe, nullptr, context, IID_IDispatch,
                                reinterpret_cast<void**>(&m_object));
    }
    HRESULT Call(const wchar_t* method, VARIANT* arguments, UINT count, VARIANT* result) {
        return m_object == nullptr ? m_status
                                   : CallSample(m_object, method, arguments, count, result);
    }
    std::wstring Text(const wchar_t* method, VARIANT* arguments, UINT count) {
        VARIANT result;
        VariantInit(&result);
        if (FAILED(Call(method, arguments, count, &result))) {
            return L"<" + std::wstring(method) + L" failed>";
        }
        std::wstring text = result.vt == VT_BSTR && result.bstrVal != nullptr
                                ? std::wstring(result.bstrVal, SysStringLen(result.bstrVal))
                                : L"<not a string>";
        VariantClear(&result);
        return text;
    }

    IDispatch* m_object = nullptr;
    HRESULT m_status = E_FAIL;
};

// A fresh directory holding a copy of the planted DLL: a client's working directory as an
// attacker prepared it.
class CPlantedDirectory {
public:
    CPlantedDirectory() : m_folder(L"pelmora-planting") {
        const std::wstring source = win::ProgramDirectory() + L"\\planted\\" + kPlantedDll;
        // A folder left over from an earlier run whose host still held it is reused: no marker.
        DeleteFileW(Marker().c_str());
        m_ready = m_folder.Ready() && CopyFileW(source.c_str(), Dll().c_str(), FALSE) &&
                  !Exists(Marker());
    }

    bool Ready() const { return m_ready; }
    const std::wstring& Path() const { return m_folder.Path(); }
    std::wstring Dll() const { return m_folder.File(kPlantedDll); }
    // Written by the planted DLL in whichever process loads it.
    std::wstring Marker() const { return Dll() + L".loaded"; }

private:
    CTempFolder m_folder;
    bool m_ready = false;
};

// This process's working directory, for the life of the object.
class CWorkingDirectory {
public:
    explicit CWorkingDirectory(const std::wstring& path) {
        const DWORD length = GetCurrentDirectoryW(0, nullptr);
        m_previous.resize(length);
        if (length == 0 || GetCurrentDirectoryW(length, &m_previous[0]) != length - 1) {
            return;
        }
        m_previous.resize(length - 1);
        m_changed = SetCurrentDirectoryW(path.c_str()) != FALSE;
    }
    CWorkingDirectory(const CWorkingDirectory&) = delete;
    CWorkingDirectory& operator=(const CWorkingDirectory&) = delete;
    ~CWorkingDirectory() {
        if (m_changed) {
            SetCurrentDirectoryW(m_previous.c_str());
        }
    }
    bool Changed() const { return m_changed; }

private:
    std::wstring m_previous;
    bool m_changed = false;
};

class DllPlanting : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(m_com.Result()));
        ASSERT_TRUE(m_probe.Registered());
    }
    void TearDown() override {
        // Under Wine the runtime never frees a host; end the one this test caused.
        if (m_host != 0) {
            EndProcess(m_host);
        }
    }

    // This build's host, not this process, serves the probe; it is ended after the test.
    void ExpectServedByHost(CProbe& probe) {
        ASSERT_EQ(probe.Status(), S_OK);
        const DWORD process = probe.ProcessId();
        ASSERT_NE(process, 0u);
        ASSERT_NE(process, GetCurrentProcessId());
        ASSERT_EQ(Lower(ImagePath(process)), Lower(ProgramPath(L"pelmora-surrogate.exe")));
        m_host = process;
    }

    const win::ComInitialization m_com;
    const CRegisteredClass m_probe{kClsidProbe, ProbeFolderPath(kProbeDll), L"Both"};
    DWORD m_host = 0;
};

TEST_F(DllPlanting, ADllInTheClientsWorkingDirectoryIsNeverLoadedIntoTheHost) {
    CPlantedDirectory planted;
    ASSERT_TRUE(planted.Ready()) << "cannot prepare " << planted.Path().c_str();
    CWorkingDirectory workingDirectory(planted.Path());
    ASSERT_TRUE(workingDirectory.Changed());

    // The runtime starts the host from here, in this working directory.
    CProbe hosted(CLSCTX_LOCAL_SERVER);
    ASSERT_NO_FATAL_FAILURE(ExpectServedByHost(hosted));
    EXPECT_EQ(hosted.LoadByName(kPlantedDll), L"");
    EXPECT_FALSE(Exists(planted.Marker()));

    // Control: the same probe in this process, from the same directory, does get the DLL.
    CProbe inProcess(CLSCTX_INPROC_SERVER);
    ASSERT_EQ(inProcess.Status(), S_OK);
    ASSERT_EQ(inProcess.ProcessId(), GetCurrentProcessId());
    EXPECT_EQ(Lower(inProcess.LoadByName(kPlantedDll)), Lower(planted.Dll()));
    EXPECT_TRUE(Exists(planted.Marker()));
}

TEST_F(DllPlanting, AHostedDllsImportsBesideItInAFolderOfItsOwnStillLoad) {
    CProbe hosted(CLSCTX_LOCAL_SERVER);
    ASSERT_NO_FATAL_FAILURE(ExpectServedByHost(hosted));
    EXPECT_EQ(Lower(hosted.HelperPath()), Lower(ProbeFolderPath(kProbeHelperDll)));
}

} // namespace
