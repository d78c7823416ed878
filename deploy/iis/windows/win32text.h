// Text at the Win32 boundary of the IIS backend: our UTF-16 strings as
// wchar_t (the same width on Windows, so the casts are free) and the system's
// own words for an error code.
#pragma once

#include <string>
#include <string_view>

namespace qm::iiswin {

inline const wchar_t* W(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}
inline wchar_t* W(std::u16string& text) {
    return reinterpret_cast<wchar_t*>(text.data());
}
inline std::u16string U16(const wchar_t* text) {
    return text ? std::u16string(reinterpret_cast<const char16_t*>(text)) : std::u16string();
}

// "The parameter is incorrect. (0x00000057)" for a Win32 error code or an
// HRESULT; "error 0x..." when the system has no message for it.
std::u16string ErrorText(unsigned long code);

}  // namespace qm::iiswin
