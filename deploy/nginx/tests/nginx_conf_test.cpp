// The whole nginx configuration over real files: include directives at any
// level, relative to the main file's folder, globs in sorted order, missing
// files, folders, cycles and nesting bounds, the expanded view and the files
// its nodes come from, re-parsing after an edit, and line ends for edits.
#include "deploy/nginx/nginxconf.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <string>
#include <vector>

#include "deploy/nginx/tests/nginx_test_support.h"
#include "foundation/files.h"
#include "foundation/paths.h"
#include "foundation/textconv.h"
#include "tests/support/platform_skip.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

// Test files are written plainly: the atomic, synced writer is needlessly
// slow for dozens of throwaway files.
void WriteText(const std::u16string& path, std::string_view text) {
    test::WritePlain(path, text);
}

using test::Bytes;
using test::Narrow;

// The view as text: "name arg ... @file" per node, blocks in braces, the
// file given by its name only.
std::string Render(const NginxConfig& config, const std::vector<NginxNode>& nodes) {
    std::string out;
    for (const NginxNode& node : nodes) {
        if (!out.empty())
            out += ' ';
        out += Narrow(node.name());
        for (size_t i = 0; i < node.directive->argCount(); ++i)
            out += ' ' + Narrow(node.directive->arg(i));
        out += " @" + Utf8FromWide(FileNameOf(config.File(node.file).path));
        if (node.hasBlock())
            out += " { " + Render(config, node.children) + (node.children.empty() ? "}" : " }");
        else
            out += ';';
    }
    return out;
}

class NginxConfFiles : public ::testing::Test {
protected:
    // Writes a file under the temporary folder, making its folders.
    std::u16string Put(std::u16string_view relative, std::string_view text) {
        const std::u16string path = dir_ / relative;
        EXPECT_TRUE(MakeDirectoryTree(DirectoryOf(path)));
        WriteText(path, text);
        return path;
    }
    std::u16string Conf() const { return dir_ / u"conf/"; }
    std::string ConfNarrow() const { return Utf8FromWide(Conf()); }
    std::u16string Main(std::string_view text) { return Put(u"conf/nginx.conf", text); }
    bool Load(std::u16string& problem) { return config_.Load(Conf() + u"nginx.conf", problem); }
    void LoadOk() {
        std::u16string problem;
        ASSERT_TRUE(Load(problem)) << Utf8FromWide(problem);
        EXPECT_TRUE(problem.empty()) << Utf8FromWide(problem);
    }
    std::string View() const { return Render(config_, config_.Main()); }

    test::TempDir dir_;
    NginxConfig config_;
};

TEST_F(NginxConfFiles, MainFileAloneAndItsPrefix) {
    Main("worker_processes 1;\nevents {\n}\n");
    LoadOk();
    EXPECT_EQ(config_.FileCount(), 1u);
    EXPECT_EQ(config_.File(0).path, Conf() + u"nginx.conf");
    EXPECT_EQ(config_.File(0).text, u"worker_processes 1;\nevents {\n}\n");
    EXPECT_EQ(config_.ConfPrefix(), Conf());
    EXPECT_EQ(config_.FindFile(Conf() + u"nginx.conf"), 0u);
    EXPECT_EQ(config_.FindFile(Conf() + u"other.conf"), std::u16string_view::npos);
    EXPECT_EQ(View(), "worker_processes 1 @nginx.conf; events @nginx.conf { }");
}

TEST_F(NginxConfFiles, MissingMainFileIsAProblem) {
    std::u16string problem;
    EXPECT_FALSE(Load(problem));
    EXPECT_NE(problem.find(Conf() + u"nginx.conf"), std::u16string::npos) << Utf8FromWide(problem);
}

TEST_F(NginxConfFiles, RelativeIncludesReadAgainstTheMainFilesFolderAtEveryLevel) {
    Main("events {\n}\nhttp {\n    include sites/a.conf;\n}\n");
    // Named relative to the main file's folder, not to sites/.
    Put(u"conf/sites/a.conf", "server {\n    include snippets/b.conf;\n}\n");
    Put(u"conf/snippets/b.conf", "listen 8080;\n");
    Put(u"conf/sites/snippets/b.conf", "listen 9999;\n");  // the wrong one
    // Nor relative to the working folder: give it the same names with other content.
    Put(u"cwd/sites/a.conf", "server_tokens off;\n");
    Put(u"cwd/snippets/b.conf", "listen 7777;\n");
    char saved[PATH_MAX];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(chdir(Utf8FromWide(dir_ / u"cwd").c_str()), 0);
    std::u16string problem;
    const bool loaded = Load(problem);
    ASSERT_EQ(chdir(saved), 0);
    ASSERT_TRUE(loaded) << Utf8FromWide(problem);
    EXPECT_EQ(
        View(),
        "events @nginx.conf { } http @nginx.conf { server @a.conf { listen 8080 @b.conf; } }");
    ASSERT_EQ(config_.FileCount(), 3u);
    EXPECT_EQ(config_.File(1).path, Conf() + u"sites/a.conf");
    EXPECT_EQ(config_.File(2).path, Conf() + u"snippets/b.conf");
}

TEST_F(NginxConfFiles, AbsoluteIncludes) {
    std::u16string elsewhere = Put(u"elsewhere/site.conf", "server {\n    listen 81;\n}\n");
    ToForwardSlashes(elsewhere);  // nginx reads a backslash as an escape
    Main("http {\n    include " + Utf8FromWide(elsewhere) + ";\n}\n");
    LoadOk();
    EXPECT_EQ(View(), "http @nginx.conf { server @site.conf { listen 81 @site.conf; } }");
    EXPECT_EQ(config_.FindFile(elsewhere), 1u);
}

TEST_F(NginxConfFiles, GlobsExpandInSortedOrder) {
#ifdef _WIN32
    const std::string capital = "C";  // B.conf would be b.conf there
#else
    const std::string capital = "B";
#endif
    Main("http {\n    include conf.d/*.conf;\n}\n");
    Put(u"conf/conf.d/b.conf", "server_tokens b;\n");
    Put(u"conf/conf.d/a.conf", "server_tokens a;\n");
    Put(u"conf/conf.d/" + WideFromUtf8(capital) + u".conf", "server_tokens " + capital + ";\n");
    Put(u"conf/conf.d/_.conf", "server_tokens _;\n");
    Put(u"conf/conf.d/10.conf", "server_tokens 10;\n");
    Put(u"conf/conf.d/9.conf", "server_tokens 9;\n");
    Put(u"conf/conf.d/a.conf.bak", "server_tokens bak;\n");
    Put(u"conf/conf.d/.hidden.conf", "server_tokens hidden;\n");
    LoadOk();
    EXPECT_EQ(View(),
              "http @nginx.conf { server_tokens 10 @10.conf; server_tokens 9 @9.conf; "
              "server_tokens " +
                  capital + " @" + capital +
                  ".conf; server_tokens _ @_.conf; server_tokens a @a.conf; "
                  "server_tokens b @b.conf; }");
    EXPECT_EQ(config_.FileCount(), 7u);
}

TEST_F(NginxConfFiles, GlobsInAFolderComponent) {
    Main("http {\n    include sites/*/site.conf;\n}\n");
    Put(u"conf/sites/b/site.conf", "server {\n    server_name b;\n}\n");
    Put(u"conf/sites/a/site.conf", "server {\n    server_name a;\n}\n");
    Put(u"conf/sites/c/other.conf", "server {\n    server_name c;\n}\n");
    LoadOk();
    ASSERT_EQ(config_.ServerBlocks().size(), 2u);
    EXPECT_EQ(config_.ServerBlocks()[0]->children.at(0).directive->arg(0), u"a");
    EXPECT_EQ(config_.ServerBlocks()[1]->children.at(0).directive->arg(0), u"b");
}

TEST_F(NginxConfFiles, GlobMatchingNothingIsFine) {
    Main(
        "http {\n"
        "    include empty.d/*.conf;\n"
        "    include missing.d/*.conf;\n"
        "    include /nonexistent-quillmate-folder/*/x.conf;\n"
        "    server_tokens off;\n"
        "}\n");
    ASSERT_TRUE(MakeDirectoryTree(Conf() + u"empty.d"));
    LoadOk();
    EXPECT_EQ(View(), "http @nginx.conf { server_tokens off @nginx.conf; }");
    EXPECT_EQ(config_.FileCount(), 1u);
}

TEST_F(NginxConfFiles, MissingPlainIncludeNamesTheFileAndWhereItWasNamed) {
    Main(
        "events {\n"
        "}\n"
        "http {\n"
        "    include missing.conf;\n"
        "}\n");
    std::u16string problem;
    EXPECT_FALSE(Load(problem));
    const std::string text = Utf8FromWide(problem);
    EXPECT_NE(text.find("\"" + ConfNarrow() + "missing.conf\""), std::string::npos) << text;
    EXPECT_NE(text.find(ConfNarrow() + "nginx.conf:4"), std::string::npos) << text;
    EXPECT_EQ(config_.ProblemFile(), Conf() + u"nginx.conf");
}

TEST_F(NginxConfFiles, MissingIncludeInAnIncludedFileNamesThatFile) {
    Main("http {\n    include sites/a.conf;\n}\n");
    Put(u"conf/sites/a.conf", "# a site\n\nserver {\n    include ssl/none.conf;\n}\n");
    std::u16string problem;
    EXPECT_FALSE(Load(problem));
    const std::string text = Utf8FromWide(problem);
    EXPECT_NE(text.find("\"" + ConfNarrow() + "ssl/none.conf\""), std::string::npos) << text;
    EXPECT_NE(text.find(ConfNarrow() + "sites/a.conf:4"), std::string::npos) << text;
    EXPECT_EQ(config_.ProblemFile(), Conf() + u"sites/a.conf");
}

TEST_F(NginxConfFiles, AFolderNamedByIncludeIsAProblem) {
    Main("http {\n    include sites;\n}\n");
    Put(u"conf/sites/a.conf", "server_tokens off;\n");
    std::u16string problem;
    EXPECT_FALSE(Load(problem));
    const std::string text = Utf8FromWide(problem);
    EXPECT_NE(text.find(ConfNarrow() + "sites"), std::string::npos) << text;
    EXPECT_NE(text.find(ConfNarrow() + "nginx.conf:2"), std::string::npos) << text;
}

TEST_F(NginxConfFiles, AFolderMatchedByAGlobIsAProblem) {
    // nginx reads every name the pattern gives, folders too, and fails on them.
    Main("http {\n    include conf.d/*;\n}\n");
    Put(u"conf/conf.d/a.conf", "server_tokens off;\n");
    ASSERT_TRUE(MakeDirectoryTree(Conf() + u"conf.d/sub"));
    std::u16string problem;
    EXPECT_FALSE(Load(problem));
    EXPECT_NE(Utf8FromWide(problem).find(Utf8FromWide(dir_ / u"conf/conf.d/sub")),
              std::string::npos)
        << Utf8FromWide(problem);
}

TEST_F(NginxConfFiles, IncludeCycleIsAProblem) {
    Main("http {\n    include a.conf;\n}\n");
    Put(u"conf/a.conf", "include b.conf;\n");
    Put(u"conf/b.conf", "server_tokens off;\ninclude a.conf;\n");
    std::u16string problem;
    EXPECT_FALSE(Load(problem));
    const std::string text = Utf8FromWide(problem);
    EXPECT_NE(text.find(ConfNarrow() + "a.conf"), std::string::npos) << text;
    EXPECT_NE(text.find(ConfNarrow() + "b.conf:2"), std::string::npos) << text;
    EXPECT_EQ(config_.ProblemFile(), Conf() + u"b.conf");
}

TEST_F(NginxConfFiles, TheMainFileIncludingItselfIsACycle) {
    Main("events {\n}\ninclude nginx.conf;\n");
    std::u16string problem;
    EXPECT_FALSE(Load(problem));
    EXPECT_NE(Utf8FromWide(problem).find(ConfNarrow() + "nginx.conf:3"), std::string::npos)
        << Utf8FromWide(problem);
}

TEST_F(NginxConfFiles, AGlobMatchingTheIncludingFileIsACycle) {
    Main("http {\n    include conf.d/*.conf;\n}\n");
    Put(u"conf/conf.d/a.conf", "server_tokens off;\n");
    Put(u"conf/conf.d/b.conf", "include conf.d/*.conf;\n");
    std::u16string problem;
    EXPECT_FALSE(Load(problem));
    EXPECT_NE(Utf8FromWide(problem).find(Utf8FromWide(dir_ / u"conf/conf.d/b.conf") + ":1"),
              std::string::npos)
        << Utf8FromWide(problem);
}

// A chain of `levels` files below the main file, each including the next.
void WriteChain(const std::u16string& conf, int levels) {
    WriteText(conf + u"nginx.conf", "include n1.conf;\n");
    for (int i = 1; i <= levels; ++i) {
        const std::string next =
            i < levels ? "include n" + std::to_string(i + 1) + ".conf;\n" : "server_tokens off;\n";
        WriteText(conf + u"n" + WideFromUtf8(std::to_string(i)) + u".conf",
                  "# level " + std::to_string(i) + "\n" + next);
    }
}

TEST_F(NginxConfFiles, NestingUpToTheBoundIsRead) {
    ASSERT_TRUE(MakeDirectoryTree(Conf()));
    WriteChain(Conf(), NginxConfig::kMaxIncludeDepth);
    LoadOk();
    EXPECT_EQ(config_.FileCount(), static_cast<size_t>(NginxConfig::kMaxIncludeDepth) + 1);
    ASSERT_EQ(config_.Main().size(), 1u);
    EXPECT_EQ(config_.Main()[0].name(), u"server_tokens");
    EXPECT_EQ(config_.Main()[0].file, static_cast<uint32_t>(NginxConfig::kMaxIncludeDepth));
}

TEST_F(NginxConfFiles, NestingBeyondTheBoundIsAProblem) {
    ASSERT_TRUE(MakeDirectoryTree(Conf()));
    const int levels = NginxConfig::kMaxIncludeDepth + 1;
    WriteChain(Conf(), levels);
    std::u16string problem;
    EXPECT_FALSE(Load(problem));
    // The include that goes one level too deep is the one named.
    const std::string last = "n" + std::to_string(levels) + ".conf";
    const std::string from = "n" + std::to_string(levels - 1) + ".conf:2";
    EXPECT_NE(Utf8FromWide(problem).find(last), std::string::npos) << Utf8FromWide(problem);
    EXPECT_NE(Utf8FromWide(problem).find(from), std::string::npos) << Utf8FromWide(problem);
}

TEST_F(NginxConfFiles, IncludeInsideAServerBlock) {
    Main(
        "http {\n"
        "    server {\n"
        "        listen 443 ssl;\n"
        "        include snippets/ssl.conf;\n"
        "        location / {\n"
        "            include snippets/loc.conf;\n"
        "        }\n"
        "        server_name a.test;\n"
        "    }\n"
        "}\n");
    const std::string ssl =
        "ssl_certificate     /etc/ssl/a.pem;\n"
        "ssl_certificate_key /etc/ssl/a.key;\n";
    Put(u"conf/snippets/ssl.conf", ssl);
    Put(u"conf/snippets/loc.conf", "root /srv/a;\n");
    LoadOk();
    EXPECT_EQ(View(),
              "http @nginx.conf { server @nginx.conf { listen 443 ssl @nginx.conf; "
              "ssl_certificate /etc/ssl/a.pem @ssl.conf; ssl_certificate_key /etc/ssl/a.key "
              "@ssl.conf; location / @nginx.conf { root /srv/a @loc.conf; } server_name a.test "
              "@nginx.conf; } }");
    const auto servers = config_.ServerBlocks();
    ASSERT_EQ(servers.size(), 1u);
    const NginxNode& cert = servers[0]->children.at(1);
    const size_t snippet = config_.FindFile(Conf() + u"snippets/ssl.conf");
    ASSERT_NE(snippet, std::u16string_view::npos);
    EXPECT_EQ(cert.file, snippet);
    // Positions are places in the snippet's own text.
    const std::u16string& text = config_.File(cert.file).text;
    EXPECT_EQ(cert.directive->start(), 0u);
    EXPECT_EQ(text.substr(cert.directive->start(), cert.directive->end - cert.directive->start()),
              u"ssl_certificate     /etc/ssl/a.pem;");
    const NginxNode& key = servers[0]->children.at(2);
    EXPECT_EQ(key.directive->start(), ssl.find("ssl_certificate_key"));
    EXPECT_EQ(LineNumberAt(config_.File(key.file).text, key.directive->start()), 2u);
}

TEST_F(NginxConfFiles, TheSameSnippetIncludedTwiceIsReadOnceAndAppearsTwice) {
    Main(
        "http {\n"
        "    server {\n"
        "        server_name a.test;\n"
        "        include common.conf;\n"
        "    }\n"
        "    server {\n"
        "        server_name b.test;\n"
        "        include common.conf;\n"
        "        include common.conf;\n"
        "    }\n"
        "}\n");
    Put(u"conf/common.conf", "add_header X-Common 1;\n");
    LoadOk();
    EXPECT_EQ(config_.FileCount(), 2u);
    const auto servers = config_.ServerBlocks();
    ASSERT_EQ(servers.size(), 2u);
    ASSERT_EQ(servers[0]->children.size(), 2u);
    ASSERT_EQ(servers[1]->children.size(), 3u);
    EXPECT_EQ(servers[0]->children[1].file, 1u);
    EXPECT_EQ(servers[1]->children[1].file, 1u);
    EXPECT_EQ(servers[1]->children[2].file, 1u);
    // The same directive of the same file, twice.
    EXPECT_EQ(servers[0]->children[1].directive, servers[1]->children[1].directive);
    EXPECT_EQ(servers[1]->children[1].directive, servers[1]->children[2].directive);
}

TEST_F(NginxConfFiles, ServerBlocksAreTheHttpContextsOnly) {
    Main(
        "events {\n"
        "}\n"
        "include http.conf;\n"
        "stream {\n"
        "    upstream backend {\n"
        "        server 127.0.0.1:9000;\n"
        "    }\n"
        "    server {\n"
        "        listen 12345;\n"
        "        proxy_pass backend;\n"
        "    }\n"
        "}\n"
        "mail {\n"
        "    server {\n"
        "        listen 2525;\n"
        "        protocol smtp;\n"
        "    }\n"
        "}\n");
    Put(u"conf/http.conf",
        "http {\n"
        "    upstream app {\n"
        "        server 127.0.0.1:8001;\n"
        "        server 127.0.0.1:8002 backup;\n"
        "    }\n"
        "    server {\n"
        "        server_name one.test;\n"
        "        location / {\n"
        "            proxy_pass http://app;\n"
        "        }\n"
        "    }\n"
        "    include sites/*.conf;\n"
        "    # server { server_name commented.test; }\n"
        "    map $host $x {\n"
        "        server 1;\n"
        "    }\n"
        "}\n");
    Put(u"conf/sites/two.conf", "server {\n    server_name two.test;\n}\n");
    Put(u"conf/sites/three.conf", "server {\n    server_name three.test;\n}\n");
    LoadOk();
    const auto servers = config_.ServerBlocks();
    ASSERT_EQ(servers.size(), 3u);
    std::vector<std::string> names;
    for (const NginxNode* server : servers) {
        ASSERT_FALSE(server->children.empty());
        names.push_back(Narrow(server->children[0].directive->arg(0)));
        EXPECT_TRUE(server->hasBlock());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"one.test", "three.test", "two.test"}));
    EXPECT_EQ(Utf8FromWide(FileNameOf(config_.File(servers[0]->file).path)), "http.conf");
    EXPECT_EQ(Utf8FromWide(FileNameOf(config_.File(servers[1]->file).path)), "three.conf");
}

TEST_F(NginxConfFiles, ServersOfATextReadOnItsOwnCountAsHttpContext) {
    config_.LoadText(
        u"server {\n    listen 80;\n}\n"
        u"include other.conf;\n"
        u"upstream u {\n    server 127.0.0.1:1;\n}\n"
        u"server {\n    listen 81;\n}\n");
    const auto servers = config_.ServerBlocks();
    ASSERT_EQ(servers.size(), 2u);
    EXPECT_EQ(servers[0]->children.at(0).directive->arg(0), u"80");
    EXPECT_EQ(servers[1]->children.at(0).directive->arg(0), u"81");
    // Its includes are not followed: the directive stays as written.
    EXPECT_EQ(config_.FileCount(), 1u);
    ASSERT_EQ(config_.Main().size(), 4u);
    EXPECT_EQ(config_.Main()[1].name(), u"include");
}

TEST_F(NginxConfFiles, SetTextReparsesAndRebuildsTheView) {
    Main("http {\n    include site.conf;\n}\n");
    Put(u"conf/site.conf", "server {\n    listen 80;\n}\n");
    LoadOk();
    const size_t site = config_.FindFile(Conf() + u"site.conf");
    ASSERT_EQ(site, 1u);
    EXPECT_EQ(View(), "http @nginx.conf { server @site.conf { listen 80 @site.conf; } }");

    config_.SetText(site, u"server {\n    listen 80;\n    listen 443 ssl;\n}\nserver {\n}\n");
    EXPECT_EQ(View(),
              "http @nginx.conf { server @site.conf { listen 80 @site.conf; listen 443 ssl "
              "@site.conf; } server @site.conf { } }");
    EXPECT_EQ(config_.File(site).text,
              u"server {\n    listen 80;\n    listen 443 ssl;\n}\nserver {\n}\n");
    const auto servers = config_.ServerBlocks();
    ASSERT_EQ(servers.size(), 2u);
    EXPECT_EQ(servers[0]->children.size(), 2u);
    // Positions follow the new text.
    EXPECT_EQ(servers[1]->directive->start(), config_.File(site).text.find(u"server {\n}"));

    // An edit of the main file that names another file reads it.
    Put(u"conf/more.conf", "server_tokens off;\n");
    config_.SetText(0, u"http {\n    include site.conf;\n    include more.conf;\n}\n");
    EXPECT_EQ(View(),
              "http @nginx.conf { server @site.conf { listen 80 @site.conf; listen 443 ssl "
              "@site.conf; } server @site.conf { } server_tokens off @more.conf; }");
    // The edited text stays what was set; the file on disk is not read again.
    const NginxNode& secondListen = config_.ServerBlocks().at(0)->children.at(1);
    EXPECT_EQ(secondListen.file, site);
    EXPECT_EQ(secondListen.directive->start(), config_.File(site).text.find(u"listen 443 ssl;"));
}

TEST_F(NginxConfFiles, ANonAsciiFileNameInAPlainInclude) {
    // The file name is UTF-8 on disk and in the configuration text.
    Put(u"conf/sites/caf\u00e9.conf", "server {\n    server_name cafe.test;\n}\n");
    Main("http {\n    include \"sites/caf\xc3\xa9.conf\";\n}\n");
    LoadOk();
    EXPECT_EQ(config_.ServerBlocks().size(), 1u);
}

TEST_F(NginxConfFiles, ANonAsciiGlobInclude) {
    Put(u"conf/sites/caf\u00e9-1.conf", "server {\n    server_name cafe.test;\n}\n");
    Main("http {\n    include sites/caf\xc3\xa9*.conf;\n}\n");
    LoadOk();
    EXPECT_EQ(config_.ServerBlocks().size(), 1u);
}

TEST_F(NginxConfFiles, NonAsciiNamesFoundByAnAsciiGlob) {
    Put(u"conf/sites/caf\u00e9.conf", "server {\n    server_name cafe.test;\n}\n");
    Main("http {\n    include sites/*.conf;\n}\n");
    LoadOk();
    EXPECT_EQ(config_.ServerBlocks().size(), 1u);
}

TEST(NginxLineEnds, LineEndOfTakesTheFirstLine) {
    EXPECT_EQ(LineEndOf(u"a\r\nb\nc\n"), u"\r\n");
    EXPECT_EQ(LineEndOf(u"a\nb\r\n"), u"\n");
    EXPECT_EQ(LineEndOf(u"no line end"), u"\n");
    EXPECT_EQ(LineEndOf(u""), u"\n");
    EXPECT_EQ(LineEndOf(u"\nb\r\n"), u"\n");
    EXPECT_EQ(LineEndOf(u"\r\n"), u"\r\n");
}

TEST(NginxLineEnds, WithLineEndsConvertsLoneLineFeedsOnly) {
    EXPECT_EQ(WithLineEnds(u"a\nb\n", u"\r\n"), u"a\r\nb\r\n");
    EXPECT_EQ(WithLineEnds(u"a\r\nb\n", u"\r\n"), u"a\r\nb\r\n");
    EXPECT_EQ(WithLineEnds(u"\n\n", u"\r\n"), u"\r\n\r\n");
    EXPECT_EQ(WithLineEnds(u"\r\n", u"\r\n"), u"\r\n");
    EXPECT_EQ(WithLineEnds(u"no end", u"\r\n"), u"no end");
    EXPECT_EQ(WithLineEnds(u"", u"\r\n"), u"");
    // Into a file with "\n" the text goes as written.
    EXPECT_EQ(WithLineEnds(u"a\nb\n", u"\n"), u"a\nb\n");
}

TEST_F(NginxConfFiles, ACrLfFileStaysCrLfAfterAnInsertion) {
    QM_POSIX_ONLY("Windows reads text files in text mode: the text holds LF, written as CR LF");
    const std::string crlf = "http {\r\n    server {\r\n        listen 80;\r\n    }\r\n}\r\n";
    Main(crlf);
    LoadOk();
    const std::u16string& text = config_.File(0).text;
    EXPECT_EQ(text, Bytes(crlf));  // read as it is, the CR LF pairs kept
    const NginxNode& server = config_.ServerBlocks().at(0)[0];
    const NginxNode& listen = server.children.at(0);
    // The words hold no CR.
    EXPECT_EQ(listen.directive->arg(0), u"80");
    std::u16string edited = text;
    const size_t after = listen.directive->end;
    const std::u16string inserted = WithLineEnds(u"\n        listen 443 ssl;", LineEndOf(text));
    edited.insert(after, inserted);
    EXPECT_EQ(Narrow(edited),
              "http {\r\n    server {\r\n        listen 80;\r\n        listen 443 ssl;\r\n    "
              "}\r\n}\r\n");
    config_.SetText(0, edited);
    const auto servers = config_.ServerBlocks();
    ASSERT_EQ(servers.size(), 1u);
    ASSERT_EQ(servers[0]->children.size(), 2u);
    EXPECT_EQ(servers[0]->children[1].directive->arg(1), u"ssl");
}

}  // namespace
}  // namespace qm
