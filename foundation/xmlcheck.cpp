#include "foundation/xmlcheck.h"

#include <vector>

namespace qm::xml {

namespace {

std::string Describe(const XmlDocument::Impl& doc, ElementIndex e) {
    const ElementRecord& r = doc.Record(e);
    std::string name;
    for (const char16_t c : doc.ElementName(e))
        name.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return "element " + std::to_string(e) + " '" + name + "' [" + std::to_string(r.start) + "+" +
           std::to_string(r.length) + " tags " + std::to_string(r.startTagLength) + "/" +
           std::to_string(r.endTagLength) + " flags " + std::to_string(r.flags) + "]";
}

// Visits the elements in document order; stops early when `visit` says so.
template <class Visit>
bool Walk(const XmlDocument::Impl& doc, Visit visit) {
    const size_t limit = doc.table.Used();
    size_t seen = 0;
    ElementIndex e = doc.Record(0).firstChild;
    while (e != 0) {
        if (!doc.table.Holds(e) || ++seen > limit)
            return false;
        if (!visit(e))
            return false;
        const ElementRecord& r = doc.Record(e);
        if (r.firstChild != 0) {
            e = r.firstChild;
            continue;
        }
        while (e != 0 && doc.Record(e).next == 0)
            e = doc.Record(e).parent;
        if (e != 0)
            e = doc.Record(e).next;
    }
    return true;
}

std::string CheckChildren(const XmlDocument::Impl& doc, ElementIndex p) {
    const ElementRecord& pr = doc.Record(p);
    const ElementIndex first = pr.firstChild;
    if (first == 0)
        return {};
    const int64_t lower = p == 0 ? 0 : int64_t(pr.start) + pr.startTagLength;
    const int64_t upper = p == 0 ? int64_t(doc.text.size()) : int64_t(pr.End()) - pr.endTagLength;
    if (p != 0 && pr.endTagLength == 0)
        return Describe(doc, p) + " has children without an end tag";
    int64_t floor = lower;
    ElementIndex previous = doc.Record(first).prev;
    size_t count = 0;
    for (ElementIndex c = first; c != 0; c = doc.Record(c).next) {
        if (!doc.table.Holds(c) || ++count > doc.table.Used())
            return "broken sibling chain under " + std::to_string(p);
        const ElementRecord& r = doc.Record(c);
        if (r.flags & kReleased)
            return Describe(doc, c) + " is released but linked";
        if (r.parent != p)
            return Describe(doc, c) + " has parent " + std::to_string(r.parent) + ", not " +
                   std::to_string(p);
        if (((r.flags & kFirstChild) != 0) != (c == first))
            return Describe(doc, c) + " has a wrong first-child mark";
        if (c != first && r.prev != previous)
            return Describe(doc, c) + " has a wrong previous link";
        if (r.start < floor || r.End() > upper)
            return Describe(doc, c) + " lies outside its parent or overlaps its sibling";
        floor = r.End();
        previous = c;
        if (r.next == 0 && doc.Record(first).prev != c)
            return "first child of " + std::to_string(p) + " does not link back to the last";
    }
    return {};
}

std::string CheckElement(const XmlDocument::Impl& doc, ElementIndex e) {
    const ElementRecord& r = doc.Record(e);
    const std::u16string& text = doc.text;
    if (r.start < 0 || r.length <= 0 || size_t(r.End()) > text.size())
        return Describe(doc, e) + " lies outside the text";
    if (text[size_t(r.start)] != u'<' || r.startTagLength < 2 ||
        r.startTagLength > uint32_t(r.length) ||
        text[size_t(r.start) + r.startTagLength - 1] != u'>')
        return Describe(doc, e) + " has no start tag there";
    if (r.endTagLength == 0) {
        if (uint32_t(r.length) != r.startTagLength || r.firstChild != 0)
            return Describe(doc, e) + " has no end tag but content";
        const bool slashed = text[size_t(r.End()) - 2] == u'/';
        if (!r.NotEnded() && !slashed)
            return Describe(doc, e) + " is neither empty nor marked not ended";
    } else {
        if (r.NotEnded() || r.startTagLength + r.endTagLength > uint32_t(r.length))
            return Describe(doc, e) + " has inconsistent tag lengths";
        const size_t endTag = size_t(r.End()) - r.endTagLength;
        if (text.compare(endTag, 2, u"</") != 0 || text[size_t(r.End()) - 1] != u'>')
            return Describe(doc, e) + " has no end tag there";
    }
    return CheckChildren(doc, e);
}

}  // namespace

std::string CheckTable(const XmlDocument::Impl& doc) {
    const ElementRecord& document = doc.Record(0);
    if (document.start != 0 || size_t(document.length) != doc.text.size())
        return "the document record does not span the text";
    if (document.firstChild != 0 && !doc.table.Holds(document.firstChild))
        return "the document's first child is out of range";
    std::string fault = CheckChildren(doc, 0);
    if (!fault.empty())
        return fault;
    const bool complete = Walk(doc, [&](ElementIndex e) {
        fault = CheckElement(doc, e);
        return fault.empty();
    });
    if (!fault.empty())
        return fault;
    return complete ? std::string() : "the element tree has a cycle or a link out of range";
}

std::string CompareTrees(const XmlDocument::Impl& expected, const XmlDocument::Impl& actual) {
    if (expected.text != actual.text)
        return "the texts differ";
    std::vector<ElementIndex> order;
    if (!Walk(expected, [&](ElementIndex e) {
            order.push_back(e);
            return true;
        }))
        return "the expected tree is broken";
    size_t at = 0;
    std::string fault;
    const bool complete = Walk(actual, [&](ElementIndex e) {
        if (at >= order.size()) {
            fault = "extra " + Describe(actual, e);
            return false;
        }
        const ElementIndex x = order[at++];
        const ElementRecord& a = actual.Record(e);
        const ElementRecord& b = expected.Record(x);
        // Same place in the tree: parent, first child and next sibling are
        // compared by their offsets (indexes differ after edits).
        auto startOf = [](const XmlDocument::Impl& d, ElementIndex i) {
            return i == 0 ? -1 : d.Record(i).start;
        };
        const bool sameLinks = startOf(actual, a.parent) == startOf(expected, b.parent) &&
                               startOf(actual, a.firstChild) == startOf(expected, b.firstChild) &&
                               startOf(actual, a.next) == startOf(expected, b.next);
        const uint32_t marks = kFirstChild | kNotEnded;
        if (a.start != b.start || a.length != b.length || a.startTagLength != b.startTagLength ||
            a.endTagLength != b.endTagLength || (a.flags & marks) != (b.flags & marks) ||
            !sameLinks || actual.ElementName(e) != expected.ElementName(x)) {
            auto links = [&](const XmlDocument::Impl& d, const ElementRecord& r) {
                return " (parent at " + std::to_string(startOf(d, r.parent)) + ", first child at " +
                       std::to_string(startOf(d, r.firstChild)) + ", next at " +
                       std::to_string(startOf(d, r.next)) + ")";
            };
            fault = "kept " + Describe(actual, e) + links(actual, a) + " but parsed " +
                    Describe(expected, x) + links(expected, b);
            return false;
        }
        return true;
    });
    if (!fault.empty())
        return fault;
    if (!complete)
        return "the kept tree is broken";
    if (at != order.size())
        return "the kept tree lacks " + Describe(expected, order[at]);
    return {};
}

}  // namespace qm::xml
