#include "deploy/nginx/nginxlaunch.h"

#include <string_view>

#include "foundation/textconv.h"

namespace qm {

namespace {

constexpr std::u16string_view kMasterTitle = u"nginx: master process ";
constexpr std::u16string_view kFlags = u"?hvVtTq";       // options without a value
constexpr std::u16string_view kValueOptions = u"spceg";  // options with a value

// Whether an argument is an option nginx reads: a dash, then flags, up to
// an option that takes a value (whose value may follow in the same word).
bool IsOptionWord(std::u16string_view word) {
    if (word.size() < 2 || word[0] != u'-')
        return false;
    for (size_t i = 1; i < word.size(); ++i) {
        if (kValueOptions.find(word[i]) != std::u16string_view::npos)
            return true;
        if (kFlags.find(word[i]) == std::u16string_view::npos)
            return false;
    }
    return true;
}

// Whether the option word ends in a value option with nothing attached, so
// that its value is the next argument.
bool ValueFollows(std::u16string_view word) {
    for (size_t i = 1; i < word.size(); ++i) {
        if (kValueOptions.find(word[i]) != std::u16string_view::npos)
            return i + 1 == word.size();
    }
    return false;
}

std::vector<std::u16string> SplitAtBlanks(std::u16string_view text) {
    std::vector<std::u16string> words;
    size_t start = 0;
    for (;;) {
        const size_t blank = text.find(u' ', start);
        words.emplace_back(text.substr(start, blank - start));
        if (blank == std::u16string_view::npos)
            break;
        start = blank + 1;
    }
    return words;
}

}  // namespace

std::vector<std::u16string> NginxArgumentsFromCommandLine(
    const std::vector<std::u16string>& shown) {
    if (shown.size() != 1 || shown.front().compare(0, kMasterTitle.size(), kMasterTitle) != 0)
        return shown;
    const std::vector<std::u16string> words =
        SplitAtBlanks(std::u16string_view(shown.front()).substr(kMasterTitle.size()));
    size_t i = 0;
    // Words up to the next option belong to the argument being collected.
    auto collect = [&](std::u16string argument) {
        while (i < words.size() && !IsOptionWord(words[i]))
            argument += u' ' + words[i++];
        return argument;
    };
    std::vector<std::u16string> arguments;
    arguments.push_back(collect(words[i++]));  // the program
    while (i < words.size()) {
        const std::u16string& word = words[i++];
        if (ValueFollows(word) && i < words.size()) {
            arguments.push_back(word);
            arguments.push_back(collect(words[i++]));
        } else {
            arguments.push_back(collect(word));  // flags, or an option with its value attached
        }
    }
    return arguments;
}

NginxOptions ParseNginxOptions(const std::vector<std::u16string>& arguments) {
    NginxOptions options;
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::u16string& word = arguments[i];
        if (word.size() < 2 || word[0] != u'-')
            continue;  // nginx itself would refuse this; nothing to learn from it
        for (size_t j = 1; j < word.size(); ++j) {
            const char16_t option = word[j];
            if (kValueOptions.find(option) == std::u16string_view::npos)
                continue;
            std::u16string value;
            if (j + 1 < word.size())
                value = word.substr(j + 1);
            else if (i + 1 < arguments.size())
                value = arguments[++i];
            switch (option) {
                case u'p':
                    options.prefix = value;
                    options.hasPrefix = true;
                    break;
                case u'c':
                    options.confFile = value;
                    options.hasConfFile = true;
                    break;
                case u'g':
                    options.globals = value;
                    options.hasGlobals = true;
                    break;
                case u'e':
                    options.errorLog = value;
                    options.hasErrorLog = true;
                    break;
                default:  // -s: a signal for another master, not a setting
                    break;
            }
            break;
        }
    }
    return options;
}

std::vector<std::u16string> NginxConfigOptions(const NginxOptions& options,
                                               const std::u16string& absolutePrefix) {
    std::vector<std::u16string> out;
    if (options.hasPrefix) {
        out.push_back(u"-p");
        out.push_back(absolutePrefix);
    }
    if (options.hasConfFile) {
        out.push_back(u"-c");
        out.push_back(options.confFile);
    }
    if (options.hasGlobals) {
        out.push_back(u"-g");
        out.push_back(options.globals);
    }
    if (options.hasErrorLog) {
        out.push_back(u"-e");
        out.push_back(options.errorLog);
    }
    return out;
}

NginxBuildPaths ParseNginxBuildPaths(std::string_view versionOutput) {
    NginxBuildPaths paths;
    constexpr std::string_view kLine = "configure arguments:";
    const size_t at = versionOutput.find(kLine);
    if (at == std::string_view::npos)
        return paths;
    paths.known = true;
    paths.prefix = u"/usr/local/nginx/";
    paths.confPath = u"conf/nginx.conf";
    size_t end = versionOutput.find('\n', at);
    if (end == std::string_view::npos)
        end = versionOutput.size();
    const std::string_view line = versionOutput.substr(at + kLine.size(), end - at - kLine.size());
    // Shell words: blanks separate, single and double quotes group.
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (char c : line) {
        if (quote) {
            if (c == quote)
                quote = 0;
            else
                word.push_back(c);
        } else if (c == '\'' || c == '"') {
            quote = c;
            inWord = true;
        } else if (c == ' ' || c == '\t' || c == '\r') {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word.push_back(c);
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(word);
    for (const std::string& w : words) {
        if (w.rfind("--prefix=", 0) == 0)
            paths.prefix = WideFromUtf8(w.substr(9));
        else if (w.rfind("--conf-path=", 0) == 0)
            paths.confPath = WideFromUtf8(w.substr(12));
    }
    return paths;
}

bool IsUsableEnvironment(const std::vector<std::u16string>& environment) {
    if (environment.empty())
        return false;
    for (const auto& entry : environment) {
        const size_t equals = entry.find(u'=');
        if (equals == std::u16string::npos || equals == 0)
            return false;
        for (size_t i = 0; i < equals; ++i) {
            const char16_t c = entry[i];
            const bool nameChar = c == u'_' || (c >= u'A' && c <= u'Z') ||
                                  (c >= u'a' && c <= u'z') || (i > 0 && c >= u'0' && c <= u'9');
            if (!nameChar)
                return false;
        }
    }
    return true;
}

}  // namespace qm
