#include "deploy/iis/posix/filetlsbindings.h"

#include "deploy/iis/iisbinding.h"
#include "deploy/iis/posix/elementlines.h"
#include "foundation/files.h"
#include "foundation/format.h"
#include "foundation/xmldocument.h"

namespace qm {

namespace {

constexpr char16_t kEmptyFile[] =
    u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<sslBindings>\n</sslBindings>\n";

// "host:port" or "[v6]:port" into an endpoint.
bool ParseEndpoint(const std::u16string& text, bool hostName, TlsEndpoint& endpoint) {
    const size_t colon = text.rfind(u':');
    if (colon == std::u16string::npos || colon == 0)
        return false;
    std::u16string address = text.substr(0, colon);
    if (!hostName && address.size() >= 2 && address.front() == u'[' && address.back() == u']')
        address = address.substr(1, address.size() - 2);
    int32_t port = 0;
    for (size_t i = colon + 1; i < text.size(); ++i) {
        if (text[i] < u'0' || text[i] > u'9' || port > 65535)
            return false;
        port = port * 10 + (text[i] - u'0');
    }
    endpoint = {address, port, hostName};
    return port > 0;
}

bool SameEndpoint(const TlsEndpoint& a, const TlsEndpoint& b) {
    return a.hostName == b.hostName && a.port == b.port && SameText(a.address, b.address);
}

bool LoadBindings(const std::u16string& path, XmlDocument& doc, std::u16string& problem) {
    if (!FileExists(path)) {
        doc.SetDocument(kEmptyFile);
    } else if (!doc.Load(path)) {
        problem = FormatWide(u"cannot read %s: %s", path, doc.ResultText());
        return false;
    }
    doc.ResetPosition();
    if (!doc.FindElement(u"sslBindings")) {
        problem = FormatWide(u"%s holds no sslBindings", path);
        return false;
    }
    doc.IntoElement();
    return true;
}

// The binding the document stands on, read.
bool ReadBinding(const XmlDocument& doc, TlsBinding& binding) {
    const std::u16string ipport = doc.GetAttribute(u"ipport");
    const bool hostName = ipport.empty();
    if (!ParseEndpoint(hostName ? doc.GetAttribute(u"hostnameport") : ipport, hostName,
                       binding.endpoint)) {
        return false;
    }
    binding.certificateHash = doc.GetAttribute(u"certHash");
    binding.storeName = doc.GetAttribute(u"certStoreName");
    binding.appId = doc.GetAttribute(u"appId");
    return true;
}

bool Save(XmlDocument& doc, const std::u16string& path, std::u16string& problem) {
    if (doc.Save(path))
        return true;
    problem = FormatWide(u"cannot write %s: %s", path, doc.ResultText());
    return false;
}

}  // namespace

FileTlsBindings::FileTlsBindings(std::u16string path) : path_(std::move(path)) {}

bool FileTlsBindings::List(std::vector<TlsBinding>& bindings, std::u16string& problem) {
    bindings.clear();
    XmlDocument doc;
    if (!LoadBindings(path_, doc, problem))
        return false;
    while (doc.FindElement(u"binding")) {
        TlsBinding binding;
        if (ReadBinding(doc, binding))
            bindings.push_back(std::move(binding));
    }
    return true;
}

bool FileTlsBindings::Query(const TlsEndpoint& endpoint, TlsBinding& binding, bool& found,
                            std::u16string& problem) {
    found = false;
    std::vector<TlsBinding> all;
    if (!List(all, problem))
        return false;
    for (const TlsBinding& b : all) {
        if (SameEndpoint(b.endpoint, endpoint)) {
            binding = b;
            found = true;
            break;
        }
    }
    return true;
}

bool FileTlsBindings::Add(const TlsBinding& binding, std::u16string& problem) {
    XmlDocument doc;
    if (!LoadBindings(path_, doc, problem))
        return false;
    XmlDocument::Span root;
    doc.OutOfElement();
    doc.GetElementSpan(root);
    doc.IntoElement();
    XmlDocument::Span last;
    bool any = false;
    while (doc.FindElement(u"binding")) {
        TlsBinding existing;
        if (ReadBinding(doc, existing) && SameEndpoint(existing.endpoint, binding.endpoint)) {
            problem = FormatWide(u"%s already has a certificate bound", binding.endpoint.Text());
            return false;
        }
        any = true;
        doc.GetElementSpan(last);
    }
    std::u16string element =
        FormatWide(u"<binding %s=\"%s\" certHash=\"%s\" certStoreName=\"%s\" appId=\"%s\" />",
                   binding.endpoint.hostName ? u"hostnameport" : u"ipport", binding.endpoint.Text(),
                   binding.certificateHash, binding.storeName, binding.appId);
    std::u16string text = doc.GetDocument();
    if (any) {
        const size_t lineStart = IndentStart(text, last.start);
        text.insert(last.end,
                    LineEndOfText(text) + text.substr(lineStart, last.start - lineStart) + element);
    } else if (root.endTagLength == 0) {
        text.replace(root.start, root.end - root.start,
                     u"<sslBindings>\n    " + element + u"\n</sslBindings>");
    } else {
        text.insert(root.end - root.endTagLength, u"    " + element + u"\n");
    }
    if (!doc.SetDocument(text)) {
        problem = FormatWide(u"the binding of %s cannot be written", binding.endpoint.Text());
        return false;
    }
    return Save(doc, path_, problem);
}

bool FileTlsBindings::Delete(const TlsEndpoint& endpoint, std::u16string& problem) {
    XmlDocument doc;
    if (!LoadBindings(path_, doc, problem))
        return false;
    while (doc.FindElement(u"binding")) {
        TlsBinding existing;
        if (!ReadBinding(doc, existing) || !SameEndpoint(existing.endpoint, endpoint))
            continue;
        XmlDocument::Span span;
        doc.GetElementSpan(span);
        std::u16string text = doc.GetDocument();
        const size_t begin = RemovalStart(text, span.start);
        text.erase(begin, span.end - begin);
        if (!doc.SetDocument(text)) {
            problem = FormatWide(u"the binding of %s cannot be removed", endpoint.Text());
            return false;
        }
        return Save(doc, path_, problem);
    }
    return true;
}

}  // namespace qm
