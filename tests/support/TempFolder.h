#pragma once

#include <windows.h>

#include <string>

// A folder of its own under the temporary folder, for the life of the object, named after the
// test process so that programs running at once never share one. Whatever is left in it goes
// with it, one level deep (the tests put only files there).
class CTempFolder {
public:
    explicit CTempFolder(const std::wstring& name);
    CTempFolder(const CTempFolder&) = delete;
    CTempFolder& operator=(const CTempFolder&) = delete;
    ~CTempFolder();

    // False when the folder could not be made.
    bool Ready() const { return m_ready; }
    const std::wstring& Path() const { return m_path; }
    std::wstring File(const std::wstring& name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
    bool m_ready = false;
};
