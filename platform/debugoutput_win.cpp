// DESIGN
// The debugger's trace channel (OutputDebugStringW): a debugger or DebugView
// shows each text. The text is UTF-8 and goes out as UTF-16; text that is
// not valid UTF-8 goes out through the ANSI call unchanged.
#include <windows.h>

#include "platform/debugoutput.h"
#include "platform/text.h"

namespace platform {

void DebugOutput(const char* text) {
    if (text == nullptr) return;
    std::u16string wide = Utf8ToUtf16(text);
    if (wide.empty() && text[0] != '\0') {
        OutputDebugStringA(text);
        return;
    }
    OutputDebugStringW(reinterpret_cast<const wchar_t*>(wide.c_str()));
}

}  // namespace platform
