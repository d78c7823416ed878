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
        std::u16string_view name;
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

    bool Condition(std::u16string_view name, std::span<const std::u16string> args) const {
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

    // What an include pattern names, as Apache expands it.
    const std::vector<std::u16string>& Matches(const std::u16string& pattern, int depth) {
        auto known = config.includeMatches_.find(pattern);
        if (known != config.includeMatches_.end())
            return known->second;
        std::vector<std::u16string> paths;
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
        return config.includeMatches_.emplace(pattern, std::move(paths)).first->second;
    }

    void Include(const ApacheDirective& d, bool optional, int depth, bool active, int32_t host) {
        if (d.args.empty())
            return;
        const ApacheConfFile& file = *config.files_[d.file];
        const std::u16string pattern = config.Resolve(d.args.front());
        std::vector<std::u16string> paths = Matches(pattern, depth);
        // The server's own list wins where it names files the rules above
        // did not find (it read them, so they are part of the configuration).
        const auto& listing = config.context_.listing;
        if (listing.known) {
            const auto listed =
                listing.children.find(std::make_pair(file.path, file.lines[d.line].number));
            if (listed != listing.children.end()) {
                for (const auto& path : listed->second) {
                    if (std::find(paths.begin(), paths.end(), path) == paths.end())
                        paths.push_back(path);
                }
            }
        }
        const std::u16string includer = file.path;
        for (const auto& path : paths) {
            bool readable = true;
            const size_t index = config.ReadFile(path, readable);
            if (!readable) {
                if (optional || HasGlobWildcard(pattern))
                    continue;
                problem = u"Could not open configuration file " + path +
                          u": No such file or directory (included from " + includer + u")";
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
            ApacheLineKind kind = line.kind;
            std::u16string_view name = line.name;
            std::span<const std::u16string> args = line.words;
            if (line.hasVariables && frameActive) {
                const ApacheConfFile& file = *config.files_[fileIndex];
                Expanded& e = config.expanded_.emplace_back();
                ShapeApacheWords(SplitApacheWords(ExpandApacheVariables(
                                     ApacheLineText(file.text, line),
                                     [this](std::u16string_view n) { return Lookup(n); })),
                                 e.kind, e.name, e.args);
                kind = e.kind;
                name = e.name;
                args = e.args;
            }
            if (name.empty() && kind == ApacheLineKind::Directive)
                continue;
            if (kind == ApacheLineKind::Close) {
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
            if (kind == ApacheLineKind::Open) {
                const bool conditional = IsConditional(name);
                bool sectionActive = frameActive;
                if (frameActive && conditional)
                    sectionActive = Condition(name, args);
                int32_t sectionHost = frameHost;
                if (frameActive && !conditional) {
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
                        h.addresses.assign(args.begin(), args.end());
                        sectionHost = static_cast<int32_t>(config.hosts_.size());
                        config.hosts_.push_back(std::move(h));
                        d.host = sectionHost;
                    }
                    config.directives_.push_back(d);
                    if (d.host >= 0 && !isHost)
                        config.hosts_[static_cast<size_t>(d.host)].directives.push_back(
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
            d.name = name;
            d.args = args;
            for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
                if (it->name == u"virtualhost")
                    break;
                if (!IsConditional(it->name)) {
                    d.nested = true;
                    break;
                }
            }
            config.directives_.push_back(d);
            if (d.host >= 0)
                config.hosts_[static_cast<size_t>(d.host)].directives.push_back(
                    config.directives_.size() - 1);
            if (name == u"define" && !args.empty()) {
                config.defines_.emplace_back(args[0], args.size() > 1 ? args[1] : u"");
            } else if (name == u"undefine" && !args.empty()) {
                std::erase_if(config.defines_, [&](const auto& p) { return p.first == args[0]; });
            } else if (name == u"loadmodule" && args.size() >= 2) {
                config.modules_.push_back(args[0]);
                config.modules_.push_back(SourceNameOf(args[1]));
            } else if (name == u"serverroot" && !args.empty()) {
                config.serverRoot_ = NativeSeparators(PathFromConfigText(args[0]));
                EnsureTrailingSeparator(config.serverRoot_);
            } else if ((name == u"include" || name == u"includeoptional") && !config.single_) {
                Include(d, name == u"includeoptional", depth, frameActive, frameHost);
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
    includeMatches_.clear();
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
    expanded_.clear();
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
    const std::u16string path = NativeSeparators(PathFromConfigText(written));
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
    if (edits.empty())
        return;
    // The lines before the first edit and after the last stay; only those
    // in between are read again.
    const size_t first = edits.back().from;
    size_t last = 0;
    ptrdiff_t delta = 0;
    ptrdiff_t newlines = 0;
    for (const Edit& e : edits) {
        last = std::max(last, e.from + e.length);
        delta += static_cast<ptrdiff_t>(e.text.size()) - static_cast<ptrdiff_t>(e.length);
        newlines += std::count(e.text.begin(), e.text.end(), u'\n') -
                    std::count(f.text.begin() + static_cast<ptrdiff_t>(e.from),
                               f.text.begin() + static_cast<ptrdiff_t>(e.from + e.length), u'\n');
    }
    auto& lines = f.lines;
    // (A last line without a line end grows with what is added after it.)
    const auto before = std::partition_point(lines.begin(), lines.end(), [&](const ApacheLine& l) {
        return l.end < first || (l.end == first && l.end != l.contentEnd);
    });
    const auto after = std::partition_point(before, lines.end(),
                                            [&](const ApacheLine& l) { return l.start < last; });
    const size_t from = before == lines.begin() ? 0 : std::prev(before)->end;
    const uint32_t numberBefore = before == lines.begin() ? 0 : std::prev(before)->number;
    const size_t oldTo = after == lines.end() ? f.text.size() : after->start;

    for (const Edit& e : edits)
        f.text.replace(e.from, e.length, e.text);
    edited_[file] = true;

    const size_t to = static_cast<size_t>(static_cast<ptrdiff_t>(oldTo) + delta);
    // The region must still end where a logical line ends (a line continued
    // into the next would join them); otherwise the whole file is read.
    bool boundary = to == f.text.size() || (to > 0 && f.text[to - 1] == u'\n');
    if (boundary && to >= 2) {
        size_t c = to - 1;
        if (c > 0 && f.text[c - 1] == u'\r')
            --c;
        boundary = c == 0 || f.text[c - 1] != u'\\';
    }
    if (!boundary || to < from) {
        lines = LexApacheLines(f.text);
    } else {
        std::vector<ApacheLine> middle = LexApacheLines(f.text, from, to, numberBefore);
        for (auto it = after; it != lines.end(); ++it) {
            it->start = static_cast<size_t>(static_cast<ptrdiff_t>(it->start) + delta);
            it->contentEnd = static_cast<size_t>(static_cast<ptrdiff_t>(it->contentEnd) + delta);
            it->end = static_cast<size_t>(static_cast<ptrdiff_t>(it->end) + delta);
            it->number = static_cast<uint32_t>(static_cast<ptrdiff_t>(it->number) + newlines);
        }
        const auto at = lines.erase(before, after);
        lines.insert(at, std::make_move_iterator(middle.begin()),
                     std::make_move_iterator(middle.end()));
    }
    if (evaluate) {
        std::u16string problem;
        Evaluate(problem);
    }
}

}  // namespace qm
