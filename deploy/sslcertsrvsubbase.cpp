#include "deploy/sslcertsrvsubbase.h"

#include <algorithm>

#include "foundation/files.h"
#include "foundation/operation.h"
#include "foundation/regex.h"
#include "foundation/textconv.h"

namespace qm {

SslCertSrvSubBase::SslCertSrvSubBase() {
    LogTrace("SslCertSrvSubBase::SslCertSrvSubBase");
}

SslCertSrvSubBase::~SslCertSrvSubBase() {
    LogTrace("SslCertSrvSubBase::~SslCertSrvSubBase");
}

void SslCertSrvSubBase::GetSiteNodesPosRange(const std::u16string&, std::vector<SiteNode>&) {}

void SslCertSrvSubBase::GetSiteNodesConfig(std::vector<SiteNode>&) {}

std::u16string SslCertSrvSubBase::ResolveAlias(const std::u16string& name) const {
    const auto it = aliasMap_.find(name);
    return it == aliasMap_.end() ? name : it->second;
}

std::u16string SslCertSrvSubBase::ReadTextFile(const std::u16string& path) {
    std::u16string text;
    ReadTextFile(path, text);
    return text;
}

bool SslCertSrvSubBase::ReadTextFile(const std::u16string& path, std::u16string& text) {
    text.clear();
    std::string bytes;
    if (!ReadFileBytes(path, bytes))
        return false;
#ifdef _WIN32
    text.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == 0x1A)
            break;
        if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
            continue;
        text.push_back(c);
    }
#else
    // Room for the edits to come: an insertion then moves the text's tail
    // instead of copying the whole of it to a new place.
    text.reserve(bytes.size() + bytes.size() / 64 + 4096);
    text.resize(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i)
        text[i] = static_cast<unsigned char>(bytes[i]);
#endif
    return true;
}

bool SslCertSrvSubBase::WriteTextFile(const std::u16string& text, const std::u16string& path) {
    std::string bytes;
#ifndef _WIN32
    // The usual case, every character a byte: one pass the compiler can widen.
    const bool oneBytePerCharacter =
        std::all_of(text.begin(), text.end(), [](char16_t c) { return c <= 0xFF; });
#else
    const bool oneBytePerCharacter = false;
#endif
    if (oneBytePerCharacter) {
        bytes.resize(text.size());
        std::transform(text.begin(), text.end(), bytes.begin(),
                       [](char16_t c) { return static_cast<char>(c); });
    } else {
        bytes.reserve(text.size() + text.size() / 32);
        for (size_t i = 0; i < text.size(); ++i) {
            const char16_t c = text[i];
#ifdef _WIN32
            if (c == u'\n')
                bytes.push_back('\r');
#endif
            if (c <= 0xFF) {
                bytes.push_back(static_cast<char>(c));
                continue;
            }
            size_t end = i + 1;
            while (end < text.size() && text[end] > 0xFF)
                ++end;
            bytes += Utf8FromWide(std::u16string_view(text).substr(i, end - i));
            i = end - 1;
        }
    }
    if (!WriteFileAtomic(path, bytes)) {
        LogError(u"SslCertSrvSubBase::WriteTextFile, cannot write %s", path);
        return false;
    }
    return true;
}

void SslCertSrvSubBase::AddOrReplaceDirective(std::u16string& text, bool firstOnly,
                                              const std::u16string& anchorPattern,
                                              const std::u16string& existingPattern,
                                              const std::u16string& newText) {
    RunOperation("SslCertSrvSubBase::AddOrReplaceDirective", [&] {
        const Regex existing(existingPattern);
        if (existing.Search(text)) {
            text = firstOnly ? existing.ReplaceFirst(text, newText)
                             : existing.ReplaceAll(text, newText);
            return;
        }
        std::u16string last;
        const auto anchors = Regex(anchorPattern).SearchAll(text);
        if (!anchors.empty())
            last = anchors.back().str(text);
        const size_t lead = last.find_first_not_of(u"\r\n");
        last = lead == std::u16string::npos ? std::u16string() : last.substr(lead);
        // The anchor line is matched literally: configuration lines carry
        // characters ("$", ".", "(") that mean something in a pattern.
        const Regex line(u"^\\s*" + RegexEscape(last));
        const std::u16string replacement = ReplacementEscape(last) + u"\n" + newText;
        text =
            firstOnly ? line.ReplaceFirst(text, replacement) : line.ReplaceAll(text, replacement);
    });
}

void SslCertSrvSubBase::GetAliasesOf(std::vector<std::u16string>& aliases,
                                     const std::u16string& siteName) const {
    for (const auto& [alias, primary] : aliasMap_) {
        if (primary == siteName)
            aliases.push_back(alias);
    }
    std::sort(aliases.begin(), aliases.end());
    aliases.erase(std::unique(aliases.begin(), aliases.end()), aliases.end());
}

bool SslCertSrvSubBase::IsAlias(const std::u16string& name) const {
    return aliasMap_.count(name) != 0;
}

}  // namespace qm
