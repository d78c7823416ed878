#include "deploy/iis/windows/win32text.h"

#include <windows.h>

#include "foundation/format.h"

namespace qm::iiswin {

std::u16string ErrorText(unsigned long code) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::u16string message = length ? U16(buffer) : std::u16string();
    if (buffer)
        LocalFree(buffer);
    while (!message.empty() &&
           (message.back() == u'\n' || message.back() == u'\r' || message.back() == u' ')) {
        message.pop_back();
    }
    if (message.empty())
        return FormatWide(u"error 0x%08X", code);
    return FormatWide(u"%s (0x%08X)", message, code);
}

}  // namespace qm::iiswin
