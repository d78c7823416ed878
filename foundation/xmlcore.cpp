#include "foundation/xmlcore.h"

#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/xmlscan.h"

namespace qm {

using xml::ElementRecord;
using xml::ElementTable;
using xml::IsSpace;
using xml::Node;
using xml::NodeKind;

namespace {

std::u16string Number(size_t value) {
    const std::string digits = std::to_string(value);
    return std::u16string(digits.begin(), digits.end());
}

std::u16string_view UpToNul(std::u16string_view text) {
    const size_t nul = text.find(u'\0');
    return nul == std::u16string_view::npos ? text : text.substr(0, nul);
}

bool HasNul(std::u16string_view text) {
    return text.find(u'\0') != std::u16string_view::npos;
}

// A name that reads back as itself both when tags are paired and when
// elements are looked up, so the text and the table cannot disagree.
bool IsValidElementName(std::u16string_view name) {
    if (name.empty() || !xml::IsNameStart(name[0]))
        return false;
    for (const char16_t c : name) {
        if (c == 0 || xml::EndsElementName(c) || xml::EndsTagName(c))
            return false;
    }
    return true;
}

// A name that the attribute scanner reads as one word followed by "=".
bool IsValidAttributeName(std::u16string_view name) {
    if (name.empty())
        return false;
    for (const char16_t c : name) {
        if (c == 0 || IsSpace(c) || xml::IsQuote(c) || c == u'=' || c == u'<' || c == u'>' ||
            c == u'/' || c == u'?')
            return false;
    }
    return true;
}

// Builds the element table of a text: every start tag becomes a record;
// end tags close the innermost open element of their name; elements left
// open are recovered as not ended. Never stops at an error; keeps the first.
class TableBuilder {
public:
    TableBuilder(std::u16string_view text, ElementTable& table) : text_(text), table_(table) {}

    void Run() {
        const size_t size = text_.size();
        table_.Reset(static_cast<uint32_t>(size / 64 + 8));
        table_.Add();  // the document record
        ElementRecord& document = table_[0];
        document.length = static_cast<int32_t>(size);
        Node node;
        size_t pos = 0;
        while (pos < size) {
            if (text_[pos] != u'<') {
                pos = xml::FindMarkup(text_, pos + 1, size);
                continue;
            }
            xml::ScanNode(text_, pos, size, node);
            if (node.incorrect && !hasError)
                Fail(u"Incorrect " + std::u16string(node.incorrect) + u" at offset " + Number(pos));
            if (node.unterminated) {
                if (!hasError)
                    Fail(std::u16string(node.unterminated) + u" at offset " + Number(pos) +
                         u" unterminated");
                tailLength = size - pos;
                break;
            }
            if (node.kind == NodeKind::StartTag) {
                Open(node);
            } else if (node.kind == NodeKind::EmptyTag) {
                Append(node);
            } else if (node.kind == NodeKind::EndTag) {
                Close(node);
            }
            pos = node.end;
        }
        EndAll();
    }

    bool hasError = false;
    std::u16string error;
    size_t tailLength = 0;

private:
    struct OpenElement {
        ElementIndex index;
        std::u16string_view name;
    };

    // Only the first error of a parse is kept; callers skip formatting the
    // later ones.
    void Fail(std::u16string message) {
        hasError = true;
        error = std::move(message);
    }

    ElementIndex Append(const Node& node) {
        const ElementIndex index = table_.Add();
        const ElementIndex parent = open_.empty() ? 0 : open_.back().index;
        ElementRecord& r = table_[index];
        r.start = static_cast<int32_t>(node.begin);
        r.length = static_cast<int32_t>(node.end - node.begin);
        r.startTagLength = static_cast<uint32_t>(node.end - node.begin);
        r.parent = parent;
        ElementRecord& p = table_[parent];
        if (p.firstChild == 0) {
            p.firstChild = index;
            r.prev = index;
            r.flags = xml::kFirstChild;
        } else {
            ElementRecord& first = table_[p.firstChild];
            table_[first.prev].next = index;
            r.prev = first.prev;
            first.prev = index;
        }
        return index;
    }

    void Open(const Node& node) {
        const std::u16string_view name =
            text_.substr(node.nameBegin, node.nameEnd - node.nameBegin);
        open_.push_back({Append(node), name});
        if (counting_)
            ++openNames_[name];
    }

    void Close(const Node& node) {
        const std::u16string_view name =
            text_.substr(node.nameBegin, node.nameEnd - node.nameBegin);
        if (!open_.empty() && open_.back().name == name) {
            Finish(open_.back().index, node);
            Pop(open_.size() - 1);
            return;
        }
        // Pairing with an outer element is rare; from the first time on, a
        // count of open elements per name keeps stray end tags in deep
        // documents from rescanning the whole stack.
        if (!counting_) {
            counting_ = true;
            for (const OpenElement& o : open_)
                ++openNames_[o.name];
        }
        const auto found = openNames_.find(name);
        if (found == openNames_.end() || found->second == 0) {
            if (!hasError)
                Fail(u"No start tag for end tag '" + std::u16string(name) + u"' at offset " +
                     Number(node.begin));
            return;
        }
        size_t level = open_.size() - 1;
        while (open_[level].name != name)
            --level;
        const OpenElement& innermost = open_.back();
        if (!hasError)
            Fail(u"End tag '" + std::u16string(name) + u"' at offset " + Number(node.begin + 1) +
                 u" does not match start tag '" + std::u16string(innermost.name) + u"' at offset " +
                 Number(size_t(table_[innermost.index].start)));
        for (size_t inner = level + 1; inner < open_.size(); ++inner)
            NotEnded(open_[inner].index);
        Finish(open_[level].index, node);
        Pop(level);
    }

    void Finish(ElementIndex index, const Node& endTag) {
        ElementRecord& r = table_[index];
        r.length = static_cast<int32_t>(endTag.end) - r.start;
        r.endTagLength = static_cast<uint32_t>(endTag.end - endTag.begin);
    }

    // Drops the open elements from `level` inward.
    void Pop(size_t level) {
        if (counting_) {
            for (size_t i = level; i < open_.size(); ++i)
                --openNames_[open_[i].name];
        }
        open_.resize(level);
    }

    void EndAll() {
        if (open_.empty())
            return;
        const OpenElement& innermost = open_.back();
        if (!hasError)
            Fail(u"Element '" + std::u16string(innermost.name) + u"' at offset " +
                 Number(size_t(table_[innermost.index].start)) + u" not ended");
        // Outermost first: each element's children then move only once.
        for (const OpenElement& o : open_)
            NotEnded(o.index);
        open_.clear();
    }

    // An element without an end tag keeps only its start tag; the elements
    // found inside it follow it as siblings.
    void NotEnded(ElementIndex index) {
        ElementRecord& r = table_[index];
        r.length = static_cast<int32_t>(r.startTagLength);
        r.endTagLength = 0;
        r.flags |= xml::kNotEnded;
        const ElementIndex first = r.firstChild;
        if (first == 0)
            return;
        const ElementIndex last = table_[first].prev;
        for (ElementIndex c = first; c != 0; c = table_[c].next)
            table_[c].parent = r.parent;
        table_[first].flags &= ~xml::kFirstChild;
        const ElementIndex next = r.next;
        r.next = first;
        table_[first].prev = index;
        table_[last].next = next;
        if (next != 0)
            table_[next].prev = last;
        else
            table_[table_[r.parent].firstChild].prev = last;
        r.firstChild = 0;
    }

    std::u16string_view text_;
    ElementTable& table_;
    std::vector<OpenElement> open_;
    bool counting_ = false;
    std::unordered_map<std::u16string_view, uint32_t> openNames_;
};

}  // namespace

struct XmlDocument::Impl::Placement {
    enum Kind { AfterReference, AtDocumentEnd, OpenEmptyTag, InsideParent };
    Kind kind = AfterReference;
    ElementIndex parent = 0;
    ElementIndex reference = 0;
    size_t pos = 0;
    size_t removed = 0;
    std::u16string before;
    std::u16string after;
};

XmlDocument::Impl::Impl() {
    Parse();
}

bool XmlDocument::Impl::SetDocument(std::u16string_view newText) {
    newText = UpToNul(newText);
    if (newText.size() > kMaxTextLength) {
        resultText = u"Document too large";
        return false;
    }
    text.assign(newText);
    resultText.clear();
    return Parse();
}

bool XmlDocument::Impl::TakeLoadedText(std::u16string loaded, std::u16string message) {
    if (loaded.size() > kMaxTextLength) {
        resultText = message + u", Document too large";
        return false;
    }
    text = std::move(loaded);
    return Parse(std::move(message));
}

bool XmlDocument::Impl::Parse(std::u16string message) {
    TableBuilder builder(text, table);
    builder.Run();
    tailLength = builder.tailLength;
    bool failed = builder.hasError;
    std::u16string error = std::move(builder.error);
    const ElementIndex root = Rec(0).firstChild;
    if (text.empty()) {
        failed = true;
        error = u"Empty document";
    } else if (root == 0) {
        failed = true;
        error = u"No root element";
    } else if (Rec(root).next != 0) {
        failed = true;
        error = u"Root element has sibling";
    }
    if (failed)
        Rec(0).flags |= xml::kIllFormed;
    resultText = std::move(message);
    if (failed)
        resultText = resultText.empty() ? error : resultText + u", " + error;
    ResetPosition();
    return !failed;
}

bool XmlDocument::Impl::FindElement(std::u16string_view name) {
    for (ElementIndex e = current ? Rec(current).next : Rec(parent).firstChild; e != 0;
         e = Rec(e).next) {
        if (name.empty() || ElementName(e) == name) {
            current = e;
            child = 0;
            return true;
        }
    }
    return false;
}

bool XmlDocument::Impl::IntoElement() {
    if (current == 0)
        return false;
    parent = current;
    current = child;
    child = 0;
    return true;
}

bool XmlDocument::Impl::OutOfElement() {
    if (parent == 0)
        return false;
    child = current;
    current = parent;
    parent = Rec(parent).parent;
    return true;
}

std::u16string_view XmlDocument::Impl::ElementName(ElementIndex index) const {
    const ElementRecord& r = Rec(index);
    const size_t begin = size_t(r.start) + 1;
    const size_t limit = size_t(r.start) + r.startTagLength;
    size_t end = begin;
    while (end < limit && !xml::EndsElementName(text[end]))
        ++end;
    return std::u16string_view(text).substr(begin, end - begin);
}

std::u16string_view XmlDocument::Impl::TagName(ElementIndex index) const {
    const ElementRecord& r = Rec(index);
    const size_t begin = size_t(r.start) + 1;
    const size_t limit = size_t(r.start) + r.startTagLength;
    size_t end = begin;
    while (end < limit && !xml::EndsTagName(text[end]))
        ++end;
    return std::u16string_view(text).substr(begin, end - begin);
}

std::u16string XmlDocument::Impl::GetTagName() const {
    return current ? std::u16string(ElementName(current)) : std::u16string();
}

namespace {

// Where the attribute tokens of a start tag end: at the "/" of an
// empty-element close, else at the closing ">".
size_t AttributeLimit(const ElementRecord& r) {
    const size_t close = size_t(r.start) + r.startTagLength - 1;
    return r.IsEmptyElement() ? close - 1 : close;
}

}  // namespace

std::u16string XmlDocument::Impl::GetAttribute(std::u16string_view name) const {
    if (current == 0 || name.empty())
        return {};
    const ElementRecord& r = Rec(current);
    const size_t from = size_t(r.start) + 1 + TagName(current).size();
    const xml::AttributeSpot spot = xml::FindAttribute(text, from, AttributeLimit(r), name);
    if (!spot.found)
        return {};
    std::u16string value;
    if (!spot.hasEquals) {
        xml::AppendDecoded(value, name);
    } else if (spot.hasValue) {
        size_t begin = spot.valueBegin;
        size_t end = spot.valueEnd;
        if (xml::IsQuote(text[begin])) {
            ++begin;
            if (end > begin && text[end - 1] == text[spot.valueBegin])
                --end;
        }
        xml::AppendDecoded(value, std::u16string_view(text).substr(begin, end - begin));
    }
    return value;
}

bool XmlDocument::Impl::SetAttribute(std::u16string_view name, std::u16string_view value) {
    if (current == 0 || !IsValidAttributeName(name) || HasNul(value))
        return false;
    ElementRecord& r = Rec(current);
    const size_t start = size_t(r.start);
    const size_t tagEnd = start + r.startTagLength;
    const size_t from = start + 1 + TagName(current).size();
    const size_t limit = AttributeLimit(r);
    const xml::AttributeSpot spot = xml::FindAttribute(text, from, limit, name);

    std::u16string quoted(1, u'"');
    xml::AppendEncodedAttribute(quoted, value);
    quoted.push_back(u'"');
    const size_t quotedLength = quoted.size();

    size_t pos = from;
    size_t length = 0;
    std::u16string with;
    if (spot.found && spot.hasValue) {
        // The old value goes together with its quotes; name, "=" and spacing stay.
        pos = spot.valueBegin;
        length = spot.valueEnd - spot.valueBegin;
        with = std::move(quoted);
    } else if (spot.found && spot.hasEquals) {
        pos = spot.equalsEnd;
        with = std::move(quoted);
    } else if (spot.found) {
        pos = spot.nameEnd;  // a bare name gets its value
        with = u"=" + quoted;
    } else {
        with = u" " + std::u16string(name) + u"=" + quoted;
        // Behind the last token, so blanks before "/>" or ">" stay where they
        // are; but a "/" before ">" that does not close an empty-element tag
        // must keep what precedes it, so such a tag gets it after the name.
        const bool slashKept = !r.IsEmptyElement() && text[limit - 1] == u'/';
        pos = slashKept ? from : spot.insertAt;
    }

    // The edited start tag must still end at its new end, keep its kind and
    // read the attribute back as written (a dangling "=" before the spot
    // would take the new text as its value), or the table and the text part.
    const xml::NodeKind kind = r.IsEmptyElement() ? NodeKind::EmptyTag : NodeKind::StartTag;
    const size_t valueOffset = with.size() - quotedLength;
    auto holds = [&](size_t at) {
        std::u16string tag;
        tag.reserve(r.startTagLength + with.size());
        tag.append(text, start, at - start)
            .append(with)
            .append(text, at + length, tagEnd - at - length);
        Node node;
        xml::ScanNode(tag, 0, tag.size(), node);
        if (node.unterminated || node.kind != kind || node.end != tag.size())
            return false;
        const size_t close = kind == NodeKind::EmptyTag ? tag.size() - 2 : tag.size() - 1;
        const xml::AttributeSpot back = xml::FindAttribute(tag, from - start, close, name);
        return back.found && back.hasValue && back.valueBegin == at - start + valueOffset &&
               back.valueEnd == back.valueBegin + quotedLength;
    };
    if (!holds(pos)) {
        if (spot.found || pos == from || !holds(from))
            return false;
        pos = from;
    }
    return ReplaceInStartTag(current, pos, length, with);
}

bool XmlDocument::Impl::ReplaceInStartTag(ElementIndex element, size_t pos, size_t length,
                                          std::u16string_view with) {
    if (!ReplaceText(pos, length, with))
        return false;
    ElementRecord& r = Rec(element);
    const int32_t delta = static_cast<int32_t>(with.size()) - static_cast<int32_t>(length);
    r.startTagLength += delta;
    r.length += delta;
    for (ElementIndex c = r.firstChild; c != 0; c = Rec(c).next)
        ShiftSubtree(c, delta);
    ShiftBehind(r.next, r.parent, delta);
    return true;
}

bool XmlDocument::Impl::RemoveAttribute(std::u16string_view name) {
    if (current == 0 || name.empty())
        return false;
    const ElementRecord& r = Rec(current);
    const size_t start = size_t(r.start);
    const size_t from = start + 1 + TagName(current).size();
    const xml::AttributeSpot spot = xml::FindAttribute(text, from, AttributeLimit(r), name);
    if (!spot.found || spot.nameEnd < from + name.size())
        return false;
    size_t begin = spot.nameEnd - name.size();
    while (begin > from && xml::IsSpace(text[begin - 1]))
        --begin;
    const size_t end = spot.hasValue    ? spot.valueEnd
                       : spot.hasEquals ? spot.equalsEnd
                                        : spot.nameEnd;
    return ReplaceInStartTag(current, begin, end - begin, {});
}

std::u16string XmlDocument::Impl::GetData() const {
    if (current == 0)
        return {};
    const ElementRecord& r = Rec(current);
    if (r.firstChild != 0 || r.endTagLength == 0)
        return {};
    const size_t begin = size_t(r.start) + r.startTagLength;
    const size_t end = size_t(r.End()) - r.endTagLength;
    const std::u16string_view all(text);
    std::u16string data;
    if (all.substr(begin, end - begin).find(u'<') == std::u16string_view::npos) {
        xml::AppendDecoded(data, all.substr(begin, end - begin));
        return data;
    }
    Node node;
    for (size_t pos = begin; pos < end; pos = node.end) {
        xml::ScanNode(all, pos, end, node);
        if (node.kind == NodeKind::Text) {
            xml::AppendDecoded(data, all.substr(node.begin, node.end - node.begin));
        } else if (node.kind == NodeKind::CData) {
            const size_t markerEnd =
                all.substr(node.begin, 9) == u"<![CDATA[" ? node.begin + 9 : node.begin + 4;
            const size_t innerEnd = node.unterminated ? node.end : node.end - 3;
            if (innerEnd > markerEnd)
                data.append(all.substr(markerEnd, innerEnd - markerEnd));
        }
    }
    return data;
}

std::u16string XmlDocument::Impl::GetContent() const {
    if (current == 0)
        return {};
    const ElementRecord& r = Rec(current);
    if (r.endTagLength == 0)
        return {};
    const size_t begin = size_t(r.start) + r.startTagLength;
    const size_t end = size_t(r.End()) - r.endTagLength;
    return text.substr(begin, end - begin);
}

std::u16string XmlDocument::Impl::GetSubDocument() const {
    if (current == 0)
        return {};
    const ElementRecord& r = Rec(current);
    return text.substr(size_t(r.start), SkipTrailingSpace(size_t(r.End())) - size_t(r.start));
}

bool XmlDocument::Impl::GetElementSpan(XmlDocument::Span& span) const {
    if (current == 0)
        return false;
    const ElementRecord& r = Rec(current);
    span.start = size_t(r.start);
    span.end = size_t(r.End());
    span.startTagLength = r.startTagLength;
    span.endTagLength = r.endTagLength;
    return true;
}

size_t XmlDocument::Impl::SkipTrailingSpace(size_t pos) const {
    size_t end = pos;
    while (end < text.size() && IsSpace(text[end]))
        ++end;
    return end == text.size() || text[end] == u'<' ? end : pos;
}

bool XmlDocument::Impl::ReplaceText(size_t pos, size_t length, std::u16string_view with) {
    const size_t needed = text.size() - length + with.size();
    if (needed > kMaxTextLength)
        return false;
    // Growing by half at once keeps a series of additions from copying the
    // whole text each time.
    if (needed > text.capacity())
        text.reserve(needed + needed / 2 + 128);
    text.replace(pos, length, with);
    return true;
}

void XmlDocument::Impl::ShiftSubtree(ElementIndex root, int32_t delta) {
    VisitSubtree(root, [delta](xml::ElementRecord& r) { r.start += delta; });
}

void XmlDocument::Impl::ShiftBehind(ElementIndex firstSibling, ElementIndex ancestor,
                                    int32_t delta) {
    for (ElementIndex s = firstSibling; s != 0; s = Rec(s).next)
        ShiftSubtree(s, delta);
    for (ElementIndex a = ancestor; a != 0; a = Rec(a).parent) {
        Rec(a).length += delta;
        for (ElementIndex s = Rec(a).next; s != 0; s = Rec(s).next)
            ShiftSubtree(s, delta);
    }
    Rec(0).length += delta;
}

void XmlDocument::Impl::Unlink(ElementIndex element) {
    ElementRecord& r = Rec(element);
    ElementRecord& p = Rec(r.parent);
    if (p.firstChild == element) {
        p.firstChild = r.next;
        if (r.next != 0) {
            Rec(r.next).prev = r.prev;
            Rec(r.next).flags |= xml::kFirstChild;
        }
    } else {
        Rec(r.prev).next = r.next;
        if (r.next != 0)
            Rec(r.next).prev = r.prev;
        else
            Rec(p.firstChild).prev = r.prev;
    }
    r.next = 0;
    r.prev = 0;
    r.flags &= ~xml::kFirstChild;
}

void XmlDocument::Impl::LinkChain(ElementIndex parentIndex, ElementIndex reference,
                                  ElementIndex first, ElementIndex last) {
    for (ElementIndex e = first;; e = Rec(e).next) {
        Rec(e).parent = parentIndex;
        Rec(e).flags &= ~xml::kFirstChild;
        if (e == last)
            break;
    }
    ElementRecord& p = Rec(parentIndex);
    if (reference == 0) {
        if (p.firstChild == 0) {
            p.firstChild = first;
            Rec(first).prev = last;
            Rec(first).flags |= xml::kFirstChild;
        } else {
            ElementRecord& head = Rec(p.firstChild);
            Rec(head.prev).next = first;
            Rec(first).prev = head.prev;
            head.prev = last;
        }
        Rec(last).next = 0;
        return;
    }
    const ElementIndex next = Rec(reference).next;
    Rec(reference).next = first;
    Rec(first).prev = reference;
    Rec(last).next = next;
    if (next != 0)
        Rec(next).prev = last;
    else
        Rec(p.firstChild).prev = last;
}

void XmlDocument::Impl::ReleaseSubtree(ElementIndex root) {
    VisitSubtree(root, [](xml::ElementRecord& r) { r.flags |= xml::kReleased; });
}

bool XmlDocument::Impl::PlanPlacement(ElementIndex parentIndex, ElementIndex reference,
                                      size_t pieceLength, Placement& plan) const {
    // A not-ended element has no content: whatever follows its start tag
    // belongs to its parent, so it cannot take children.
    if (parentIndex != 0 && Rec(parentIndex).NotEnded())
        return false;
    plan.parent = parentIndex;
    plan.reference = reference;
    if (reference != 0) {
        plan.kind = Placement::AfterReference;
        plan.pos = SkipTrailingSpace(size_t(Rec(reference).End()));
        plan.after = u"\r\n";
    } else if (parentIndex == 0) {
        plan.kind = Placement::AtDocumentEnd;
        plan.pos = text.size() - tailLength;
        plan.after = u"\r\n";
    } else {
        const ElementRecord& p = Rec(parentIndex);
        if (p.IsEmptyElement()) {
            // The "/" of "/>" becomes ">", the new element and the end tag.
            plan.kind = Placement::OpenEmptyTag;
            plan.pos = size_t(p.start) + p.startTagLength - 2;
            plan.removed = 1;
            plan.before = u">\r\n";
            plan.after = u"\r\n</" + std::u16string(TagName(parentIndex));
        } else if (size_t(p.length) == p.startTagLength + p.endTagLength) {
            plan.kind = Placement::InsideParent;
            plan.pos = size_t(p.start) + p.startTagLength;
            plan.before = u"\r\n";
            plan.after = u"\r\n";
        } else {
            plan.kind = Placement::InsideParent;
            plan.pos = size_t(p.End()) - p.endTagLength;
            plan.after = u"\r\n";
        }
    }
    const size_t grown = plan.before.size() + pieceLength + plan.after.size();
    return text.size() - plan.removed + grown <= kMaxTextLength;
}

void XmlDocument::Impl::ApplyPlacement(const Placement& plan, std::u16string_view piece,
                                       ElementIndex first, ElementIndex last) {
    std::u16string inserted;
    inserted.reserve(plan.before.size() + piece.size() + plan.after.size());
    inserted.append(plan.before).append(piece).append(plan.after);
    const ElementIndex next = plan.reference ? Rec(plan.reference).next : 0;
    ReplaceText(plan.pos, plan.removed, inserted);
    const int32_t delta = static_cast<int32_t>(inserted.size() - plan.removed);
    if (plan.kind == Placement::OpenEmptyTag) {
        ElementRecord& p = Rec(plan.parent);
        p.startTagLength -= 1;
        p.endTagLength = static_cast<uint32_t>(plan.after.size() - 2 + 1);  // "</" name ">"
    }
    ShiftBehind(next, plan.parent, delta);
    const int32_t pieceStart = static_cast<int32_t>(plan.pos + plan.before.size());
    for (ElementIndex e = first;; e = Rec(e).next) {
        ShiftSubtree(e, pieceStart);
        if (e == last)
            break;
    }
    LinkChain(plan.parent, plan.reference, first, last);
}

namespace {

std::u16string NewElementText(std::u16string_view name, std::u16string_view data) {
    std::u16string piece(1, u'<');
    piece.append(name);
    if (data.empty()) {
        piece.append(u"/>");
        return piece;
    }
    piece.push_back(u'>');
    xml::AppendEncodedData(piece, data);
    piece.append(u"</").append(name).push_back(u'>');
    return piece;
}

}  // namespace

bool XmlDocument::Impl::AddElement(std::u16string_view name, std::u16string_view data) {
    if (!IsValidElementName(name) || HasNul(data))
        return false;
    const std::u16string piece = NewElementText(name, data);
    Placement plan;
    if (!PlanPlacement(parent, current, piece.size(), plan))
        return false;
    const ElementIndex added = table.Add();
    if (added == 0)
        return false;
    ElementRecord& r = Rec(added);
    r.length = static_cast<int32_t>(piece.size());
    r.startTagLength = static_cast<uint32_t>(data.empty() ? piece.size() : name.size() + 2);
    r.endTagLength = static_cast<uint32_t>(data.empty() ? 0 : name.size() + 3);
    ApplyPlacement(plan, piece, added, added);
    current = added;
    child = 0;
    return true;
}

bool XmlDocument::Impl::AddChildElement(std::u16string_view name) {
    if (current == 0 || !IsValidElementName(name))
        return false;
    const std::u16string piece = NewElementText(name, {});
    Placement plan;
    if (!PlanPlacement(current, child, piece.size(), plan))
        return false;
    const ElementIndex added = table.Add();
    if (added == 0)
        return false;
    ElementRecord& r = Rec(added);
    r.length = static_cast<int32_t>(piece.size());
    r.startTagLength = static_cast<uint32_t>(piece.size());
    ApplyPlacement(plan, piece, added, added);
    child = added;
    return true;
}

bool XmlDocument::Impl::AddSubDocument(std::u16string_view fragment) {
    fragment = UpToNul(fragment);
    ElementTable parsed;
    TableBuilder builder(fragment, parsed);
    builder.Run();
    resultText = builder.error;
    const ElementIndex first = parsed[0].firstChild;
    // Only complete, error-free elements are inserted: a broken fragment
    // (an open comment, a stray end tag...) would swallow or re-pair the
    // rest of the document.
    if (builder.hasError)
        return false;
    if (first == 0) {
        resultText = u"No root element";
        return false;
    }
    const ElementIndex last = parsed[first].prev;
    const size_t begin = size_t(parsed[first].start);
    const std::u16string_view piece = fragment.substr(begin, size_t(parsed[last].End()) - begin);
    Placement plan;
    if (!PlanPlacement(parent, current, piece.size(), plan)) {
        resultText = parent != 0 && Rec(parent).NotEnded()
                         ? u"Element '" + std::u16string(ElementName(parent)) + u"' at offset " +
                               Number(size_t(Rec(parent).start)) + u" not ended"
                         : u"Document too large";
        return false;
    }
    const uint32_t count = parsed.Used() - 1;
    if (count > ElementTable::kMaxRecords - table.Used())
        return false;
    // Copy the records in, renumbered, with offsets relative to the piece.
    std::vector<ElementIndex> renumbered(parsed.Used(), 0);
    for (uint32_t i = 1; i <= count; ++i)
        renumbered[i] = table.Add();
    auto map = [&](ElementIndex i) { return renumbered[size_t(i)]; };
    for (uint32_t i = 1; i <= count; ++i) {
        const ElementRecord& from = parsed[ElementIndex(i)];
        ElementRecord& to = Rec(map(ElementIndex(i)));
        to = from;
        to.start = from.start - static_cast<int32_t>(begin);
        to.parent = map(from.parent);
        to.firstChild = map(from.firstChild);
        to.next = map(from.next);
        to.prev = map(from.prev);
    }
    ApplyPlacement(plan, piece, map(first), map(last));
    current = map(first);
    child = 0;
    return true;
}

bool XmlDocument::Impl::RemoveElement() {
    if (current == 0)
        return false;
    const ElementIndex removed = current;
    const ElementRecord& r = Rec(removed);
    const size_t begin = size_t(r.start);
    const size_t end = SkipTrailingSpace(size_t(r.End()));
    // Stray markup such as a lone "<" or "<!" that ends where the element
    // begins would, joined with the text behind the element, turn into a
    // tag or a comment. Such a removal is refused; a stray tag left at the
    // very end becomes the unfinished tail of the text.
    size_t stray = std::u16string::npos;
    for (size_t i = begin; i > 0;) {
        const char16_t c = text[--i];
        if (c == u'>')
            break;
        if (c == u'<') {
            stray = i;
            break;
        }
    }
    if (stray != std::u16string::npos && end < text.size()) {
        std::u16string joined = text.substr(stray, begin - stray);
        joined.append(text, end, 3);
        Node node;
        xml::ScanNode(joined, 0, joined.size(), node);
        if (node.kind != NodeKind::Error)
            return false;
    }
    const bool atEnd = end == text.size();
    const ElementIndex previous = (r.flags & xml::kFirstChild) ? 0 : r.prev;
    const ElementIndex parentIndex = r.parent;
    const ElementIndex next = r.next;
    Unlink(removed);
    ReplaceText(begin, end - begin, {});
    ShiftBehind(next, parentIndex, -static_cast<int32_t>(end - begin));
    ReleaseSubtree(removed);
    if (stray != std::u16string::npos && atEnd)
        tailLength = text.size() - stray;
    current = previous;
    child = 0;
    return true;
}

}  // namespace qm
