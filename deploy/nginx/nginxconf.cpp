#include "deploy/nginx/nginxconf.h"

#include <algorithm>

#include "deploy/sslcertsrvsubbase.h"
#include "foundation/files.h"
#include "foundation/format.h"
#include "foundation/glob.h"
#include "foundation/paths.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

// Where a directive stands, as nginx names places in its messages.
std::u16string FileAndLine(const NginxConfFile& file, size_t position) {
    return FormatWide(u"%s:%d", file.path, static_cast<int>(LineNumberAt(file.text, position)));
}

bool IsServerBlock(const NginxNode& node) {
    return node.hasBlock() && node.name() == u"server";
}

}  // namespace

uint32_t NginxConfig::AddFile(const std::u16string& path, std::u16string text) {
    ++generation_;
    auto file = std::make_unique<NginxConfFile>();
    file->path = path;
    file->text = std::move(text);
    file->parse = ParseNginxText(file->text);
    const auto index = static_cast<uint32_t>(files_.size());
    files_.push_back(std::move(file));
    if (!path.empty())
        byPath_[path] = index;
    return index;
}

bool NginxConfig::Load(const std::u16string& mainFile, std::u16string& problem) {
    files_.clear();
    byPath_.clear();
    includeMatches_.clear();
    main_.clear();
    problemFile_.clear();
    followIncludes_ = true;
    confPrefix_ = DirectoryOf(mainFile);
    if (!FileExists(mainFile)) {
        problem = FormatWide(u"open() \"%s\" failed (no such file)", mainFile);
        problemFile_ = mainFile;
        return false;
    }
    std::u16string text;
    if (!SslCertSrvSubBase::ReadTextFile(mainFile, text)) {
        problem = FormatWide(u"open() \"%s\" failed (cannot be read)", mainFile);
        problemFile_ = mainFile;
        return false;
    }
    AddFile(mainFile, std::move(text));
    return Expand(problem);
}

void NginxConfig::LoadText(std::u16string text) {
    files_.clear();
    byPath_.clear();
    includeMatches_.clear();
    main_.clear();
    followIncludes_ = false;
    confPrefix_.clear();
    AddFile(u"", std::move(text));
    std::u16string ignored;
    Expand(ignored);
}

size_t NginxConfig::FindFile(std::u16string_view path) const {
    const auto it = byPath_.find(path);
    return it == byPath_.end() ? std::u16string_view::npos : it->second;
}

void NginxConfig::SetText(size_t file, std::u16string text) {
    NginxConfFile& f = *files_[file];
    f.text = std::move(text);
    f.parse = ParseNginxText(f.text);
    stale_ = true;
    ++generation_;
}

void NginxConfig::EnsureExpanded() const {
    if (!stale_)
        return;
    // Every file the view needs was read when it was first built; rebuilding
    // it changes no state a caller could see but the view itself.
    std::u16string ignored;
    const_cast<NginxConfig*>(this)->Expand(ignored);
}

namespace {

// Moves every place at or after `from` by `delta`.
void Shift(std::vector<NginxDirective>& directives, size_t from, ptrdiff_t delta) {
    auto move = [&](size_t& place) {
        if (place != NginxDirective::npos && place >= from)
            place = static_cast<size_t>(static_cast<ptrdiff_t>(place) + delta);
    };
    for (NginxDirective& d : directives) {
        if (d.end < from)
            continue;  // wholly before: nothing in it moves
        for (NginxWord& w : d.words) {
            move(w.start);
            move(w.end);
        }
        move(d.end);
        move(d.terminator);
        move(d.close);
        Shift(d.children, from, delta);
    }
}

void Offset(std::vector<NginxDirective>& directives, size_t by) {
    for (NginxDirective& d : directives) {
        for (NginxWord& w : d.words) {
            w.start += by;
            w.end += by;
        }
        d.end += by;
        if (d.terminator != NginxDirective::npos)
            d.terminator += by;
        if (d.close != NginxDirective::npos)
            d.close += by;
        Offset(d.children, by);
    }
}

// Whether a "#" stands between `from` and `to` on one line: a place there
// may be inside a comment.
bool MayBeInComment(std::u16string_view text, size_t from, size_t to) {
    for (size_t i = from; i < to && i < text.size(); ++i) {
        if (text[i] == u'#')
            return true;
    }
    return false;
}

}  // namespace

void NginxConfig::Splice(size_t file, size_t from, size_t length, std::u16string_view text) {
    NginxConfFile& f = *files_[file];
    const size_t to = from + length;
    // The innermost block whose inside holds the whole range.
    std::vector<NginxDirective>* level = &f.parse.directives;
    size_t levelStart = 0;  // where the level's inside begins
    for (bool deeper = true; deeper;) {
        deeper = false;
        for (NginxDirective& d : *level) {
            if (d.hasBlock && d.terminator != NginxDirective::npos &&
                d.close != NginxDirective::npos && d.terminator < from && to <= d.close) {
                level = &d.children;
                levelStart = d.terminator + 1;
                deeper = true;
                break;
            }
        }
    }
    // The directives the range holds, whole; none may be cut.
    size_t first = level->size(), last = level->size();
    size_t boundary = levelStart;
    bool clean = f.parse.error.empty();
    for (size_t i = 0; i < level->size() && clean; ++i) {
        const NginxDirective& d = (*level)[i];
        if (d.end <= from) {
            boundary = d.end;
            continue;
        }
        if (d.start() >= to) {
            if (first == level->size())
                first = last = i;
            break;
        }
        if (d.start() < from || d.end > to) {
            clean = false;
            break;
        }
        if (first == level->size())
            first = i;
        last = i + 1;
    }
    if (first == level->size())
        last = first;
    clean = clean && !MayBeInComment(f.text, boundary, from);
    // The new text read on its own must be whole directives: a probe after
    // it must come out as a directive of its own.
    NginxParse added;
    if (clean) {
        std::u16string probe(text);
        probe += u"\n__probe;";
        added = ParseNginxText(probe);
        clean = added.error.empty() && !added.directives.empty() &&
                added.directives.back().name() == u"__probe" &&
                added.directives.back().start() > text.size();
        if (clean)
            added.directives.pop_back();
    }
    if (!clean) {
        std::u16string edited = f.text;
        edited.replace(from, length, text);
        SetText(file, std::move(edited));
        return;
    }
    const ptrdiff_t delta = static_cast<ptrdiff_t>(text.size()) - static_cast<ptrdiff_t>(length);
    level->erase(level->begin() + static_cast<ptrdiff_t>(first),
                 level->begin() + static_cast<ptrdiff_t>(last));
    Shift(f.parse.directives, to, delta);
    Offset(added.directives, from);
    level->insert(level->begin() + static_cast<ptrdiff_t>(first),
                  std::make_move_iterator(added.directives.begin()),
                  std::make_move_iterator(added.directives.end()));
    f.text.replace(from, length, text);
    stale_ = true;
    ++generation_;
}

bool NginxConfig::Expand(std::u16string& problem) {
    stale_ = false;
    main_.clear();
    std::vector<uint32_t> chain = {0};
    return ExpandBlock(0, files_[0]->parse.directives, main_, 0, chain, problem);
}

bool NginxConfig::ExpandBlock(uint32_t file, const std::vector<NginxDirective>& directives,
                              std::vector<NginxNode>& out, int blockDepth,
                              std::vector<uint32_t>& chain, std::u16string& problem) {
    if (out.empty())
        out.reserve(directives.size());
    for (const NginxDirective& d : directives) {
        if (followIncludes_ && d.name() == u"include" && !d.hasBlock && d.argCount() == 1) {
            if (!ExpandInclude(file, d, out, blockDepth, chain, problem))
                return false;
            continue;
        }
        NginxNode node;
        node.file = file;
        node.directive = &d;
        // Deeper nesting than any real configuration has is not followed.
        if (d.hasBlock && blockDepth < kMaxBlockDepth &&
            !ExpandBlock(file, d.children, node.children, blockDepth + 1, chain, problem)) {
            return false;
        }
        out.push_back(std::move(node));
    }
    return true;
}

bool NginxConfig::ExpandInclude(uint32_t file, const NginxDirective& include,
                                std::vector<NginxNode>& out, int blockDepth,
                                std::vector<uint32_t>& chain, std::u16string& problem) {
    const NginxConfFile& from = *files_[file];
    std::u16string pattern = PathFromConfigText(include.arg(0));
    if (!IsAbsolutePath(pattern))
        pattern = confPrefix_ + pattern;
    auto known = includeMatches_.find(pattern);
    if (known == includeMatches_.end()) {
        std::vector<std::u16string> paths;
        if (HasGlobWildcard(pattern))
            paths = ExpandGlob(pattern);  // a pattern matching nothing is fine
        else
            paths.push_back(pattern);
        known = includeMatches_.emplace(pattern, std::move(paths)).first;
    }
    for (const std::u16string& path : known->second) {
        auto fail = [&](const std::u16string& why) {
            problem = FormatWide(u"open() \"%s\" failed (%s) in %s", path, why,
                                 FileAndLine(from, include.start()));
            problemFile_ = from.path;
            return false;
        };
        size_t index = FindFile(path);
        if (index == std::u16string_view::npos) {
            if (DirectoryExists(path))
                return fail(u"is a directory");
            std::u16string text;
            if (!SslCertSrvSubBase::ReadTextFile(path, text))
                return fail(FileExists(path) ? u"cannot be read" : u"no such file");
            index = AddFile(path, std::move(text));
        }
        const auto included = static_cast<uint32_t>(index);
        if (std::find(chain.begin(), chain.end(), included) != chain.end())
            return fail(u"included from itself");
        if (static_cast<int>(chain.size()) > kMaxIncludeDepth)
            return fail(u"includes nested too deeply");
        chain.push_back(included);
        const bool ok = ExpandBlock(included, files_[included]->parse.directives, out, blockDepth,
                                    chain, problem);
        chain.pop_back();
        if (!ok)
            return false;
    }
    return true;
}

std::vector<const NginxNode*> NginxConfig::ServerBlocks() const {
    std::vector<const NginxNode*> servers;
    for (const NginxNode& node : Main()) {
        if (IsServerBlock(node)) {
            servers.push_back(&node);
        } else if (node.hasBlock() && node.name() == u"http") {
            for (const NginxNode& child : node.children) {
                if (IsServerBlock(child))
                    servers.push_back(&child);
            }
        }
    }
    return servers;
}

void NginxConfig::Flatten(size_t file, const std::vector<NginxDirective>& level,
                          std::vector<Place>& out, int depth) const {
    for (const NginxDirective& d : level) {
        if (!followIncludes_ || d.name() != u"include" || d.hasBlock || d.argCount() != 1 ||
            depth >= kMaxIncludeDepth) {
            out.push_back({file, &d});
            continue;
        }
        std::u16string pattern = PathFromConfigText(d.arg(0));
        if (!IsAbsolutePath(pattern))
            pattern = confPrefix_ + pattern;
        const auto matches = includeMatches_.find(pattern);
        if (matches == includeMatches_.end())
            continue;
        for (const std::u16string& path : matches->second) {
            const size_t included = FindFile(path);
            if (included != std::u16string_view::npos)
                Flatten(included, files_[included]->parse.directives, out, depth + 1);
        }
    }
}

std::vector<NginxConfig::Place> NginxConfig::MainLevel() const {
    std::vector<Place> places;
    if (!files_.empty())
        Flatten(0, files_[0]->parse.directives, places, 0);
    return places;
}

NginxConfig::Place NginxConfig::HttpBlock(std::vector<Place>* inside) const {
    for (const Place& place : MainLevel()) {
        if (place.directive->hasBlock && place.directive->name() == u"http") {
            if (inside)
                Flatten(place.file, place.directive->children, *inside, 0);
            return place;
        }
    }
    return {};
}

}  // namespace qm
