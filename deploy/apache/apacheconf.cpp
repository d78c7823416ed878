#include "deploy/apache/apacheconf.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "deploy/configtext.h"
#include "deploy/sslcertsrvsubbase.h"
#include "foundation/files.h"
#include "foundation/glob.h"
#include "foundation/paths.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

// Every file below a folder, as Apache reads a folder named by Include:
// entries in sorted order, subfolders read where they sort.
void FilesOfFolder(const std::u16string& folder, std::vector<std::u16string>& out, int depth) {
    if (depth > ApacheConfig::kMaxIncludeDepth)
        return;
    std::vector<std::u16string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(FsPath(folder), ec), end; !ec && it != end;
         it.increment(ec)) {
        names.push_back(WidePath(it->path().filename()));
    }
    std::sort(names.begin(), names.end());
    std::u16string base = folder;
    EnsureTrailingSeparator(base);
    for (const auto& name : names) {
        const std::u16string path = base + name;
        if (DirectoryExists(path))
            FilesOfFolder(path, out, depth + 1);
        else
            out.push_back(path);
    }
}

// A module's source name from its file: modules/mod_ssl.so -> mod_ssl.c.
std::u16string SourceNameOf(const std::u16string& file) {
    std::u16string name = FileNameOf(file);
    const size_t dot = name.rfind(u'.');
    if (dot != std::u16string::npos)
        name.resize(dot);
    return name + u".c";
}

bool IsConditional(std::u16string_view name) {
    return name == u"ifdefine" || name == u"ifmodule" || name == u"iffile" ||
           name == u"ifversion" || name == u"ifdirective" || name == u"ifsection";
}

}  // namespace

struct ApacheConfig::Walker {
    ApacheConfig& config;
    std::u16string& problem;
    bool ok = true;

    struct Frame {
        std::u16string name;
        bool active;
        int32_t host;
    };

    const std::u16string* Lookup(std::u16string_view name) const {
        for (auto it = config.defines_.rbegin(); it != config.defines_.rend(); ++it) {
            if (it->first == name)
                return it->second.empty() ? nullptr : &it->second;
        }
        for (const auto& [key, value] : config.context_.environment) {
            if (key == name)
                return &value;
        }
        return nullptr;
    }

    bool Condition(const std::u16string& name, const std::vector<std::u16string>& args) const {
        if (args.empty())
            return true;
        std::u16string arg = args.front();
        bool negate = false;
        if (!arg.empty() && arg.front() == u'!') {
            negate = true;
            arg.erase(0, 1);
        }
        bool holds = true;
        if (name == u"ifdefine")
            holds = config.Defined(arg);
        else if (name == u"ifmodule")
            holds = config.ModuleLoaded(arg);
        else if (name == u"iffile")
            holds = FileExists(config.Resolve(arg)) || DirectoryExists(config.Resolve(arg));
        return holds != negate;
    }

    void Include(const ApacheDirective& d, bool optional, int depth, bool active, int32_t host) {
        if (d.args.empty())
            return;
        const ApacheConfFile& file = *config.files_[d.file];
        std::vector<std::u16string> paths;
        const auto& listing = config.context_.listing;
        const auto key = std::make_pair(file.path, file.lines[d.line].number);
        const auto listed = listing.known ? listing.children.find(key) : listing.children.end();
        const std::u16string pattern = config.Resolve(d.args.front());
        if (HasGlobWildcard(pattern)) {
            for (const auto& match : ExpandGlob(pattern)) {
                if (DirectoryExists(match))
                    FilesOfFolder(match, paths, depth);
                else
                    paths.push_back(match);
            }
        } else if (DirectoryExists(pattern)) {
            FilesOfFolder(pattern, paths, depth);
        } else {
            paths.push_back(pattern);
        }
        // The server's own list wins where it names files the rules above
        // did not find (it read them, so they are part of the configuration).
        if (listed != listing.children.end()) {
            for (const auto& path : listed->second) {
                if (std::find(paths.begin(), paths.end(), path) == paths.end())
                    paths.push_back(path);
            }
        }
        for (const auto& path : paths) {
            bool readable = true;
            const size_t index = config.ReadFile(path, readable);
            if (!readable) {
                if (optional || HasGlobWildcard(pattern))
                    continue;
                problem = u"Could not open configuration file " + path +
                          u": No such file or directory (included from " + file.path + u")";
                ok = false;
                return;
            }
            if (depth + 1 > kMaxIncludeDepth) {
                problem = u"Exceeded the maximum include directory nesting level of " +
                          WideFromAscii(std::to_string(kMaxIncludeDepth)) + u" at " + path;
                ok = false;
                return;
            }
            Walk(static_cast<uint32_t>(index), depth + 1, active, host);
            if (!ok)
                return;
        }
    }

    void Walk(uint32_t fileIndex, int depth, bool active, int32_t host) {
        if (active)
            config.filesRead_.push_back(fileIndex);
        std::vector<Frame> stack;
        const size_t lineCount = config.files_[fileIndex]->lines.size();
        for (uint32_t i = 0; i < lineCount && ok; ++i) {
            const ApacheLine& line = config.files_[fileIndex]->lines[i];
            const bool frameActive = stack.empty() ? active : stack.back().active;
            const int32_t frameHost = stack.empty() ? host : stack.back().host;
            std::vector<std::u16string> expanded;
            if (line.hasVariables && frameActive)
                expanded = SplitApacheWords(ExpandApacheVariables(
                    line.text, [this](std::u16string_view n) { return Lookup(n); }));
            const std::vector<std::u16string>& words = line.hasVariables ? expanded : line.words;
            if (words.empty())
                continue;
            const std::u16string& first = words.front();
            if (first.size() >= 2 && first[0] == u'<' && first[1] == u'/') {
                std::u16string name = ToLowerAscii(first.substr(2));
                if (!name.empty() && name.back() == u'>')
                    name.pop_back();
                for (size_t k = stack.size(); k-- > 0;) {
                    if (stack[k].name != name)
                        continue;
                    for (size_t j = stack.size(); j-- > k;) {
                        if (stack[j].name == u"virtualhost" && stack[j].active &&
                            stack[j].host >= 0) {
                            auto& h = config.hosts_[static_cast<size_t>(stack[j].host)];
                            if (h.file == fileIndex && !h.closed) {
                                h.closeLine = i;
                                h.closed = true;
                            }
                        }
                    }
                    stack.resize(k);
                    break;
                }
                continue;
            }
            if (first.size() >= 2 && first[0] == u'<') {
                std::u16string name = ToLowerAscii(first.substr(1));
                std::vector<std::u16string> args(words.begin() + 1, words.end());
                if (!name.empty() && name.back() == u'>')
                    name.pop_back();
                if (!args.empty()) {
                    std::u16string& last = args.back();
                    if (last == u">")
                        args.pop_back();
                    else if (!last.empty() && last.back() == u'>')
                        last.pop_back();
                }
                bool sectionActive = frameActive;
                if (frameActive && IsConditional(name))
                    sectionActive = Condition(name, args);
                int32_t sectionHost = frameHost;
                if (frameActive && !IsConditional(name)) {
                    ApacheDirective d;
                    d.file = fileIndex;
                    d.line = i;
                    d.host = frameHost;
                    d.section = true;
                    d.nested = !stack.empty() && stack.back().name != u"virtualhost" &&
                               !IsConditional(stack.back().name);
                    d.name = name;
                    d.args = args;
                    const bool isHost = name == u"virtualhost";
                    if (isHost) {
                        ApacheVirtualHost h;
                        h.file = fileIndex;
                        h.openLine = h.closeLine = i;
                        h.addresses = args;
                        sectionHost = static_cast<int32_t>(config.hosts_.size());
                        config.hosts_.push_back(std::move(h));
                        d.host = sectionHost;
                    }
                    const int32_t owner = d.host;
                    config.directives_.push_back(std::move(d));
                    if (owner >= 0 && !isHost)
                        config.hosts_[static_cast<size_t>(owner)].directives.push_back(
                            config.directives_.size() - 1);
                }
                stack.push_back({name, sectionActive, sectionHost});
                continue;
            }
            if (!frameActive)
                continue;
            ApacheDirective d;
            d.file = fileIndex;
            d.line = i;
            d.host = frameHost;
            d.name = ToLowerAscii(first);
            d.args.assign(words.begin() + 1, words.end());
            for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
                if (it->name == u"virtualhost")
                    break;
                if (!IsConditional(it->name)) {
                    d.nested = true;
                    break;
                }
            }
            config.directives_.push_back(d);
            const size_t index = config.directives_.size() - 1;
            if (d.host >= 0)
                config.hosts_[static_cast<size_t>(d.host)].directives.push_back(index);
            if (d.name == u"define" && !d.args.empty()) {
                config.defines_.emplace_back(d.args[0], d.args.size() > 1 ? d.args[1] : u"");
            } else if (d.name == u"undefine" && !d.args.empty()) {
                std::erase_if(config.defines_, [&](const auto& p) { return p.first == d.args[0]; });
            } else if (d.name == u"loadmodule" && d.args.size() >= 2) {
                config.modules_.push_back(d.args[0]);
                config.modules_.push_back(SourceNameOf(d.args[1]));
            } else if (d.name == u"serverroot" && !d.args.empty()) {
                config.serverRoot_ = PathFromConfigText(d.args[0]);
                EnsureTrailingSeparator(config.serverRoot_);
            } else if ((d.name == u"include" || d.name == u"includeoptional") && !config.single_) {
                Include(d, d.name == u"includeoptional", depth, frameActive, frameHost);
            }
        }
        // A section left open at the end of its file ends there.
        for (const Frame& frame : stack) {
            if (frame.name == u"virtualhost" && frame.active && frame.host >= 0) {
                auto& h = config.hosts_[static_cast<size_t>(frame.host)];
                if (!h.closed && lineCount > 0)
                    h.closeLine = static_cast<uint32_t>(lineCount - 1);
            }
        }
    }
};

bool ApacheConfig::Load(const std::u16string& mainFile, const ApacheContext& context,
                        std::u16string& problem) {
    files_.clear();
    edited_.clear();
    byPath_.clear();
    single_ = false;
    context_ = context;
    mainFile_ = mainFile;
    bool readable = true;
    ReadFile(mainFile, readable);
    if (!readable) {
        problem = u"Could not open configuration file " + mainFile + u": No such file or directory";
        return false;
    }
    return Evaluate(problem);
}

void ApacheConfig::LoadText(std::u16string text) {
    files_.clear();
    edited_.clear();
    byPath_.clear();
    single_ = true;
    auto file = std::make_unique<ApacheConfFile>();
    file->lines = LexApacheLines(text);
    file->text = std::move(text);
    files_.push_back(std::move(file));
    edited_.push_back(false);
    std::u16string problem;
    Evaluate(problem);
}

size_t ApacheConfig::ReadFile(const std::u16string& path, bool& ok) {
    const auto found = byPath_.find(path);
    if (found != byPath_.end()) {
        ok = true;
        return found->second;
    }
    auto file = std::make_unique<ApacheConfFile>();
    file->path = path;
    ok = !DirectoryExists(path) && SslCertSrvSubBase::ReadTextFile(path, file->text);
    if (!ok)
        return static_cast<size_t>(-1);
    file->lines = LexApacheLines(file->text);
    files_.push_back(std::move(file));
    edited_.push_back(false);
    byPath_[path] = files_.size() - 1;
    return files_.size() - 1;
}

size_t ApacheConfig::AddFile(const std::u16string& path, std::u16string text) {
    auto file = std::make_unique<ApacheConfFile>();
    file->path = path;
    file->lines = LexApacheLines(text);
    file->text = std::move(text);
    files_.push_back(std::move(file));
    edited_.push_back(true);
    byPath_[path] = files_.size() - 1;
    return files_.size() - 1;
}

bool ApacheConfig::Evaluate(std::u16string& problem) {
    filesRead_.clear();
    directives_.clear();
    hosts_.clear();
    modules_ = context_.staticModules;
    defines_ = context_.defines;
    serverRoot_ = context_.serverRoot;
    if (files_.empty())
        return false;
    Walker walker{*this, problem};
    walker.Walk(0, 0, true, -1);
    return walker.ok;
}

size_t ApacheConfig::FindFile(std::u16string_view path) const {
    const auto found = byPath_.find(std::u16string(path));
    return found == byPath_.end() ? static_cast<size_t>(-1) : found->second;
}

bool ApacheConfig::IsRead(size_t file) const {
    return std::find(filesRead_.begin(), filesRead_.end(), file) != filesRead_.end();
}

bool ApacheConfig::ModuleLoaded(std::u16string_view name) const {
    return std::find(modules_.begin(), modules_.end(), name) != modules_.end();
}

bool ApacheConfig::Defined(std::u16string_view name) const {
    for (const auto& define : defines_) {
        if (define.first == name)
            return true;
    }
    return false;
}

std::u16string ApacheConfig::Resolve(const std::u16string& written) const {
    const std::u16string path = PathFromConfigText(written);
    if (path.empty() || IsAbsolutePath(path) || serverRoot_.empty())
        return path;
    return serverRoot_ + path;
}

size_t ApacheConfig::HostStart(const ApacheVirtualHost& host) const {
    return files_[host.file]->lines[host.openLine].start;
}

size_t ApacheConfig::HostEnd(const ApacheVirtualHost& host) const {
    return files_[host.file]->lines[host.closeLine].end;
}

std::u16string_view ApacheConfig::HostText(const ApacheVirtualHost& host) const {
    const size_t start = HostStart(host);
    return std::u16string_view(files_[host.file]->text).substr(start, HostEnd(host) - start);
}

void ApacheConfig::Splice(size_t file, size_t from, size_t length, std::u16string_view text) {
    SpliceAll(file, {{from, length, std::u16string(text)}});
}

void ApacheConfig::SpliceAll(size_t file, std::vector<Edit> edits, bool evaluate) {
    ApacheConfFile& f = *files_[file];
    std::stable_sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) {
        return a.from != b.from ? a.from > b.from : a.length > b.length;
    });
    for (const Edit& e : edits)
        f.text.replace(e.from, e.length, e.text);
    f.lines = LexApacheLines(f.text);
    edited_[file] = true;
    if (evaluate) {
        std::u16string problem;
        Evaluate(problem);
    }
}

}  // namespace qm
