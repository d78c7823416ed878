#include "deploy/apache/apachelaunch.h"

#include "foundation/textconv.h"

namespace qm {

namespace {

std::string_view TrimView(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

template <class F>
void ForEachLine(std::string_view text, F f) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        f(text.substr(start, end - start));
        start = end + 1;
    }
}

// The value of -D NAME="value" in `httpd -V`.
bool CompiledValue(std::string_view line, std::string_view name, std::u16string& value) {
    const std::string prefix = "-D " + std::string(name) + "=";
    line = TrimView(line);
    if (line.rfind(prefix, 0) != 0)
        return false;
    std::string_view v = line.substr(prefix.size());
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
        v = v.substr(1, v.size() - 2);
    value = WideFromUtf8(v);
    return true;
}

}  // namespace

ApacheOptions ParseApacheOptions(const std::vector<std::u16string>& arguments) {
    ApacheOptions o;
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::u16string& a = arguments[i];
        if (a.size() < 2 || a[0] != u'-')
            continue;
        const char16_t flag = a[1];
        static constexpr std::u16string_view kWithValue = u"dfDCcEkgn";
        if (kWithValue.find(flag) == std::u16string_view::npos)
            continue;
        std::u16string value;
        if (a.size() > 2) {
            value = a.substr(2);
        } else if (i + 1 < arguments.size()) {
            value = arguments[++i];
        }
        switch (flag) {
            case u'd':
                o.serverRoot = value;
                o.hasServerRoot = true;
                break;
            case u'f':
                o.confFile = value;
                o.hasConfFile = true;
                break;
            case u'D':
                o.defines.push_back(value);
                break;
            case u'C':
            case u'c':
            case u'E':
                o.others.emplace_back(std::u16string(u"-") + flag, value);
                break;
            default:  // -k and the Windows service options are not kept
                break;
        }
    }
    return o;
}

std::vector<std::u16string> ApacheConfigOptions(const ApacheOptions& options,
                                                const std::u16string& serverRoot,
                                                const std::u16string& confFile) {
    std::vector<std::u16string> out;
    if (!serverRoot.empty())
        out.insert(out.end(), {u"-d", serverRoot});
    if (!confFile.empty())
        out.insert(out.end(), {u"-f", confFile});
    for (const auto& define : options.defines)
        out.insert(out.end(), {u"-D", define});
    for (const auto& [flag, value] : options.others) {
        if (flag != u"-E")
            out.insert(out.end(), {flag, value});
    }
    return out;
}

ApacheBuildPaths ParseApacheBuildPaths(std::string_view output) {
    ApacheBuildPaths paths;
    bool root = false;
    bool conf = false;
    ForEachLine(output, [&](std::string_view line) {
        root = CompiledValue(line, "HTTPD_ROOT", paths.root) || root;
        conf = CompiledValue(line, "SERVER_CONFIG_FILE", paths.confFile) || conf;
    });
    paths.known = root && conf;
    return paths;
}

std::vector<std::u16string> ParseStaticModules(std::string_view output) {
    std::vector<std::u16string> modules;
    bool inList = false;
    ForEachLine(output, [&](std::string_view line) {
        const std::string_view t = TrimView(line);
        if (t.rfind("Compiled in modules", 0) == 0) {
            inList = true;
            return;
        }
        if (inList && !t.empty() && t.find(' ') == std::string_view::npos && t.size() > 2 &&
            t.substr(t.size() - 2) == ".c")
            modules.push_back(WideFromUtf8(t));
    });
    // Each module also answers to its identifier: mod_so.c -> so_module,
    // core.c -> core_module, http_core.c -> http_module.
    const size_t count = modules.size();
    for (size_t i = 0; i < count; ++i) {
        std::u16string name = modules[i].substr(0, modules[i].size() - 2);
        if (name.rfind(u"mod_", 0) == 0)
            name.erase(0, 4);
        if (name == u"http_core")
            name = u"http";
        modules.push_back(name + u"_module");
    }
    return modules;
}

IncludeListing ParseIncludeListing(std::string_view output) {
    IncludeListing listing;
    // The files at each depth of indentation, as the list goes.
    std::vector<std::pair<size_t, std::u16string>> stack;
    ForEachLine(output, [&](std::string_view raw) {
        std::string_view line = raw;
        while (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        size_t indent = 0;
        while (indent < line.size() && line[indent] == ' ')
            ++indent;
        std::string_view rest = line.substr(indent);
        if (rest.size() < 4 || rest.front() != '(')
            return;
        const size_t close = rest.find(") ");
        if (close == std::string_view::npos)
            return;
        const std::string_view number = rest.substr(1, close - 1);
        const std::u16string path = WideFromUtf8(rest.substr(close + 2));
        if (number == "*") {
            listing.known = true;
            stack.assign(1, {indent, path});
            return;
        }
        uint32_t lineNumber = 0;
        for (char c : number) {
            if (c < '0' || c > '9')
                return;
            lineNumber = lineNumber * 10 + static_cast<uint32_t>(c - '0');
        }
        while (!stack.empty() && stack.back().first >= indent)
            stack.pop_back();
        if (stack.empty())
            return;
        listing.children[{stack.back().second, lineNumber}].push_back(path);
        stack.emplace_back(indent, path);
    });
    return listing;
}

}  // namespace qm
