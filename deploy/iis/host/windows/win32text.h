// Text at the Win32 boundary of the IIS backend: the host backend's casts,
// and the system's words for an error code or HRESULT with its number.
#pragma once

#include <string>

#include "foundation/host/windows/win32util.h"

namespace qm::iiswin {

using host::U16;
using host::W;

// "The parameter is incorrect (0x00000057)" for a Win32 error code or an
// HRESULT.
std::u16string ErrorText(unsigned long code);

}  // namespace qm::iiswin
