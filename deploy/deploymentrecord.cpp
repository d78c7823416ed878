#include "deploy/deploymentrecord.h"

#include <algorithm>
#include <charconv>

#include "foundation/files.h"
#include "foundation/format.h"
#include "foundation/host/host.h"
#include "foundation/paths.h"
#include "foundation/textconv.h"
#include "foundation/xmldocument.h"

namespace qm {

namespace {

constexpr std::u16string_view kRecordFile = u"record.xml";

// An attribute value: markup characters and control characters as
// references, so every value reads back exactly.
void AppendAttribute(std::u16string& out, std::u16string_view name, std::u16string_view value) {
    out += u' ';
    out += name;
    out += u"=\"";
    for (const char16_t c : value) {
        switch (c) {
            case u'<':
                out += u"&lt;";
                break;
            case u'>':
                out += u"&gt;";
                break;
            case u'&':
                out += u"&amp;";
                break;
            case u'"':
                out += u"&quot;";
                break;
            default:
                if (c < 0x20)
                    out += FormatWide(u"&#%d;", static_cast<int>(c));
                else
                    out += c;
        }
    }
    out += u'"';
}

std::u16string Bool(bool value) {
    return value ? u"1" : u"0";
}

std::u16string Number(int64_t value) {
    return FormatWide(u"%lld", static_cast<long long>(value));
}

int64_t ParseNumber(const std::u16string& text) {
    const std::string narrow = NarrowFromWide(text);
    int64_t value = 0;
    std::from_chars(narrow.data(), narrow.data() + narrow.size(), value);
    return value;
}

std::u16string Element(std::u16string_view name,
                       std::initializer_list<std::pair<std::u16string_view, std::u16string>> attrs,
                       std::u16string_view indent = u"  ") {
    std::u16string out(indent);
    out += u'<';
    out += name;
    for (const auto& [key, value] : attrs)
        AppendAttribute(out, key, value);
    out += u"/>\n";
    return out;
}

}  // namespace

std::u16string ServerRecord::Property(std::u16string_view name) const {
    for (const auto& [key, value] : properties) {
        if (key == name)
            return value;
    }
    return {};
}

std::u16string RecordedChange::Value(std::u16string_view name) const {
    for (const auto& [key, value] : values) {
        if (key == name)
            return value;
    }
    return {};
}

RecordedFile* DeploymentRecord::FindFile(std::u16string_view path) {
    for (RecordedFile& file : files) {
        if (file.path == path)
            return &file;
    }
    return nullptr;
}

bool DeploymentRecord::HasServerFiles() const {
    return !changes.empty() ||
           std::any_of(files.begin(), files.end(), [](const RecordedFile& f) { return !f.state; });
}

bool DeploymentRecord::Save() const {
    std::u16string text = u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<deployment";
    AppendAttribute(text, u"phase", phase);
    AppendAttribute(text, u"httpPort", Number(httpPort));
    AppendAttribute(text, u"httpsPort", Number(httpsPort));
    AppendAttribute(text, u"started", started);
    AppendAttribute(text, u"owner", Number(owner));
    AppendAttribute(text, u"certificate", WideFromUtf8(certificateFingerprint));
    AppendAttribute(text, u"serverTouched", Bool(serverTouched));
    text += u">\n  <server";
    AppendAttribute(text, u"kind", server.kind);
    AppendAttribute(text, u"program", server.launch.program);
    AppendAttribute(text, u"directory", server.launch.directory);
    AppendAttribute(text, u"environmentKnown", Bool(server.launch.environmentKnown));
    AppendAttribute(text, u"unit", server.serviceUnit);
    text += u">\n";
    for (const auto& argument : server.launch.arguments)
        text += Element(u"argument", {{u"value", argument}}, u"    ");
    for (const auto& entry : server.launch.environment)
        text += Element(u"environment", {{u"value", entry}}, u"    ");
    for (const auto& [name, value] : server.properties)
        text += Element(u"property", {{u"name", name}, {u"value", value}}, u"    ");
    text += u"  </server>\n";
    for (const auto& site : sites)
        text += Element(u"site", {{u"name", site}});
    for (const auto& file : files) {
        text += Element(u"file", {{u"path", file.path},
                                  {u"copy", file.copy},
                                  {u"original", WideFromUtf8(file.originalHash)},
                                  {u"deployed", WideFromUtf8(file.deployedHash)},
                                  {u"existed", Bool(file.existed)},
                                  {u"state", Bool(file.state)}});
    }
    for (const auto& path : created)
        text += Element(u"created", {{u"path", path}});
    for (const auto& change : changes) {
        text += u"  <change";
        AppendAttribute(text, u"type", change.type);
        text += u">\n";
        for (const auto& [name, value] : change.values)
            text += Element(u"value", {{u"name", name}, {u"value", value}}, u"    ");
        text += u"  </change>\n";
    }
    for (const auto& target : wireTargets) {
        text += Element(
            u"wire",
            {{u"host", target.host}, {u"address", target.address}, {u"port", Number(target.port)}});
    }
    text += u"</deployment>\n";
    // The launch may carry the server's environment: the record is the owner's only.
    return WriteFileAtomic(RecordPath(), Utf8FromWide(text), FilePrivacy::OwnerOnly);
}

std::optional<DeploymentRecord> DeploymentRecord::Load(const std::u16string& folder,
                                                       std::u16string& problem) {
    DeploymentRecord record;
    record.folder = folder;
    XmlDocument xml;
    if (!xml.Load(record.RecordPath())) {
        problem = FormatWide(u"cannot read %s: %s", record.RecordPath(), xml.ResultText());
        return std::nullopt;
    }
    xml.ResetPosition();
    if (!xml.FindElement(u"deployment")) {
        problem = FormatWide(u"%s is not a deployment record", record.RecordPath());
        return std::nullopt;
    }
    record.phase = xml.GetAttribute(u"phase");
    record.httpPort = static_cast<int32_t>(ParseNumber(xml.GetAttribute(u"httpPort")));
    record.httpsPort = static_cast<int32_t>(ParseNumber(xml.GetAttribute(u"httpsPort")));
    record.started = xml.GetAttribute(u"started");
    record.owner = static_cast<uint32_t>(ParseNumber(xml.GetAttribute(u"owner")));
    record.certificateFingerprint = Utf8FromWide(xml.GetAttribute(u"certificate"));
    record.serverTouched = xml.GetAttribute(u"serverTouched") == u"1";
    xml.IntoElement();
    while (xml.FindElement()) {
        const std::u16string name = xml.GetTagName();
        if (name == u"server") {
            ServerRecord& server = record.server;
            server.kind = xml.GetAttribute(u"kind");
            server.launch.program = xml.GetAttribute(u"program");
            server.launch.directory = xml.GetAttribute(u"directory");
            server.launch.environmentKnown = xml.GetAttribute(u"environmentKnown") == u"1";
            server.serviceUnit = xml.GetAttribute(u"unit");
            xml.IntoElement();
            while (xml.FindElement()) {
                const std::u16string inner = xml.GetTagName();
                if (inner == u"argument")
                    server.launch.arguments.push_back(xml.GetAttribute(u"value"));
                else if (inner == u"environment")
                    server.launch.environment.push_back(xml.GetAttribute(u"value"));
                else if (inner == u"property")
                    server.properties.emplace_back(xml.GetAttribute(u"name"),
                                                   xml.GetAttribute(u"value"));
            }
            xml.OutOfElement();
        } else if (name == u"site") {
            record.sites.push_back(xml.GetAttribute(u"name"));
        } else if (name == u"file") {
            RecordedFile file;
            file.path = xml.GetAttribute(u"path");
            file.copy = xml.GetAttribute(u"copy");
            file.originalHash = Utf8FromWide(xml.GetAttribute(u"original"));
            file.deployedHash = Utf8FromWide(xml.GetAttribute(u"deployed"));
            file.existed = xml.GetAttribute(u"existed") != u"0";
            file.state = xml.GetAttribute(u"state") == u"1";
            record.files.push_back(std::move(file));
        } else if (name == u"created") {
            record.created.push_back(xml.GetAttribute(u"path"));
        } else if (name == u"change") {
            RecordedChange change;
            change.type = xml.GetAttribute(u"type");
            xml.IntoElement();
            while (xml.FindElement(u"value"))
                change.values.emplace_back(xml.GetAttribute(u"name"), xml.GetAttribute(u"value"));
            xml.OutOfElement();
            record.changes.push_back(std::move(change));
        } else if (name == u"wire") {
            record.wireTargets.push_back(
                {xml.GetAttribute(u"host"), xml.GetAttribute(u"address"),
                 static_cast<int32_t>(ParseNumber(xml.GetAttribute(u"port")))});
        }
    }
    return record;
}

DeploymentHistory::DeploymentHistory(std::u16string serviceDirectory, std::u16string_view folder)
    : directory_(std::move(serviceDirectory) + std::u16string(folder) + PathSeparator()) {}

std::vector<std::u16string> DeploymentHistory::Folders() const {
    std::vector<std::u16string> folders;
    std::error_code ec;
    std::filesystem::directory_iterator it(FsPath(directory_), ec);
    if (ec)
        return folders;
    for (const auto& entry : it) {
        const std::u16string name = WidePath(entry.path().filename());
        const bool numbered =
            !name.empty() && std::all_of(name.begin(), name.end(),
                                         [](char16_t c) { return c >= u'0' && c <= u'9'; });
        std::error_code dirEc;
        if (numbered && entry.is_directory(dirEc))
            folders.push_back(name);
    }
    // Numbered folders sort by number: the names have one width.
    std::sort(folders.begin(), folders.end(), [](const std::u16string& a, const std::u16string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    for (auto& name : folders)
        name = directory_ + name + PathSeparator();
    return folders;
}

std::u16string DeploymentHistory::CreateFolder() const {
    if (!MakeDirectoryTree(directory_))
        return {};
    const std::vector<std::u16string> existing = Folders();
    int64_t next = 1;
    if (!existing.empty()) {
        std::u16string last = existing.back();
        last.pop_back();
        next = ParseNumber(FileNameOf(last)) + 1;
    }
    for (;; ++next) {
        const std::u16string folder =
            directory_ + FormatWide(u"%06lld", static_cast<long long>(next)) + PathSeparator();
        if (DirectoryExists(folder))
            continue;
        if (!MakeDirectoryTree(folder))
            return {};
        // Copies of server configuration may hold secrets.
        std::error_code ec;
        std::filesystem::permissions(FsPath(folder), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace, ec);
        return folder;
    }
}

std::u16string RecordTimestamp() {
    const host::LocalTime t = host::Now();
    return FormatWide(u"%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                      t.second);
}

}  // namespace qm
