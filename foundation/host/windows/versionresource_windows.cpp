#include <windows.h>

#include <string>
#include <vector>

#include "foundation/host/host.h"

namespace qm::host {

std::u16string VersionResourceValue(std::u16string_view path, std::u16string_view name) {
    const std::wstring file(path.begin(), path.end());
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
    if (size == 0)
        return {};
    std::vector<unsigned char> data(size);
    if (!GetFileVersionInfoW(file.c_str(), 0, size, data.data()))
        return {};
    // The first language listed, as Explorer reads it.
    struct Translation {
        WORD language, codePage;
    }* translations = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation",
                        reinterpret_cast<void**>(&translations), &length) ||
        length < sizeof(Translation))
        return {};
    wchar_t query[128];
    swprintf(query, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translations[0].language,
             translations[0].codePage, std::wstring(name.begin(), name.end()).c_str());
    wchar_t* value = nullptr;
    if (!VerQueryValueW(data.data(), query, reinterpret_cast<void**>(&value), &length) ||
        length == 0)
        return {};
    std::u16string text(reinterpret_cast<const char16_t*>(value), length);
    while (!text.empty() && text.back() == u'\0')
        text.pop_back();
    return text;
}

}  // namespace qm::host
