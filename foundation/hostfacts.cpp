#include "foundation/hostfacts.h"

#include <exception>
#include <string>

#include "foundation/files.h"
#include "foundation/host/host.h"
#include "foundation/paths.h"
#include "foundation/results.h"
#include "foundation/textconv.h"
#include "foundation/version.h"

namespace qm {

namespace {

std::string VersionRecordMarker() {
    std::string marker = "\x7eQMVERINFO";
    marker[0] = static_cast<char>(marker[0] + 1);
    marker.push_back('\x01');
    return marker;
}

// Finds the first well-formed record in `bytes` and returns the value of `key`.
std::string ValueFromRecord(const std::string& bytes, const std::string& key) {
    const std::string marker = VersionRecordMarker();
    size_t pos = 0;
    while ((pos = bytes.find(marker, pos)) != std::string::npos) {
        pos += marker.size();
        const size_t end = bytes.find('\0', pos);
        const std::string record = bytes.substr(pos, std::min<size_t>(end - pos, 1024));
        if (record.rfind("ProductVersion=", 0) != 0 || record.size() <= 15 || record[15] < '0' ||
            record[15] > '9') {
            continue;
        }
        size_t at = 0;
        while (at < record.size()) {
            size_t semi = record.find(';', at);
            if (semi == std::string::npos)
                semi = record.size();
            const std::string item = record.substr(at, semi - at);
            const size_t eq = item.find('=');
            if (eq != std::string::npos && item.substr(0, eq) == key)
                return item.substr(eq + 1);
            at = semi + 1;
        }
        return {};
    }
    return {};
}

int LeadingInteger(std::u16string_view piece) {
    size_t i = 0;
    while (i < piece.size() && (piece[i] == u' ' || piece[i] == u'\t'))
        ++i;
    bool negative = false;
    if (i < piece.size() && (piece[i] == u'-' || piece[i] == u'+'))
        negative = piece[i++] == u'-';
    long long value = 0;
    while (i < piece.size() && piece[i] >= u'0' && piece[i] <= u'9') {
        value = value * 10 + (piece[i++] - u'0');
        if (value > 0x7fffffff)
            value = 0x7fffffff;
    }
    return static_cast<int>(negative ? -value : value);
}

}  // namespace

std::u16string GetOsName() {
    return host::OperatingSystemName();
}

bool IsSupportedOs() {
#ifdef _WIN32
    return host::IsSupportedWindowsVersion();
#else
    return true;
#endif
}

bool IsSupportedWindowsRelease(unsigned major, unsigned minor, bool server) {
    if (major == 6)
        return minor == 0 ? server : minor <= 3;
    return major == 10 && minor == 0;
}

std::u16string GetProgramPath() {
    return host::ExecutablePath();
}

std::u16string GetProgramDirectory() {
    if (auto home = host::ProcessEnvironmentValue(u"QUILLMATE_HOME"); home && !home->empty()) {
        std::u16string dir = *home;
        EnsureTrailingSeparator(dir);
        return dir;
    }
    return DirectoryOf(GetProgramPath());
}

std::u16string TempFilePath(std::u16string_view fileName) {
    std::u16string dir = host::TempDirectory();
    if (fileName.empty())
        return host::CreateUniqueFile(dir, u"quillmate-");
    EnsureTrailingSeparator(dir);
    return dir + std::u16string(fileName);
}

std::u16string GetEnvironmentValue(std::u16string_view name) {
    if (auto v = host::ProcessEnvironmentValue(name); v && !v->empty())
        return *v;
    std::u16string value;
    switch (host::SystemEnvironmentValue(name, value)) {
        case host::SystemEnvStatus::Found:
            return value;
        case host::SystemEnvStatus::NotFound:
            ThrowResult(result::kEnvVariableNotExist);
        case host::SystemEnvStatus::Unreadable:
            ThrowResult(result::kUndefined);
    }
    ThrowResult(result::kUndefined);
}

std::u16string EnvironmentValueOrEmpty(std::u16string_view name) {
    try {
        return GetEnvironmentValue(name);
    } catch (const std::exception&) {
        return {};  // unset, or the system environment cannot be read
    }
}

std::u16string GetFileVersion(std::u16string_view path) {
    const std::u16string text = GetFileVersionString(path, u"ProductVersion");
    if (text.empty())
        return {};
    int parts[4] = {0, 0, 0, 0};
    size_t start = 0;
    for (int i = 0; i < 4 && start <= text.size(); ++i) {
        size_t dot = text.find(u'.', start);
        if (dot == std::u16string::npos)
            dot = text.size();
        parts[i] = LeadingInteger(std::u16string_view(text).substr(start, dot - start));
        start = dot + 1;
    }
    return FormatWide(u"%d.%d.%d.%d", parts[0], parts[1], parts[2], parts[3]);
}

std::u16string GetFileVersionString(std::u16string_view path, std::u16string_view valueName) {
#ifdef _WIN32
    // Windows programs carry a version resource; the record is the fallback.
    if (std::u16string value = host::VersionResourceValue(path, valueName); !value.empty())
        return value;
#endif
    std::string bytes;
    if (!ReadFileBytes(path, bytes))
        return {};
    return WideFromUtf8(ValueFromRecord(bytes, Utf8FromWide(valueName)));
}

std::u16string OwnProductVersion() {
    return WideFromAscii(QUILLMATE_PRODUCT_VERSION);
}
std::u16string OwnProductName() {
    return WideFromAscii(QUILLMATE_PRODUCT_NAME);
}

int CompareVersions(std::u16string_view a, std::u16string_view b) {
    if (a.empty() || b.empty())
        return a.empty() ? (b.empty() ? 0 : -1) : 1;
    size_t ia = 0, ib = 0;
    bool moreA = true, moreB = true;
    while (true) {
        if (!moreA)
            return moreB ? -1 : 0;
        if (!moreB)
            return 1;
        size_t da = a.find(u'.', ia), db = b.find(u'.', ib);
        if (da == std::u16string_view::npos)
            da = a.size(), moreA = false;
        if (db == std::u16string_view::npos)
            db = b.size(), moreB = false;
        const int pa = LeadingInteger(a.substr(ia, da - ia));
        const int pb = LeadingInteger(b.substr(ib, db - ib));
        if (pa != pb)
            return pa - pb;
        ia = da + 1;
        ib = db + 1;
    }
}

std::u16string GetServiceDirectory() {
    std::u16string directory = host::ProcessEnvironmentValue(u"VANTREL_HOME").value_or(u"");
    if (directory.empty()) {
#ifdef _WIN32
        directory = u"C:\\ProgramData\\Vantrel\\";
#else
        directory = u"/var/lib/vantrel/";
#endif
    }
    EnsureTrailingSeparator(directory);
    return directory;
}

}  // namespace qm
