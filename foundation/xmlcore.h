// The working part of XmlDocument: the text, the element table and the
// position, with parsing, navigation and in-place editing. File input and
// output live in xmldocument.cpp; this part depends on nothing but the
// standard library so that the fuzzer can build it on its own.
//
// Every edit keeps the table exactly what a fresh parse of the edited text
// would build; edits that cannot keep that promise are refused (false) and
// change nothing:
//  - names that would not read back as themselves (blanks, "<", "=", "/"...)
//    and values or data holding U+0000 (a document never holds U+0000: Load
//    stops there, so SetDocument and AddSubDocument stop there too);
//  - children for a not-ended element (its content belongs to its parent);
//  - a fragment with a parse error or without elements (an open comment or a
//    stray end tag would swallow or re-pair the rest of the document);
//  - an attribute edit that would change where an odd start tag ends or
//    whether it is an empty-element tag;
//  - removing an element that would join stray markup before it (a lone "<"
//    or "<!") with the text after it into a tag or comment.
// Additions at the end of a document that ends inside unfinished markup go in
// front of that markup. Tag lengths are full 32-bit fields.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/xmldocument.h"
#include "foundation/xmltable.h"

namespace qm {

struct XmlDocument::Impl {
    // Offsets are signed 32-bit, so a text never grows beyond this.
    static constexpr size_t kMaxTextLength = 0x7FFFFFF0;

    Impl();

    // Replaces the text (up to a first U+0000, which never belongs to a
    // document: Load stops there too), clears the result text and parses.
    bool SetDocument(std::u16string_view text);
    // Parses the text. A non-empty `message` (the load message) is kept in
    // front of the parse error: message + ", " + error.
    bool Parse(std::u16string message = {});
    // Takes a decoded file text and the load message (see Load).
    bool TakeLoadedText(std::u16string text, std::u16string message);

    void ResetPosition() { parent = current = child = 0; }
    void ResetMainPosition() { current = child = 0; }
    bool FindElement(std::u16string_view name = {});
    bool IntoElement();
    bool OutOfElement();

    std::u16string GetTagName() const;
    std::u16string GetAttribute(std::u16string_view name) const;
    bool SetAttribute(std::u16string_view name, std::u16string_view value);
    bool RemoveAttribute(std::u16string_view name);
    // Replaces text inside an element's start tag and moves what follows.
    bool ReplaceInStartTag(ElementIndex element, size_t pos, size_t length,
                           std::u16string_view with);
    std::u16string GetData() const;
    std::u16string GetContent() const;
    std::u16string GetSubDocument() const;
    bool GetElementSpan(XmlDocument::Span& span) const;

    bool AddElement(std::u16string_view name, std::u16string_view data = {});
    bool AddChildElement(std::u16string_view name);
    bool AddSubDocument(std::u16string_view fragment);
    bool RemoveElement();

    // Read access for the consistency checks of tests and the fuzzer.
    const xml::ElementRecord& Record(ElementIndex index) const { return table[index]; }
    std::u16string_view ElementName(ElementIndex index) const;

    std::u16string text;
    xml::ElementTable table;
    ElementIndex parent = 0;
    ElementIndex current = 0;
    ElementIndex child = 0;
    std::u16string resultText;
    // Length of the node the text ends inside of (an unterminated comment,
    // tag...), 0 when the text ends cleanly. Additions at the end of the
    // document go in front of it, or they would vanish inside it.
    size_t tailLength = 0;

private:
    xml::ElementRecord& Rec(ElementIndex index) { return table[index]; }
    const xml::ElementRecord& Rec(ElementIndex index) const { return table[index]; }

    // The element name as used to pair its start and end tags.
    std::u16string_view TagName(ElementIndex index) const;
    // End of the whitespace run after `pos` when that run ends at "<" or at
    // the end of the text; otherwise `pos`.
    size_t SkipTrailingSpace(size_t pos) const;

    // Replaces [pos, pos + length) of the text; false when the text would
    // grow beyond kMaxTextLength (nothing changes then).
    bool ReplaceText(size_t pos, size_t length, std::u16string_view with);

    // Shifts the subtrees from `firstSibling` on and everything behind the
    // ancestors from `ancestor` outward by `delta`, and grows the
    // ancestors' (and the document's) lengths by it.
    void ShiftBehind(ElementIndex firstSibling, ElementIndex ancestor, int32_t delta);
    // Calls visit(record) for the element and every descendant, in document
    // order, without recursion (documents may nest deeply).
    template <class F>
    void VisitSubtree(ElementIndex root, F visit) {
        ElementIndex e = root;
        while (true) {
            xml::ElementRecord& r = Rec(e);
            visit(r);
            if (r.firstChild != 0) {
                e = r.firstChild;
                continue;
            }
            while (e != root && Rec(e).next == 0)
                e = Rec(e).parent;
            if (e == root)
                return;
            e = Rec(e).next;
        }
    }
    void ShiftSubtree(ElementIndex root, int32_t delta);
    void Unlink(ElementIndex element);
    // Links the sibling chain first..last under `parentIndex` after
    // `reference` (as the last children when reference is 0).
    void LinkChain(ElementIndex parentIndex, ElementIndex reference, ElementIndex first,
                   ElementIndex last);
    void ReleaseSubtree(ElementIndex root);

    // Inserts the element text `piece` where a new element under
    // `parentIndex` after `reference` belongs and links the records
    // first..last (offsets relative to the piece) there. `records` is how
    // many records the caller is about to add. False when refused.
    struct Placement;
    bool PlanPlacement(ElementIndex parentIndex, ElementIndex reference, size_t pieceLength,
                       Placement& plan) const;
    void ApplyPlacement(const Placement& plan, std::u16string_view piece, ElementIndex first,
                        ElementIndex last);
};

}  // namespace qm
