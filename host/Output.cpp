#include "Output.h"

#include "Text.h"

#include <windows.h>

#include <cstdio>
#include <io.h>
#include <iostream>
#include <streambuf>
#include <string>

// The descriptor is checked first: the runtime treats a query for a missing one as an invalid
// parameter, which may end the process.
HANDLE StreamHandle(FILE* stream) {
    const int fd = _fileno(stream);
    if (fd < 0) {
        return nullptr;
    }
    const intptr_t handle = _get_osfhandle(fd);
    if (handle == 0 || handle == -1 || handle == -2) {
        return nullptr;
    }
    return reinterpret_cast<HANDLE>(handle);
}

namespace {

// Collects text until the stream is flushed, then writes it in one piece. A failed write
// loses only that text: sync reports success so later lines still go out.
class CStandardOutputBuffer final : public std::wstreambuf {
public:
    void SetConsole(HANDLE console) { m_console = console; }

protected:
    int_type overflow(int_type ch) override {
        if (!traits_type::eq_int_type(ch, traits_type::eof())) {
            m_pending.push_back(traits_type::to_char_type(ch));
        }
        return traits_type::not_eof(ch);
    }

    std::streamsize xsputn(const char_type* text, std::streamsize count) override {
        m_pending.append(text, static_cast<size_t>(count));
        return count;
    }

    int sync() override {
        Flush();
        return 0;
    }

private:
    void Flush() {
        if (m_pending.empty()) {
            return;
        }
        std::wstring text;
        text.reserve(m_pending.size() + 8);
        for (const wchar_t c : m_pending) {
            if (c == L'\n') {
                text += L'\r';
            }
            text += c;
        }
        m_pending.clear();

        const HANDLE target = m_console != nullptr ? m_console : StreamHandle(stdout);
        if (target != nullptr) {
            win::WriteText(target, text);
        }
    }

    std::wstring m_pending;
    HANDLE m_console = nullptr;
};

// Never destroyed: the runtime flushes std::wcout during its own shutdown, after the
// destructors of ordinary statics have run.
CStandardOutputBuffer& Buffer() {
    static CStandardOutputBuffer* const buffer = new CStandardOutputBuffer;
    return *buffer;
}

} // namespace

void InstallOutput() {
    std::wcout.rdbuf(&Buffer());
    std::wcout.clear();
}

void SetOutputConsole(HANDLE console) {
    Buffer().SetConsole(console);
}
