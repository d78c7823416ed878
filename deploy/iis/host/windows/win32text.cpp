#include "deploy/iis/host/windows/win32text.h"

#include "foundation/format.h"

namespace qm::iiswin {

std::u16string ErrorText(unsigned long code) {
    return FormatWide(u"%s (0x%08X)", host::Win32ErrorText(code), code);
}

}  // namespace qm::iiswin
