// Small helpers shared by the Windows backend files: wide-string casts at the
// Win32 boundary, the text of a system error code, command-line quoting and a
// handle that closes itself. Internal to foundation/host/windows.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace qm::host {

// wchar_t and char16_t have the same width on Windows, so the casts are free.
inline const wchar_t* W(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}
inline wchar_t* W(std::u16string& text) {
    return reinterpret_cast<wchar_t*>(text.data());
}
inline std::u16string U16(std::wstring_view text) {
    return std::u16string(reinterpret_cast<const char16_t*>(text.data()), text.size());
}
inline std::u16string U16(const wchar_t* text) {
    return text ? U16(std::wstring_view(text)) : std::u16string();
}
inline std::wstring Wide(std::u16string_view text) {
    return std::wstring(reinterpret_cast<const wchar_t*>(text.data()), text.size());
}

// One argument quoted so that the C runtime's command-line parser (the MSVC
// rules: backslashes count only before a quote) gives it back unchanged.
std::wstring QuoteArgument(const std::wstring& argument);
// The command line of `arguments` (the program first) for CreateProcessW.
std::wstring CommandLineOf(const std::vector<std::u16string>& arguments);

// The system's message for an error code (GetLastError), without the trailing
// line break; "error N" when the system has no message.
std::u16string Win32ErrorText(unsigned long code);

// Owns a HANDLE; INVALID_HANDLE_VALUE and null both mean "none".
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    ~UniqueHandle() { Reset(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }

    HANDLE Get() const { return handle_; }
    bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return Valid(); }
    HANDLE Release() {
        HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle;
    }
    void Reset(HANDLE handle = INVALID_HANDLE_VALUE) {
        if (Valid()) {
            CloseHandle(handle_);
        }
        handle_ = handle;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace qm::host
