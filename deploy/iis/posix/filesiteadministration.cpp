#include "deploy/iis/posix/filesiteadministration.h"

#include <cstdlib>

#include "deploy/iis/iisbinding.h"
#include "deploy/iis/posix/elementlines.h"
#include "foundation/files.h"
#include "foundation/format.h"
#include "foundation/processmanager.h"
#include "foundation/textconv.h"
#include "foundation/xmlscan.h"

namespace qm {

namespace {

constexpr char16_t kFileName[] = u"applicationHost.config";

std::u16string AttributeText(std::u16string_view name, std::u16string_view value) {
    std::u16string out = u" ";
    out += name;
    out += u"=\"";
    xml::AppendEncodedAttribute(out, value);
    out += u'"';
    return out;
}

std::u16string BindingElement(const IisBinding& binding) {
    std::u16string out = u"<binding";
    out += AttributeText(u"protocol", binding.protocol);
    out += AttributeText(u"bindingInformation", binding.bindingInformation);
    if (!binding.sslFlags.empty())
        out += AttributeText(u"sslFlags", binding.sslFlags);
    out += u" />";
    return out;
}

}  // namespace

FileSiteAdministration::FileSiteAdministration(std::u16string home)
    : home_(std::move(home)), path_(home_ + kFileName) {}

bool FileSiteAdministration::Ensure(std::u16string& problem) {
    if (pending_)
        return true;
    if (!doc_.Load(path_)) {
        problem = FormatWide(u"cannot read %s: %s", path_, doc_.ResultText());
        return false;
    }
    return true;
}

bool FileSiteAdministration::GoToSites(std::u16string& problem) {
    if (!Ensure(problem))
        return false;
    doc_.ResetPosition();
    if (!doc_.FindElement(u"configuration") || !doc_.IntoElement() ||
        !doc_.FindElement(u"system.applicationHost") || !doc_.IntoElement() ||
        !doc_.FindElement(u"sites") || !doc_.IntoElement()) {
        problem = FormatWide(u"%s has no system.applicationHost/sites section", path_);
        return false;
    }
    return true;
}

bool FileSiteAdministration::ReadSites(std::vector<IisSite>& sites, std::u16string& problem) {
    sites.clear();
    if (!GoToSites(problem))
        return false;
    while (doc_.FindElement(u"site")) {
        IisSite site;
        site.name = doc_.GetAttribute(u"name");
        site.state = doc_.GetAttribute(u"state");
        if (site.state.empty())
            site.state =
                SameText(doc_.GetAttribute(u"serverAutoStart"), u"false") ? u"Stopped" : u"Started";
        doc_.IntoElement();
        while (doc_.FindElement()) {
            const std::u16string tag = doc_.GetTagName();
            if (tag == u"application") {
                doc_.IntoElement();
                while (doc_.FindElement(u"virtualDirectory"))
                    site.physicalPaths.push_back(doc_.GetAttribute(u"physicalPath"));
                doc_.OutOfElement();
            } else if (tag == u"bindings") {
                doc_.IntoElement();
                while (doc_.FindElement(u"binding")) {
                    site.bindings.push_back({doc_.GetAttribute(u"protocol"),
                                             doc_.GetAttribute(u"bindingInformation"),
                                             doc_.GetAttribute(u"sslFlags")});
                }
                doc_.OutOfElement();
            }
        }
        doc_.OutOfElement();
        sites.push_back(std::move(site));
    }
    return true;
}

bool FileSiteAdministration::GoToBindings(const std::u16string& site, std::u16string& problem) {
    if (!GoToSites(problem))
        return false;
    while (doc_.FindElement(u"site")) {
        if (!SameText(doc_.GetAttribute(u"name"), site))
            continue;
        doc_.IntoElement();
        if (doc_.FindElement(u"bindings"))
            return true;
        problem = FormatWide(u"the site \"%s\" in %s has no bindings", site, path_);
        return false;
    }
    problem = FormatWide(u"there is no site \"%s\" in %s", site, path_);
    return false;
}

bool FileSiteAdministration::FindBinding(const IisBinding& binding) {
    doc_.IntoElement();
    while (doc_.FindElement(u"binding")) {
        if (SameText(doc_.GetAttribute(u"protocol"), binding.protocol) &&
            SameText(doc_.GetAttribute(u"bindingInformation"), binding.bindingInformation)) {
            return true;
        }
    }
    return false;
}

bool FileSiteAdministration::Splice(size_t pos, size_t length, const std::u16string& text,
                                    std::u16string& problem) {
    std::u16string document = doc_.GetDocument();
    document.replace(pos, length, text);
    if (!doc_.SetDocument(document)) {
        problem = FormatWide(u"the edit of %s would not be well-formed", path_);
        doc_.Load(path_);
        pending_ = false;
        return false;
    }
    pending_ = true;
    return true;
}

bool FileSiteAdministration::AddBinding(const std::u16string& site, const IisBinding& binding,
                                        std::u16string& problem) {
    if (!GoToBindings(site, problem))
        return false;
    XmlDocument::Span bindings;
    doc_.GetElementSpan(bindings);
    doc_.IntoElement();
    bool any = false;
    XmlDocument::Span last;
    while (doc_.FindElement(u"binding")) {
        if (SameText(doc_.GetAttribute(u"protocol"), binding.protocol) &&
            SameText(doc_.GetAttribute(u"bindingInformation"), binding.bindingInformation)) {
            return true;
        }
        any = true;
        doc_.GetElementSpan(last);
    }
    const std::u16string& text = doc_.GetDocument();
    const std::u16string lineEnd = LineEndOfText(text);
    if (any) {
        // Behind the last binding, on a line of its own like it.
        const size_t lineStart = IndentStart(text, last.start);
        const std::u16string indent = text.substr(lineStart, last.start - lineStart);
        return Splice(last.end, 0, lineEnd + indent + BindingElement(binding), problem);
    }
    // An empty bindings element: opened up, the binding one level deeper.
    const size_t lineStart = IndentStart(text, bindings.start);
    const std::u16string indent = text.substr(lineStart, bindings.start - lineStart);
    const std::u16string inner = lineEnd + indent + u"    " + BindingElement(binding);
    if (bindings.endTagLength == 0) {
        return Splice(bindings.start, bindings.end - bindings.start,
                      u"<bindings>" + inner + lineEnd + indent + u"</bindings>", problem);
    }
    const size_t endTag = bindings.end - bindings.endTagLength;
    size_t contentEnd = endTag;
    while (contentEnd > bindings.start + bindings.startTagLength &&
           (text[contentEnd - 1] == u' ' || text[contentEnd - 1] == u'\t' ||
            text[contentEnd - 1] == u'\n' || text[contentEnd - 1] == u'\r')) {
        --contentEnd;
    }
    return Splice(contentEnd, endTag - contentEnd, inner + lineEnd + indent, problem);
}

bool FileSiteAdministration::RemoveBinding(const std::u16string& site, const IisBinding& binding,
                                           std::u16string& problem) {
    if (!GoToBindings(site, problem))
        return false;
    if (!FindBinding(binding))
        return true;
    XmlDocument::Span span;
    doc_.GetElementSpan(span);
    const std::u16string& text = doc_.GetDocument();
    // The whole line when the binding stands on one of its own.
    const size_t begin = RemovalStart(text, span.start);
    return Splice(begin, span.end - begin, {}, problem);
}

bool FileSiteAdministration::ReplaceBinding(const std::u16string& site, const IisBinding& from,
                                            const IisBinding& to, std::u16string& problem) {
    if (!GoToBindings(site, problem))
        return false;
    if (!FindBinding(from)) {
        doc_.ResetMainPosition();
        if (GoToBindings(site, problem) && FindBinding(to))
            return true;
        problem = FormatWide(u"the site \"%s\" has no binding %s %s", site, from.protocol,
                             from.bindingInformation);
        return false;
    }
    bool ok = true;
    if (doc_.GetAttribute(u"protocol") != to.protocol)
        ok = ok && doc_.SetAttribute(u"protocol", to.protocol);
    if (doc_.GetAttribute(u"bindingInformation") != to.bindingInformation)
        ok = ok && doc_.SetAttribute(u"bindingInformation", to.bindingInformation);
    if (to.sslFlags.empty()) {
        doc_.RemoveAttribute(u"sslFlags");  // false when there is none
    } else if (doc_.GetAttribute(u"sslFlags") != to.sslFlags) {
        ok = ok && doc_.SetAttribute(u"sslFlags", to.sslFlags);
    }
    if (!ok) {
        problem = FormatWide(u"cannot change the binding %s of the site \"%s\"",
                             from.bindingInformation, site);
        doc_.Load(path_);
        pending_ = false;
        return false;
    }
    pending_ = true;
    return true;
}

bool FileSiteAdministration::CommitChanges(std::u16string& problem) {
    if (!pending_)
        return true;
    if (!doc_.Save(path_)) {
        problem = FormatWide(u"cannot write %s: %s", path_, doc_.ResultText());
        return false;
    }
    pending_ = false;
    return true;
}

bool FileSiteAdministration::Restart(std::u16string& problem) {
    std::string text;
    const std::u16string pidFile = home_ + u"w3svc.pid";
    if (!ReadFileBytes(pidFile, text)) {
        problem = FormatWide(u"the web service is not running (no %s)", pidFile);
        return false;
    }
    const long pid = std::strtol(text.c_str(), nullptr, 10);
    if (pid <= 0 || !SignalReload(static_cast<ProcessId>(pid))) {
        problem = FormatWide(u"the web service named by %s cannot be restarted", pidFile);
        return false;
    }
    return true;
}

}  // namespace qm
