// The nginx reader against a table of tricky texts. Each entry says whether
// nginx takes the text, what nginx says when it does not, and what our parse
// must find. When nginx is installed (or QUILLMATE_NGINX names one), every
// entry is also given to the real `nginx -t`, included in the http context
// of a configuration in a temporary folder, and nginx's verdict must be the
// table's.
#include "deploy/nginx/nginxlexer.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "deploy/nginx/tests/nginx_test_support.h"
#include "foundation/files.h"
#include "foundation/textconv.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

// ---------------------------------------------------------------------------
// Rendering a parse as one line of text.

using test::Bytes;
using test::Narrow;

// A word's value; quoted words in their own quotes, with that quote and
// backslashes escaped; control characters always escaped.
std::string RenderWord(const NginxWord& word, std::u16string_view text) {
    if (word.start == word.end && !word.quoted)
        return "<none>";
    const char quote = word.quoted ? static_cast<char>(text[word.start]) : 0;
    std::string out;
    if (quote)
        out += quote;
    for (char16_t c : word.value) {
        if (c == u'\t')
            out += "\\t";
        else if (c == u'\r')
            out += "\\r";
        else if (c == u'\n')
            out += "\\n";
        else if (quote && (c == quote || c == u'\\'))
            out += std::string("\\") + static_cast<char>(c);
        else
            out += static_cast<char>(c);
    }
    if (quote)
        out += quote;
    return out;
}

std::string Render(const std::vector<NginxDirective>& directives, std::u16string_view text);

std::string Render(const NginxDirective& d, std::u16string_view text) {
    std::string out;
    for (const NginxWord& word : d.words)
        out += (out.empty() ? "" : " ") + RenderWord(word, text);
    if (d.hasBlock) {
        out += " {";
        for (const NginxDirective& child : d.children)
            out += " " + Render(child, text);
        out += d.close != NginxDirective::npos ? " }" : " <unclosed>";
    } else {
        out += d.terminator != NginxDirective::npos ? ";" : " <unterminated>";
    }
    return out;
}

std::string Render(const std::vector<NginxDirective>& directives, std::u16string_view text) {
    std::string out;
    for (const NginxDirective& d : directives)
        out += (out.empty() ? "" : " ") + Render(d, text);
    return out;
}

// What every parse must hold, whatever the text: words in order inside
// their directive, quotes where the words say, terminators and closing
// braces where the directive says, children inside their block.
void CheckPlaces(const NginxDirective& d, std::u16string_view text, size_t from, size_t to) {
    const std::string what = Narrow(d.name());
    ASSERT_FALSE(d.words.empty());
    EXPECT_LE(from, d.start()) << what;
    EXPECT_LE(d.end, to) << what;
    size_t last = d.start();
    for (const NginxWord& word : d.words) {
        EXPECT_LE(last, word.start) << what;
        EXPECT_LE(word.start, word.end) << what;
        EXPECT_LE(word.end, text.size()) << what;
        last = word.end;
        if (word.quoted) {
            const char16_t quote = text[word.start];
            EXPECT_TRUE(quote == u'"' || quote == u'\'') << what;
            if (word.end < text.size() || text.back() == quote) {
                EXPECT_EQ(text[word.end - 1], quote) << what;
            }
        } else if (word.start < word.end) {
            const std::u16string_view raw = text.substr(word.start, word.end - word.start);
            if (raw.find(u'\\') == std::u16string_view::npos) {
                EXPECT_EQ(raw, word.value) << what;
            }
        }
    }
    if (d.terminator != NginxDirective::npos) {
        EXPECT_LE(last, d.terminator) << what;
        EXPECT_EQ(text[d.terminator], d.hasBlock ? u'{' : u';') << what;
        if (!d.hasBlock) {
            EXPECT_EQ(d.end, d.terminator + 1) << what;
        }
    }
    if (d.close != NginxDirective::npos) {
        EXPECT_TRUE(d.hasBlock) << what;
        EXPECT_EQ(text[d.close], u'}') << what;
        EXPECT_EQ(d.end, d.close + 1) << what;
    }
    if (d.hasBlock) {
        const size_t inner = d.terminator == NginxDirective::npos ? last : d.terminator + 1;
        const size_t innerEnd = d.close == NginxDirective::npos ? d.end : d.close;
        size_t previous = inner;
        for (const NginxDirective& child : d.children) {
            CheckPlaces(child, text, previous, innerEnd);
            previous = child.end;
        }
    } else {
        EXPECT_TRUE(d.children.empty()) << what;
    }
}

// ---------------------------------------------------------------------------
// The table.

enum class Nginx { Accepts, Refuses };

struct Entry {
    const char* name;
    std::string text = {};  // http-context directives; server blocks listen on a local socket
    Nginx nginx;
    std::string nginxSays = {};  // when refused: nginx's message ...
    int nginxLine = 0;           // ... and the line it names
    std::string parse = {};      // our parse, rendered as above
    std::string error = {};      // our parse's first error, "" when none
    int errorLine = 0;
    // When given: the text of every top-level directive, its first word to its end.
    std::vector<std::string> pieces = {};
};

// nginx reads through a buffer of 4096 bytes: a word (from its first
// character, after an opening quote) and the character after it, or a
// comment with its line end, must fit in it.
const std::string kLong4094(4094, 'a');
const std::string kLong4095(4095, 'a');
const std::string kLong4096(4096, 'a');

const std::vector<Entry>& Table() {
    static const std::vector<Entry> table = {
        {
            .name = "brace_inside_double_quotes",
            .text = "add_header X-A \"a } b\";\n",
            .nginx = Nginx::Accepts,
            .parse = "add_header X-A \"a } b\";",
            .pieces = {"add_header X-A \"a } b\";"},
        },
        {
            .name = "braces_inside_single_quotes",
            .text = "server {\n    listen unix:q.sock;\n    return 200 'x{y}';\n}\n",
            .nginx = Nginx::Accepts,
            .parse = "server { listen unix:q.sock; return 200 'x{y}'; }",
            .pieces = {"server {\n    listen unix:q.sock;\n    return 200 'x{y}';\n}"},
        },
        {
            .name = "braces_in_comments",
            .text = "# } comment\n"
                    "server { # {\n"
                    "    listen unix:q.sock; # }\n"
                    "    # }}}\n"
                    "}\n"
                    "# {\n",
            .nginx = Nginx::Accepts,
            .parse = "server { listen unix:q.sock; }",
            .pieces = {"server { # {\n    listen unix:q.sock; # }\n    # }}}\n}"},
        },
        {
            .name = "variables_with_braces",
            .text = "server {\n"
                    "    listen unix:q.sock;\n"
                    "    set $b x;\n"
                    "    set $a \"${b}c\";\n"
                    "    set $c ${b}d;\n"
                    "    set $d a${b};\n"
                    "    return 200 \"${host}\";\n"
                    "}\n",
            .nginx = Nginx::Accepts,
            .parse = "server { listen unix:q.sock; set $b x; set $a \"${b}c\"; set $c ${b}d; "
                     "set $d a${b}; return 200 \"${host}\"; }",
        },
        {
            .name = "escaped_quotes",
            .text = "add_header X-B \"a\\\"b\";\n"
                    "add_header X-C 'c\\'d';\n"
                    "add_header X-D \"it's\";\n"
                    "add_header X-E 'say \"hi\"';\n",
            .nginx = Nginx::Accepts,
            .parse = "add_header X-B \"a\\\"b\"; add_header X-C 'c\\'d'; add_header X-D "
                     "\"it's\"; add_header X-E 'say \"hi\"';",
        },
        {
            .name = "escape_sequences",
            .text = "add_header X-F \"t\\tn\\\\\";\n"
                    "add_header X-G \\\"a;\n"
                    "add_header X-H a\\xb;\n",
            .nginx = Nginx::Accepts,
            .parse = "add_header X-F \"t\\tn\\\\\"; add_header X-G \"a; add_header X-H a\\xb;",
        },
        {
            .name = "escaped_semicolon_inside_a_word",
            .text = "add_header X-I a\\;b;\n",
            .nginx = Nginx::Accepts,
            .parse = "add_header X-I a\\;b;",
            .pieces = {"add_header X-I a\\;b;"},
        },
        {
            .name = "escaped_brace_inside_a_word",
            .text = "add_header X-J a\\{b;\n",
            .nginx = Nginx::Accepts,
            .parse = "add_header X-J a\\{b;",
        },
        {
            .name = "closing_brace_in_the_middle_of_a_word",
            .text = "add_header X-K a}b;\nadd_header X-L a}}c};\n",
            .nginx = Nginx::Accepts,
            .parse = "add_header X-K a}b; add_header X-L a}}c};",
        },
        {
            .name = "hash_in_the_middle_of_a_word",
            .text = "add_header X-M a#b;\n",
            .nginx = Nginx::Accepts,
            .parse = "add_header X-M a#b;",
        },
        {
            .name = "quote_in_the_middle_of_a_word",
            .text = "add_header X-N a\"b;\n",
            .nginx = Nginx::Accepts,
            .parse = "add_header X-N a\"b;",
        },
        {
            .name = "parenthesis_after_a_quoted_word",
            .text = "server {\n"
                    "    listen unix:q.sock;\n"
                    "    if ($host = \"a\") {\n"
                    "        return 404;\n"
                    "    }\n"
                    "    if ($host = 'b'){ return 403; }\n"
                    "}\n",
            .nginx = Nginx::Accepts,
            .parse = "server { listen unix:q.sock; if ($host = \"a\" ) { return 404; } "
                     "if ($host = 'b' ) { return 403; } }",
        },
        {
            .name = "crlf_line_ends",
            .text = "server {\r\n"
                    "    listen unix:q.sock;\r\n"
                    "    server_name a.test\r\n"
                    "        b.test;\r\n"
                    "}\r\n",
            .nginx = Nginx::Accepts,
            .parse = "server { listen unix:q.sock; server_name a.test b.test; }",
            .pieces = {"server {\r\n    listen unix:q.sock;\r\n    server_name a.test\r\n"
                       "        b.test;\r\n}"},
        },
        {
            .name = "lone_cr_separates_words",
            .text = "server_tokens\roff;\n",
            .nginx = Nginx::Accepts,
            .parse = "server_tokens off;",
        },
        {
            .name = "quoted_directive_names",
            .text = "\"server_tokens\" off;\n'add_header' X-O o;\n",
            .nginx = Nginx::Accepts,
            .parse = "\"server_tokens\" off; 'add_header' X-O o;",
        },
        {
            .name = "tabs",
            .text = "server\t{\n\tlisten\tunix:q.sock;\n\tserver_name\ta.test\tb.test;\n}\n",
            .nginx = Nginx::Accepts,
            .parse = "server { listen unix:q.sock; server_name a.test b.test; }",
        },
        {
            .name = "empty_file",
            .text = "",
            .nginx = Nginx::Accepts,
            .parse = "",
        },
        {
            .name = "blanks_and_comments_only",
            .text = "\n\n  # a\n\t# b {\n   \n",
            .nginx = Nginx::Accepts,
            .parse = "",
        },
        {
            .name = "comment_without_final_newline",
            .text = "server_tokens off;\n# the end }",
            .nginx = Nginx::Accepts,
            .parse = "server_tokens off;",
            .pieces = {"server_tokens off;"},
        },
        {
            .name = "comment_between_words",
            .text = "server_tokens # a comment ;\n    off;\n",
            .nginx = Nginx::Accepts,
            .parse = "server_tokens off;",
            .pieces = {"server_tokens # a comment ;\n    off;"},
        },
        {
            .name = "no_blanks_around_braces",
            .text = "server{listen unix:q.sock;location /{return 204;}}\n",
            .nginx = Nginx::Accepts,
            .parse = "server { listen unix:q.sock; location / { return 204; } }",
            .pieces = {"server{listen unix:q.sock;location /{return 204;}}"},
        },
        {
            .name = "quoted_word_then_brace",
            .text = "server {\n"
                    "    listen unix:q.sock;\n"
                    "    location \"/q\"{ return 204; }\n"
                    "    location ~ \"^/a{2}$\" { return 204; }\n"
                    "}\n",
            .nginx = Nginx::Accepts,
            .parse = "server { listen unix:q.sock; location \"/q\" { return 204; } "
                     "location ~ \"^/a{2}$\" { return 204; } }",
        },
        {
            .name = "two_servers_and_nesting",
            .text = "server {\n"
                    "    listen unix:q.sock;\n"
                    "    server_name a.test;\n"
                    "    location /a {\n"
                    "        location /a/b {\n"
                    "            return 204;\n"
                    "        }\n"
                    "    }\n"
                    "}\n"
                    "\n"
                    "server {listen unix:q.sock; add_header X-P \"}\";}  server_tokens off;\n",
            .nginx = Nginx::Accepts,
            .parse = "server { listen unix:q.sock; server_name a.test; location /a { "
                     "location /a/b { return 204; } } } server { listen unix:q.sock; "
                     "add_header X-P \"}\"; } server_tokens off;",
            .pieces = {"server {\n    listen unix:q.sock;\n    server_name a.test;\n"
                       "    location /a {\n        location /a/b {\n            return 204;\n"
                       "        }\n    }\n}",
                       "server {listen unix:q.sock; add_header X-P \"}\";}", "server_tokens off;"},
        },
        {
            .name = "bytes_above_ascii",
            .text = "add_header X-Q \"caf\xc3\xa9\";\n",
            .nginx = Nginx::Accepts,
            .parse = "add_header X-Q \"caf\xc3\xa9\";",
        },
        // Refused by nginx while reading.
        {
            .name = "unclosed_block_at_the_end",
            .text = "server {\n    listen unix:q.sock;\n",
            .nginx = Nginx::Refuses,
            .nginxSays = "unexpected end of file, expecting \"}\"",
            .nginxLine = 3,
            .parse = "server { listen unix:q.sock; <unclosed>",
            .error = "unexpected end of file, expecting \"}\"",
            .errorLine = 3,
            .pieces = {"server {\n    listen unix:q.sock;\n"},
        },
        {
            .name = "stray_closing_brace",
            .text = "server {\n    listen unix:q.sock;\n}\n}\nserver_tokens off;\n",
            .nginx = Nginx::Refuses,
            .nginxSays = "unexpected \"}\"",
            .nginxLine = 4,
            .parse = "server { listen unix:q.sock; } server_tokens off;",
            .error = "unexpected \"}\"",
            .errorLine = 4,
            .pieces = {"server {\n    listen unix:q.sock;\n}", "server_tokens off;"},
        },
        {
            .name = "closing_brace_alone",
            .text = "}",
            .nginx = Nginx::Refuses,
            .nginxSays = "unexpected \"}\"",
            .nginxLine = 1,
            .parse = "",
            .error = "unexpected \"}\"",
            .errorLine = 1,
        },
        {
            .name = "brace_ends_a_word_unquoted",
            .text = "server {\n"
                    "    listen unix:q.sock;\n"
                    "    location ~ ^/a{2}$ {\n"
                    "        return 204;\n"
                    "    }\n"
                    "}\n",
            .nginx = Nginx::Refuses,
            .nginxSays = "unknown directive \"2}$\"",
            .nginxLine = 3,
            .parse = "server { listen unix:q.sock; location ~ ^/a { 2}$ { return 204; } } "
                     "<unclosed>",
            .error = "unexpected end of file, expecting \"}\"",
            .errorLine = 7,
        },
        {
            .name = "brace_ends_a_word_in_an_argument",
            .text = "add_header X-R a{b;\n",
            .nginx = Nginx::Refuses,
            .nginxSays = "directive \"add_header\" is not terminated by \";\"",
            .nginxLine = 1,
            .parse = "add_header X-R a { b; <unclosed>",
            .error = "unexpected end of file, expecting \"}\"",
            .errorLine = 2,
        },
        {
            .name = "closing_brace_ends_no_word",
            .text = "server {\n    listen unix:q.sock;\n    add_header X-S a}\n",
            .nginx = Nginx::Refuses,
            .nginxSays = "unexpected end of file, expecting \";\" or \"}\"",
            .nginxLine = 4,
            .parse = "server { listen unix:q.sock; add_header X-S a} <unterminated> <unclosed>",
            .error = "unexpected end of file, expecting \";\" or \"}\"",
            .errorLine = 4,
        },
        {
            .name = "directive_without_semicolon_at_the_end",
            .text = "server_tokens off",
            .nginx = Nginx::Refuses,
            .nginxSays = "unexpected end of file, expecting \";\" or \"}\"",
            .nginxLine = 1,
            .parse = "server_tokens off <unterminated>",
            .error = "unexpected end of file, expecting \";\" or \"}\"",
            .errorLine = 1,
            .pieces = {"server_tokens off"},
        },
        {
            .name = "directive_without_semicolon_then_newline",
            .text = "server_tokens off\n",
            .nginx = Nginx::Refuses,
            .nginxSays = "unexpected end of file, expecting \";\" or \"}\"",
            .nginxLine = 2,
            .parse = "server_tokens off <unterminated>",
            .error = "unexpected end of file, expecting \";\" or \"}\"",
            .errorLine = 2,
        },
        {
            .name = "unterminated_quote",
            .text = "add_header X-T \"a;\n",
            .nginx = Nginx::Refuses,
            .nginxSays = "unexpected end of file, expecting \";\" or \"}\"",
            .nginxLine = 2,
            .parse = "add_header X-T \"a;\\n\" <unterminated>",
            .error = "unexpected end of file, expecting \";\" or \"}\"",
            .errorLine = 2,
        },
        {
            .name = "backslash_at_the_end",
            .text = "server_tokens off;\n\\",
            .nginx = Nginx::Refuses,
            .nginxSays = "unexpected end of file, expecting \";\" or \"}\"",
            .nginxLine = 2,
            .parse = "server_tokens off; \\ <unterminated>",
            .error = "unexpected end of file, expecting \";\" or \"}\"",
            .errorLine = 2,
        },
        {
            .name = "double_semicolon",
            .text = "server_tokens off;;\n",
            .nginx = Nginx::Refuses,
            .nginxSays = "unexpected \";\"",
            .nginxLine = 1,
            .parse = "server_tokens off;",
            .error = "unexpected \";\"",
            .errorLine = 1,
        },
        {
            .name = "nameless_block",
            .text = "\n{\n}\n",
            .nginx = Nginx::Refuses,
            .nginxSays = "unexpected \"{\"",
            .nginxLine = 2,
            .parse = "<none> { }",
            .error = "unexpected \"{\"",
            .errorLine = 2,
        },
        {
            .name = "letter_right_after_a_quoted_word",
            .text = "add_header X-U \"a\"b;\n",
            .nginx = Nginx::Refuses,
            .nginxSays = "unexpected \"b\"",
            .nginxLine = 1,
            .parse = "add_header X-U \"a\" b;",
            .error = "unexpected \"b\"",
            .errorLine = 1,
        },
        {
            .name = "quote_right_after_a_quoted_word",
            .text = "add_header X-V 'a'\"b\";\n",
            .nginx = Nginx::Refuses,
            .nginxSays = "unexpected \"\"\"",
            .nginxLine = 1,
            .parse = "add_header X-V 'a' \"b\";",
            .error = "unexpected \"\"\"",
            .errorLine = 1,
        },
        {
            .name = "hash_right_after_a_quoted_word",
            .text = "\nadd_header X-W \"a\"#b;\n",
            .nginx = Nginx::Refuses,
            .nginxSays = "unexpected \"#\"",
            .nginxLine = 2,
            .parse = "add_header X-W \"a\" <unterminated>",
            .error = "unexpected \"#\"",
            .errorLine = 2,
        },
        {
            .name = "closing_brace_right_after_a_quoted_word",
            .text = "server {\n    listen unix:q.sock;\n    add_header X-X \"a\"}\n",
            .nginx = Nginx::Refuses,
            .nginxSays = "unexpected \"}\"",
            .nginxLine = 3,
            .parse = "server { listen unix:q.sock; add_header X-X \"a\" <unterminated> }",
            .error = "unexpected \"}\"",
            .errorLine = 3,
        },
        {
            .name = "closing_brace_after_words",
            .text = "server {\n    listen unix:q.sock;\n    server_tokens off }\n",
            .nginx = Nginx::Refuses,
            .nginxSays = "unexpected \"}\"",
            .nginxLine = 3,
            .parse = "server { listen unix:q.sock; server_tokens off <unterminated> }",
            .error = "unexpected \"}\"",
            .errorLine = 3,
        },
        // The reading buffer's bound.
        {
            .name = "longest_unquoted_word",
            .text = "add_header X-Long " + kLong4095 + ";\n",
            .nginx = Nginx::Accepts,
            .parse = "add_header X-Long " + kLong4095 + ";",
        },
        {
            .name = "longest_quoted_word",
            .text = "add_header X-Long \"" + kLong4094 + "\";\n",
            .nginx = Nginx::Accepts,
            .parse = "add_header X-Long \"" + kLong4094 + "\";",
        },
        {
            .name = "longest_comment_line",
            .text = "server_tokens off;\n#" + kLong4094 + "\n",
            .nginx = Nginx::Accepts,
            .parse = "server_tokens off;",
        },
        {
            .name = "unquoted_word_too_long",
            .text = "\nadd_header X-Long " + kLong4096 + ";\n",
            .nginx = Nginx::Refuses,
            .nginxSays = "too long parameter \"aaaaaaaaaa...\" started",
            .nginxLine = 2,
            .parse = "add_header X-Long " + kLong4096 + ";",
            .error = "too long parameter \"aaaaaaaaaa...\" started",
            .errorLine = 2,
        },
        {
            .name = "quoted_word_too_long",
            .text = "add_header X-Long \"" + kLong4095 + "\";\n",
            .nginx = Nginx::Refuses,
            .nginxSays = "too long parameter \"aaaaaaaaaa...\" started",
            .nginxLine = 1,
            .parse = "add_header X-Long \"" + kLong4095 + "\";",
            .error = "too long parameter \"aaaaaaaaaa...\" started",
            .errorLine = 1,
        },
        {
            .name = "unclosed_quote_too_long",
            .text = "add_header X-Long \"" + kLong4096 + "\";\n",
            .nginx = Nginx::Refuses,
            .nginxSays = "too long parameter, probably missing terminating \"\"\" character",
            .nginxLine = 1,
            .parse = "add_header X-Long \"" + kLong4096 + "\";",
            .error = "too long parameter, probably missing terminating \"\"\" character",
            .errorLine = 1,
        },
        {
            .name = "comment_line_too_long",
            .text = "server_tokens off;\n#" + kLong4095 + "\n",
            .nginx = Nginx::Refuses,
            .nginxSays = "too long parameter \"#aaaaaaaaa...\" started",
            .nginxLine = 2,
            .parse = "server_tokens off;",
            .error = "too long parameter \"#aaaaaaaaa...\" started",
            .errorLine = 2,
        },
    };
    return table;
}

class NginxLexerTable : public ::testing::TestWithParam<Entry> {};

TEST_P(NginxLexerTable, ParseFindsWhatTheTableSays) {
    const Entry& entry = GetParam();
    const std::u16string text = Bytes(entry.text);
    const NginxParse parse = ParseNginxText(text);
    EXPECT_EQ(Render(parse.directives, text), entry.parse);
    EXPECT_EQ(Narrow(parse.error), entry.error);
    if (entry.error.empty()) {
        EXPECT_EQ(parse.errorAt, NginxDirective::npos);
    } else {
        ASSERT_NE(parse.errorAt, NginxDirective::npos);
        EXPECT_EQ(LineNumberAt(text, parse.errorAt), static_cast<size_t>(entry.errorLine));
    }
    // Whatever nginx takes, our parse takes without complaint.
    if (entry.nginx == Nginx::Accepts) {
        EXPECT_TRUE(entry.error.empty());
    }
    size_t previous = 0;
    for (const NginxDirective& d : parse.directives) {
        CheckPlaces(d, text, previous, text.size());
        previous = d.end;
    }
    if (!entry.pieces.empty()) {
        ASSERT_EQ(parse.directives.size(), entry.pieces.size());
        for (size_t i = 0; i < entry.pieces.size(); ++i) {
            const NginxDirective& d = parse.directives[i];
            EXPECT_EQ(Narrow(text.substr(d.start(), d.end - d.start())), entry.pieces[i])
                << "directive " << i;
        }
    }
}

std::string EntryName(const ::testing::TestParamInfo<Entry>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Table, NginxLexerTable, ::testing::ValuesIn(Table()), EntryName);

// ---------------------------------------------------------------------------
#ifndef _WIN32  // nginx is run as Debian installs it
// The same entries through the real nginx.

// Test files are written plainly: the atomic, synced writer is needlessly
// slow for dozens of throwaway files.
void WriteText(const std::u16string& path, std::string_view text) {
    std::ofstream out(FsPath(path), std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    ASSERT_TRUE(out.good()) << "cannot write " << Utf8FromWide(path);
}

std::string InstalledNginx() {
    if (const char* chosen = std::getenv("QUILLMATE_NGINX");
        chosen && *chosen && access(chosen, X_OK) == 0)
        return chosen;
    if (access("/usr/sbin/nginx", X_OK) == 0)
        return "/usr/sbin/nginx";
    return {};
}

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

// A finished `nginx -t`: its exit status and what it wrote.
struct NginxVerdict {
    int status = -1;
    std::string output;
};

// `nginx -t` on a configuration of its own in a temporary folder: pid, logs
// and temporary files stay inside, the entry is included in the http
// context, and server blocks listen on a socket file in the folder (nginx
// binds what it tests; a socket file can never clash with anything).
class NginxCheck {
public:
    NginxCheck(const std::string& nginx, const std::string& versionText, const Entry& entry) {
        const std::string root = dir_.narrow();
        EXPECT_TRUE(MakeDirectoryTree(dir_ / u"conf"));
        EXPECT_TRUE(MakeDirectoryTree(dir_ / u"logs"));
        EXPECT_TRUE(MakeDirectoryTree(dir_ / u"temp"));
        std::string conf =
            "worker_processes 1;\n"
            "pid logs/nginx.pid;\n"
            "error_log logs/error.log notice;\n"
            "events {\n"
            "    worker_connections 64;\n"
            "}\n"
            "http {\n"
            "    access_log logs/access.log;\n"
            "    client_body_temp_path temp/client_body;\n";
        for (const char* module : {"proxy", "fastcgi", "uwsgi", "scgi"}) {
            if (versionText.find(std::string("--without-http_") + module + "_module") ==
                std::string::npos)
                conf += std::string("    ") + module + "_temp_path temp/" + module + ";\n";
        }
        conf += "    include entry.conf;\n}\n";
        WriteText(dir_ / u"conf/nginx.conf", conf);
        WriteText(dir_ / u"conf/entry.conf", entry.text);
        entryPath_ = root + "conf/entry.conf";
        // Started now, collected later, so that all entries run side by side.
        const std::string command = "cd " + Quoted(root) + " && exec " + Quoted(nginx) +
                                    " -e stderr -p " + Quoted(root) + " -c conf/nginx.conf -t 2>&1";
        pipe_ = popen(command.c_str(), "r");
        EXPECT_NE(pipe_, nullptr) << command;
    }
    ~NginxCheck() {
        if (pipe_)
            pclose(pipe_);
    }
    NginxCheck(const NginxCheck&) = delete;
    NginxCheck& operator=(const NginxCheck&) = delete;

    NginxVerdict Wait() {
        NginxVerdict verdict;
        if (!pipe_)
            return verdict;
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe_)) > 0;)
            verdict.output.append(buffer, n);
        const int status = pclose(pipe_);
        pipe_ = nullptr;
        verdict.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return verdict;
    }
    const std::string& entryPath() const { return entryPath_; }

private:
    test::TempDir dir_;
    std::string entryPath_;
    FILE* pipe_ = nullptr;
};

// The message and line of nginx's first "[emerg]" line; line 0 when it names
// no place.
bool FirstEmergency(const std::string& output, std::string& message, std::string& file, int& line) {
    const size_t emerg = output.find("[emerg] ");
    if (emerg == std::string::npos)
        return false;
    const size_t eol = output.find('\n', emerg);
    std::string text = output.substr(emerg, eol == std::string::npos ? eol : eol - emerg);
    const size_t colon = text.find(": ");
    text = colon == std::string::npos ? text : text.substr(colon + 2);
    const size_t in = text.rfind(" in ");
    const size_t lineColon = text.rfind(':');
    line = 0;
    if (in != std::string::npos && lineColon != std::string::npos && lineColon > in) {
        file = text.substr(in + 4, lineColon - in - 4);
        line = std::atoi(text.c_str() + lineColon + 1);
        text = text.substr(0, in);
    }
    message = text;
    return true;
}

TEST(NginxLexerTableAgainstNginx, NginxGivesTheTablesVerdict) {
    const std::string nginx = InstalledNginx();
    if (nginx.empty())
        GTEST_SKIP() << "no nginx here: neither QUILLMATE_NGINX nor /usr/sbin/nginx is a "
                        "program";
    std::string versionText;
    if (FILE* version = popen((Quoted(nginx) + " -V 2>&1").c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, version)) > 0;)
            versionText.append(buffer, n);
        pclose(version);
    }
    std::vector<std::unique_ptr<NginxCheck>> checks;
    for (const Entry& entry : Table())
        checks.push_back(std::make_unique<NginxCheck>(nginx, versionText, entry));
    for (size_t i = 0; i < checks.size(); ++i) {
        const Entry& entry = Table()[i];
        SCOPED_TRACE(entry.name);
        const NginxVerdict verdict = checks[i]->Wait();
        if (entry.nginx == Nginx::Accepts) {
            EXPECT_EQ(verdict.status, 0) << verdict.output;
            continue;
        }
        EXPECT_NE(verdict.status, 0) << verdict.output;
        std::string message, file;
        int line = 0;
        ASSERT_TRUE(FirstEmergency(verdict.output, message, file, line)) << verdict.output;
        EXPECT_EQ(message, entry.nginxSays) << verdict.output;
        EXPECT_EQ(file, checks[i]->entryPath()) << verdict.output;
        EXPECT_EQ(line, entry.nginxLine) << verdict.output;
        // Where nginx stops for the text's form, our parse says the same thing
        // at the same line.
        if (entry.error == entry.nginxSays) {
            EXPECT_EQ(entry.errorLine, entry.nginxLine);
        }
    }
}

#endif

// ---------------------------------------------------------------------------
// Single points.

NginxParse Parse(std::string_view text) {
    return ParseNginxText(Bytes(text));
}

TEST(NginxLexer, WordValuesAndPlaces) {
    const std::string text = "add_header X-A \"a } b\" 'x{y}' a\\;b ${v}w;";
    const NginxParse parse = Parse(text);
    ASSERT_TRUE(parse.error.empty());
    ASSERT_EQ(parse.directives.size(), 1u);
    const NginxDirective& d = parse.directives[0];
    ASSERT_EQ(d.words.size(), 6u);
    EXPECT_EQ(d.name(), u"add_header");
    EXPECT_EQ(d.argCount(), 5u);
    EXPECT_EQ(d.arg(1), u"a } b");
    EXPECT_TRUE(d.words[2].quoted);
    EXPECT_EQ(d.words[2].start, text.find('"'));
    EXPECT_EQ(d.words[2].end, text.find('"', text.find('"') + 1) + 1);
    EXPECT_EQ(d.arg(2), u"x{y}");
    EXPECT_TRUE(d.words[3].quoted);
    EXPECT_EQ(d.arg(3), u"a\\;b");
    EXPECT_FALSE(d.words[4].quoted);
    EXPECT_EQ(d.words[4].start, text.find("a\\;b"));
    EXPECT_EQ(d.words[4].end, text.find("a\\;b") + 4);
    EXPECT_EQ(d.arg(4), u"${v}w");
    EXPECT_EQ(d.terminator, text.size() - 1);
    EXPECT_EQ(d.end, text.size());
    EXPECT_FALSE(d.hasBlock);
    EXPECT_EQ(d.close, NginxDirective::npos);
}

TEST(NginxLexer, EscapesResolvedAsNginxDoes) {
    const NginxParse parse = Parse("x \"a\\\"b\" 'c\\'d' \"e\\\\f\" \"\\t\\r\\n\" \"\\q\" \\\"g;");
    ASSERT_TRUE(parse.error.empty()) << Narrow(parse.error);
    const NginxDirective& d = parse.directives.at(0);
    ASSERT_EQ(d.argCount(), 6u);
    EXPECT_EQ(d.arg(0), u"a\"b");
    EXPECT_EQ(d.arg(1), u"c'd");
    EXPECT_EQ(d.arg(2), u"e\\f");
    EXPECT_EQ(d.arg(3), u"\t\r\n");
    EXPECT_EQ(d.arg(4), u"\\q");  // any other backslash stays
    EXPECT_EQ(d.arg(5), u"\"g");
}

TEST(NginxLexer, BlockPlaces) {
    const std::string text = "http {\n    server { listen 80; }\n}\n";
    const NginxParse parse = Parse(text);
    ASSERT_TRUE(parse.error.empty());
    ASSERT_EQ(parse.directives.size(), 1u);
    const NginxDirective& http = parse.directives[0];
    EXPECT_TRUE(http.hasBlock);
    EXPECT_EQ(http.terminator, text.find('{'));
    EXPECT_EQ(http.close, text.rfind('}'));
    EXPECT_EQ(http.end, text.rfind('}') + 1);
    ASSERT_EQ(http.children.size(), 1u);
    const NginxDirective& server = http.children[0];
    EXPECT_EQ(server.start(), text.find("server"));
    EXPECT_EQ(server.terminator, text.find("{", text.find("server")));
    EXPECT_EQ(server.close, text.find("}"));
    EXPECT_EQ(LineNumberAt(Bytes(text), server.start()), 2u);
    EXPECT_EQ(LineNumberAt(Bytes(text), http.close), 3u);
}

TEST(NginxLexer, TheTextEndingInsideABlockClosesItAtTheEnd) {
    const std::string text = "http {\n    server {\n        listen 80";
    const NginxParse parse = Parse(text);
    EXPECT_EQ(Narrow(parse.error), "unexpected end of file, expecting \";\" or \"}\"");
    EXPECT_EQ(parse.errorAt, text.size());
    ASSERT_EQ(parse.directives.size(), 1u);
    const NginxDirective& http = parse.directives[0];
    EXPECT_EQ(http.end, text.size());
    EXPECT_EQ(http.close, NginxDirective::npos);
    const NginxDirective& server = http.children.at(0);
    EXPECT_EQ(server.end, text.size());
    const NginxDirective& listen = server.children.at(0);
    EXPECT_EQ(listen.terminator, NginxDirective::npos);
    EXPECT_EQ(listen.end, text.size());
    EXPECT_EQ(listen.arg(0), u"80");
}

TEST(NginxLexer, DeepNestingDoesNotExhaustTheStack) {
    std::string text;
    const int depth = 20000;
    for (int i = 0; i < depth; ++i)
        text += "a{";
    for (int i = 0; i < depth; ++i)
        text += "}";
    const NginxParse parse = Parse(text);
    EXPECT_TRUE(parse.error.empty());
    ASSERT_EQ(parse.directives.size(), 1u);
    EXPECT_EQ(parse.directives[0].end, text.size());
}

TEST(NginxLexer, LineNumbers) {
    const std::u16string text = u"a;\r\nb;\n\nc;";
    EXPECT_EQ(LineNumberAt(text, 0), 1u);
    EXPECT_EQ(LineNumberAt(text, 3), 1u);  // the LF itself still ends line 1
    EXPECT_EQ(LineNumberAt(text, 4), 2u);
    EXPECT_EQ(LineNumberAt(text, 8), 4u);
    EXPECT_EQ(LineNumberAt(text, 1000), 4u);
    EXPECT_EQ(LineNumberAt(u"", 0), 1u);
}

}  // namespace
}  // namespace qm
