#include "deploy/nginx/nginxconf.h"

#include <algorithm>

#include "deploy/sslcertsrvsubbase.h"
#include "foundation/files.h"
#include "foundation/format.h"
#include "foundation/glob.h"
#include "foundation/paths.h"

namespace qm {

namespace {

// Where a directive stands, as nginx names places in its messages.
std::u16string Place(const NginxConfFile& file, size_t position) {
    return FormatWide(u"%s:%d", file.path, static_cast<int>(LineNumberAt(file.text, position)));
}

bool IsServerBlock(const NginxNode& node) {
    return node.hasBlock() && node.name() == u"server";
}

}  // namespace

uint32_t NginxConfig::AddFile(const std::u16string& path, std::u16string text) {
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
    main_.clear();
    problemFile_.clear();
    followIncludes_ = true;
    confPrefix_ = DirectoryOf(mainFile);
    std::u16string text;
    if (!FileExists(mainFile)) {
        problem = FormatWide(u"open() \"%s\" failed (no such file)", mainFile);
        problemFile_ = mainFile;
        return false;
    }
    AddFile(mainFile, SslCertSrvSubBase::ReadTextFile(mainFile));
    return Expand(problem);
}

void NginxConfig::LoadText(std::u16string text) {
    files_.clear();
    byPath_.clear();
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
    std::u16string ignored;
    Expand(ignored);
}

bool NginxConfig::Expand(std::u16string& problem) {
    main_.clear();
    std::vector<uint32_t> chain = {0};
    return ExpandBlock(0, files_[0]->parse.directives, main_, 0, chain, problem);
}

bool NginxConfig::ExpandBlock(uint32_t file, const std::vector<NginxDirective>& directives,
                              std::vector<NginxNode>& out, int blockDepth,
                              std::vector<uint32_t>& chain, std::u16string& problem) {
    out.reserve(out.size() + directives.size());
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
    std::u16string pattern = include.arg(0);
    if (!IsAbsolutePath(pattern))
        pattern = confPrefix_ + pattern;
    std::vector<std::u16string> paths;
    if (HasGlobWildcard(pattern)) {
        paths = ExpandGlob(pattern);  // a pattern matching nothing is fine
    } else {
        paths.push_back(pattern);
    }
    for (const std::u16string& path : paths) {
        auto fail = [&](const std::u16string& why) {
            problem = FormatWide(u"open() \"%s\" failed (%s) in %s", path, why,
                                 Place(from, include.start()));
            problemFile_ = from.path;
            return false;
        };
        if (DirectoryExists(path))
            return fail(u"is a directory");
        size_t index = FindFile(path);
        if (index == std::u16string_view::npos) {
            std::string bytes;
            if (!FileExists(path))
                return fail(u"no such file");
            if (!ReadFileBytes(path, bytes))
                return fail(u"cannot be read");
            index = AddFile(path, SslCertSrvSubBase::ReadTextFile(path));
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
    for (const NginxNode& node : main_) {
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

std::u16string_view LineEndOf(std::u16string_view text) {
    const size_t lf = text.find(u'\n');
    return lf != std::u16string_view::npos && lf > 0 && text[lf - 1] == u'\r' ? u"\r\n" : u"\n";
}

std::u16string WithLineEnds(std::u16string_view inserted, std::u16string_view lineEnd) {
    if (lineEnd == u"\n")
        return std::u16string(inserted);
    std::u16string out;
    out.reserve(inserted.size() + inserted.size() / 16);
    for (size_t i = 0; i < inserted.size(); ++i) {
        if (inserted[i] == u'\n' && (i == 0 || inserted[i - 1] != u'\r'))
            out.push_back(u'\r');
        out.push_back(inserted[i]);
    }
    return out;
}

}  // namespace qm
