// An Apache configuration as Apache reads it: the main file and every file
// its Include and IncludeOptional directives name (relative paths against
// the server root, wildcards in any path component, folders read whole, all
// in sorted order), each cut into lines by Apache's rules. Sections are
// evaluated while reading, as Apache does: <IfDefine> against the -D
// options and Define directives seen so far, <IfModule> against the
// compiled-in modules and the LoadModule lines seen so far, <IfFile>
// against the file system; what an inactive section holds is not read.
// Every directive remembers the file and line it stands in, so an edit is
// a splice of that file's text.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "deploy/apache/apachelexer.h"

namespace qm {

// The files the server itself says each Include line brought in:
// (file, line number of the Include) -> the files, in order.
struct IncludeListing {
    bool known = false;
    std::map<std::pair<std::u16string, uint32_t>, std::vector<std::u16string>> children;
};

// What reading depends on besides the files.
struct ApacheContext {
    std::u16string serverRoot;  // relative paths are read against it (ends in a separator)
    std::vector<std::pair<std::u16string, std::u16string>> defines;      // -D options (value empty)
    std::vector<std::pair<std::u16string, std::u16string>> environment;  // for ${NAME}
    std::vector<std::u16string> staticModules;  // "core.c", "mod_so.c", ... (httpd -l)
    IncludeListing listing;                     // the server's own answer, when known
};

struct ApacheConfFile {
    std::u16string path;  // as the configuration names it (links not resolved)
    std::u16string text;  // one character per byte, line ends as in the file
    std::vector<ApacheLine> lines;
};

// A directive (or a section's opening tag) read in an active part of the
// configuration, in the order Apache reads them.
struct ApacheDirective {
    uint32_t file = 0;
    uint32_t line = 0;     // index into that file's lines
    int32_t host = -1;     // the virtual host it stands in (-1: the main server)
    bool section = false;  // an opening tag; `name` without "<"
    bool nested = false;   // inside another section of the host or the main server
    // Lower case; views of the line's own (or, for a line with variables,
    // the expanded) text: valid until the configuration is evaluated again.
    std::u16string_view name;
    std::span<const std::u16string> args;  // variables replaced; a tag's ">" removed
};

struct ApacheVirtualHost {
    uint32_t file = 0;
    uint32_t openLine = 0;   // index of the <VirtualHost> line in that file
    uint32_t closeLine = 0;  // index of the </VirtualHost> line
    bool closed = false;
    std::vector<std::u16string> addresses;
    std::vector<size_t> directives;  // indexes into Directives(), in order
};

class ApacheConfig {
public:
    static constexpr int kMaxIncludeDepth = 32;  // Apache's own bound on nested includes

    // Reads the main file and what it includes. False when a file Apache
    // would need cannot be read; `problem` then says which, in Apache's
    // manner.
    bool Load(const std::u16string& mainFile, const ApacheContext& context,
              std::u16string& problem);
    // One text on its own, without following its includes.
    void LoadText(std::u16string text);

    size_t FileCount() const { return files_.size(); }
    const ApacheConfFile& File(size_t index) const { return *files_[index]; }
    // The file read from `path` (npos: none).
    size_t FindFile(std::u16string_view path) const;
    // The files read in an active part, in the order Apache reads them.
    const std::vector<uint32_t>& FilesRead() const { return filesRead_; }
    bool IsRead(size_t file) const;

    const std::vector<ApacheDirective>& Directives() const { return directives_; }
    const std::vector<ApacheVirtualHost>& Hosts() const { return hosts_; }
    const ApacheLine& LineOf(const ApacheDirective& d) const {
        return files_[d.file]->lines[d.line];
    }
    // The text of a host: from its opening line to the end of its closing one.
    std::u16string_view HostText(const ApacheVirtualHost& host) const;
    size_t HostStart(const ApacheVirtualHost& host) const;
    size_t HostEnd(const ApacheVirtualHost& host) const;

    // Module identifiers ("ssl_module") and source names ("mod_ssl.c")
    // loaded by the end of the configuration.
    bool ModuleLoaded(std::u16string_view name) const;
    bool Defined(std::u16string_view name) const;
    // The server root as the configuration ends it (ServerRoot may change it).
    const std::u16string& ServerRoot() const { return serverRoot_; }
    // A path of the configuration against the server root, in the host's separators.
    std::u16string Resolve(const std::u16string& written) const;
    const ApacheContext& Context() const { return context_; }

    // Replaces part of a file's text, reads that file's lines again and
    // evaluates the whole configuration again.
    void Splice(size_t file, size_t from, size_t length, std::u16string_view text);
    // Several splices of one file at once (not overlapping; an insertion
    // at the place a replacement starts goes before it), then, unless
    // `evaluate` is false, one evaluation.
    struct Edit {
        size_t from;
        size_t length;
        std::u16string text;
    };
    void SpliceAll(size_t file, std::vector<Edit> edits, bool evaluate = true);
    // Whether a file's text differs from what was read.
    bool Edited(size_t file) const { return file < edited_.size() && edited_[file]; }
    void ClearEdited(size_t file) {
        if (file < edited_.size())
            edited_[file] = false;
    }
    // A new file in memory (not included by anything until evaluated with
    // it on disk); its index.
    size_t AddFile(const std::u16string& path, std::u16string text);

    // Evaluates the sections and includes again (after files appeared).
    bool Evaluate(std::u16string& problem);

private:
    struct Walker;
    size_t ReadFile(const std::u16string& path, bool& ok);

    std::vector<std::unique_ptr<ApacheConfFile>> files_;
    std::vector<bool> edited_;
    std::map<std::u16string, size_t> byPath_;
    ApacheContext context_;
    std::u16string mainFile_;
    std::u16string serverRoot_;
    std::vector<uint32_t> filesRead_;
    std::vector<ApacheDirective> directives_;
    std::vector<ApacheVirtualHost> hosts_;
    std::vector<std::u16string> modules_;
    std::vector<std::pair<std::u16string, std::u16string>> defines_;
    bool single_ = false;
    // Lines with variables, as this evaluation reads them.
    struct Expanded {
        ApacheLineKind kind;
        std::u16string name;
        std::vector<std::u16string> args;
    };
    std::deque<Expanded> expanded_;
    // What each include pattern named (the folders are listed once per load).
    std::map<std::u16string, std::vector<std::u16string>> includeMatches_;
};

}  // namespace qm
