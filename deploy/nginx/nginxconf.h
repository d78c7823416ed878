// An nginx configuration as nginx reads it: the main file and every file
// its include directives name (globs expanded in sorted order, relative
// paths against the main file's folder, at any level), each parsed with
// nginx's own lexical rules. The view of the whole configuration replaces
// each include directive by the directives of the files it names, and every
// directive remembers the file it stands in, so an edit is a splice of that
// file's text.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "deploy/configtext.h"
#include "deploy/nginx/nginxlexer.h"

namespace qm {

struct NginxConfFile {
    std::u16string path;  // absolute, as the configuration names it (links not resolved)
    std::u16string text;  // one character per byte, line ends as in the file
    NginxParse parse;
};

// A directive of the whole configuration, includes replaced by what they include.
struct NginxNode {
    uint32_t file = 0;
    const NginxDirective* directive = nullptr;
    std::vector<NginxNode> children;

    const std::u16string& name() const { return directive->name(); }
    bool hasBlock() const { return directive->hasBlock; }
};

class NginxConfig {
public:
    // How deep include files may nest, and blocks within a file.
    static constexpr int kMaxIncludeDepth = 32;
    static constexpr int kMaxBlockDepth = 100;

    // Reads the main file and every file it includes. False when a file
    // nginx would need cannot be read (a missing file named without
    // wildcards, a folder, an include cycle, nesting beyond the bound);
    // `problem` then says what and where, in nginx's manner.
    bool Load(const std::u16string& mainFile, std::u16string& problem);
    // One text on its own, without following its includes (file 0, no path).
    void LoadText(std::u16string text);

    size_t FileCount() const { return files_.size(); }
    const NginxConfFile& File(size_t index) const { return *files_[index]; }
    // The file read from `path`, or npos.
    size_t FindFile(std::u16string_view path) const;
    // The folder relative include paths are read against, with its separator.
    const std::u16string& ConfPrefix() const { return confPrefix_; }

    // The main context, includes expanded.
    const std::vector<NginxNode>& Main() const {
        EnsureExpanded();
        return main_;
    }
    // The server blocks of the http context, in nginx's order (a file of
    // server blocks read on its own counts as http context too).
    std::vector<const NginxNode*> ServerBlocks() const;

    // The main context and the inside of the first http block, as (file,
    // directive), include directives followed, without building the view:
    // what edits at the http level need after each splice.
    struct Place {
        size_t file = static_cast<size_t>(-1);
        const NginxDirective* directive = nullptr;
    };
    std::vector<Place> MainLevel() const;
    // The http block (directive null when there is none) and its inside.
    Place HttpBlock(std::vector<Place>* inside = nullptr) const;

    // Replaces a file's text after an edit and rebuilds the view.
    void SetText(size_t file, std::u16string text);
    // Replaces [from, from + length) of a file's text by `text`. When the
    // range holds whole directives of one block (or none, between two) and
    // `text` is whole directives, only `text` is read: the rest of the
    // file's parse stays, its places moved. Otherwise the file is read again.
    void Splice(size_t file, size_t from, size_t length, std::u16string_view text);

    // Changes with every edit and every load: views built from an earlier
    // generation are out of date.
    uint64_t Generation() const { return generation_; }

    // The first line and file where a problem was found, for messages.
    const std::u16string& ProblemFile() const { return problemFile_; }

private:
    // The view is rebuilt when it is next looked at, not after every edit.
    void EnsureExpanded() const;
    // The directives of a level, an include replaced by the top level of the
    // files it named (when they were read).
    void Flatten(size_t file, const std::vector<NginxDirective>& level, std::vector<Place>& out,
                 int depth) const;
    uint32_t AddFile(const std::u16string& path, std::u16string text);
    bool Expand(std::u16string& problem);
    bool ExpandBlock(uint32_t file, const std::vector<NginxDirective>& directives,
                     std::vector<NginxNode>& out, int blockDepth, std::vector<uint32_t>& chain,
                     std::u16string& problem);
    bool ExpandInclude(uint32_t file, const NginxDirective& include, std::vector<NginxNode>& out,
                       int blockDepth, std::vector<uint32_t>& chain, std::u16string& problem);

    std::vector<std::unique_ptr<NginxConfFile>> files_;
    std::map<std::u16string, uint32_t, std::less<>> byPath_;
    // What each include pattern named when it was first expanded: the
    // folders are not listed again when the view is rebuilt.
    std::map<std::u16string, std::vector<std::u16string>, std::less<>> includeMatches_;
    mutable std::vector<NginxNode> main_;
    mutable bool stale_ = false;
    uint64_t generation_ = 0;
    std::u16string confPrefix_;
    std::u16string problemFile_;
    bool followIncludes_ = true;
};

}  // namespace qm
