// XmlDocument: an XML document kept as one UTF-16 text with an index of its
// elements. Edits replace exactly the characters they concern and shift the
// index, so everything an edit does not touch (comments, declaration,
// DOCTYPE, whitespace, attribute order and quoting, character references)
// is written back unchanged.
//
// Navigation uses a position of three elements: parent (whose children are
// walked; 0 = document level), current (the element operations act on;
// 0 = none) and child (a position inside current, for AddChildElement).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace qm {

using ElementIndex = int32_t;
enum class FilePrivacy;

class XmlDocument {
public:
    XmlDocument();
    ~XmlDocument();
    XmlDocument(const XmlDocument&) = delete;
    XmlDocument& operator=(const XmlDocument&) = delete;

    // Replaces the text and parses it; returns whether it is well-formed.
    bool SetDocument(std::u16string_view text);
    // Reads a UTF-8 file and parses it; false when the file cannot be read
    // (text and index unchanged) or the document is not well-formed.
    bool Load(std::u16string_view path);
    // Writes the text as UTF-8 through an atomic replace of the file; the
    // second form chooses who may read it (foundation/files.h).
    bool Save(std::u16string_view path);
    bool Save(std::u16string_view path, FilePrivacy privacy);
    // Rebuilds the index from the text; position all 0.
    bool Parse();

    void ResetPosition();
    void ResetMainPosition();
    bool FindElement(std::u16string_view name = {});
    bool IntoElement();
    bool OutOfElement();

    // Name of the current element; empty when there is none.
    std::u16string GetTagName() const;
    std::u16string GetAttribute(std::u16string_view name) const;
    bool SetAttribute(std::u16string_view name, std::u16string_view value);
    // Removes the attribute with the blanks before it, so that an attribute
    // SetAttribute added goes without a trace; false when it is not there.
    bool RemoveAttribute(std::u16string_view name);
    std::u16string GetData() const;
    std::u16string GetContent() const;
    std::u16string GetSubDocument() const;
    // Where the current element stands in the text: the "<" of its start
    // tag, and one past the ">" of its end tag (of the start tag when it is
    // an empty element); false when there is no current element. Callers
    // that splice the text themselves hand it back with SetDocument.
    struct Span {
        size_t start = 0;
        size_t end = 0;
        size_t startTagLength = 0;
        size_t endTagLength = 0;  // 0: an empty-element tag
    };
    bool GetElementSpan(Span& span) const;

    bool AddElement(std::u16string_view name, std::u16string_view data = {});
    bool AddChildElement(std::u16string_view name);
    bool AddSubDocument(std::u16string_view fragment);
    bool RemoveElement();

    const std::u16string& ResultText() const;
    // The whole document text.
    const std::u16string& GetDocument() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace qm
