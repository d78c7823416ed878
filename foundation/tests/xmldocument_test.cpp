#include "foundation/xmldocument.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "foundation/files.h"
#include "foundation/textconv.h"
#include "foundation/xmlcheck.h"
#include "foundation/xmlcore.h"
#include "foundation/xmlutf8.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

std::string U8(std::u16string_view wide) {
    return Utf8FromWide(wide);
}

// The table kept by edits must equal a fresh parse of the edited text.
void ExpectTableMatchesText(const XmlDocument::Impl& doc) {
    EXPECT_EQ(xml::CheckTable(doc), "");
    XmlDocument::Impl fresh;
    fresh.SetDocument(doc.text);
    EXPECT_EQ(xml::CompareTrees(fresh, doc), "") << U8(doc.text);
}

const std::u16string kDeclaration = u"<?xml version=\"1.0\" encoding=\"utf-8\" ?>\r\n";

// ---------------------------------------------------------------- building

TEST(XmlDocumentEdit, DeclarationOnlyGrowsIntoTheFourLineSettingsDocument) {
    XmlDocument doc;
    EXPECT_FALSE(doc.SetDocument(kDeclaration));
    EXPECT_EQ(doc.ResultText(), u"No root element");
    ASSERT_TRUE(doc.AddElement(u"config"));
    EXPECT_EQ(doc.GetDocument(), kDeclaration + u"<config/>\r\n");
    ASSERT_TRUE(doc.IntoElement());
    ASSERT_TRUE(doc.AddElement(u"product"));
    ASSERT_TRUE(doc.SetAttribute(u"name", u""));
    ASSERT_TRUE(doc.SetAttribute(u"version", u""));
    EXPECT_EQ(doc.GetDocument(), kDeclaration +
                                     u"<config>\r\n"
                                     u"<product name=\"\" version=\"\"/>\r\n"
                                     u"</config>\r\n");
    EXPECT_EQ(doc.GetTagName(), u"product");

    XmlDocument empty;
    ASSERT_TRUE(empty.AddElement(u"root"));
    EXPECT_EQ(empty.GetDocument(), u"<root/>\r\n");
}

TEST(XmlDocumentEdit, AddingIntoEmptyParentsOpensThemUp) {
    const std::u16string expected = u"<config>\r\n<x/>\r\n</config>";
    for (const std::u16string start : {u"<config/>", u"<config></config>"}) {
        XmlDocument::Impl doc;
        ASSERT_TRUE(doc.SetDocument(start));
        ASSERT_TRUE(doc.FindElement(u"config"));
        ASSERT_TRUE(doc.IntoElement());
        ASSERT_TRUE(doc.AddElement(u"x", u""));
        EXPECT_EQ(doc.text, expected) << U8(start);
        ExpectTableMatchesText(doc);
    }
    // Attributes and a blank before "/>" stay in the opened start tag.
    XmlDocument::Impl spaced;
    spaced.SetDocument(u"<config a='1' />");
    spaced.FindElement(u"config");
    ASSERT_TRUE(spaced.AddChildElement(u"x"));
    EXPECT_EQ(spaced.text, u"<config a='1' >\r\n<x/>\r\n</config>");
    ExpectTableMatchesText(spaced);

    // After a current child that stands on its own line, on a line of its own.
    XmlDocument::Impl withChild;
    withChild.SetDocument(u"<config>\r\n<a/>\r\n</config>");
    withChild.FindElement(u"config");
    withChild.IntoElement();
    ASSERT_TRUE(withChild.FindElement(u"a"));
    ASSERT_TRUE(withChild.AddElement(u"x", u""));
    EXPECT_EQ(withChild.text, u"<config>\r\n<a/>\r\n<x/>\r\n</config>");
    ExpectTableMatchesText(withChild);
}

TEST(XmlDocumentEdit, RemovingTheOnlyChildLeavesOneLineBreak) {
    XmlDocument::Impl doc;
    ASSERT_TRUE(doc.SetDocument(u"<d>\r\n<a/>\r\n</d>"));
    doc.FindElement(u"d");
    doc.IntoElement();
    ASSERT_TRUE(doc.FindElement(u"a"));
    ASSERT_TRUE(doc.RemoveElement());
    EXPECT_EQ(doc.text, u"<d>\r\n</d>");
    EXPECT_EQ(doc.current, 0);
    ExpectTableMatchesText(doc);
    ASSERT_TRUE(doc.AddElement(u"x", u""));
    EXPECT_EQ(doc.text, u"<d>\r\n<x/>\r\n</d>");
    ExpectTableMatchesText(doc);
}

TEST(XmlDocumentEdit, RemoveKeepsTextThatFollowsAndStepsBack) {
    XmlDocument::Impl doc;
    doc.SetDocument(u"<r><a/>  <b>t</b> tail<c/>\n</r>");
    doc.FindElement();
    doc.IntoElement();
    doc.FindElement(u"a");
    ASSERT_TRUE(doc.RemoveElement());  // the blanks end at "<": removed too
    EXPECT_EQ(doc.text, u"<r><b>t</b> tail<c/>\n</r>");
    EXPECT_EQ(doc.current, 0);
    doc.FindElement(u"b");
    ASSERT_TRUE(doc.RemoveElement());  // " tail" is text: it stays
    EXPECT_EQ(doc.text, u"<r> tail<c/>\n</r>");
    ASSERT_TRUE(doc.FindElement(u"c"));
    ASSERT_TRUE(doc.RemoveElement());
    EXPECT_EQ(doc.text, u"<r> tail</r>");
    EXPECT_FALSE(doc.RemoveElement());
    ExpectTableMatchesText(doc);
}

TEST(XmlDocumentEdit, RemoveAttributeTakesBackWhatSetAttributeAdded) {
    const std::u16string original =
        u"<r>\n  <binding protocol=\"https\" bindingInformation=\"*:443:a\" />\n"
        u"  <b x='1'\n     y=\"2\"><c/></b>\n</r>";
    XmlDocument::Impl doc;
    doc.SetDocument(original);
    doc.FindElement();
    doc.IntoElement();
    ASSERT_TRUE(doc.FindElement(u"binding"));
    ASSERT_TRUE(doc.SetAttribute(u"sslFlags", u"1"));
    EXPECT_NE(doc.text.find(u"bindingInformation=\"*:443:a\" sslFlags=\"1\" />"),
              std::u16string::npos);
    ASSERT_TRUE(doc.RemoveAttribute(u"sslFlags"));
    EXPECT_EQ(doc.text, original);
    EXPECT_FALSE(doc.RemoveAttribute(u"sslFlags"));
    // The blanks before it go with it, line breaks included; children move.
    ASSERT_TRUE(doc.FindElement(u"b"));
    ASSERT_TRUE(doc.RemoveAttribute(u"y"));
    EXPECT_EQ(doc.text.substr(doc.text.rfind(u"<b")), u"<b x='1'><c/></b>\n</r>");
    ASSERT_TRUE(doc.RemoveAttribute(u"x"));
    EXPECT_EQ(doc.text.substr(doc.text.rfind(u"<b")), u"<b><c/></b>\n</r>");
    ExpectTableMatchesText(doc);
    doc.IntoElement();
    EXPECT_TRUE(doc.FindElement(u"c"));
}

TEST(XmlDocumentEdit, RemoveNeverJoinsStrayMarkupIntoATag) {
    XmlDocument::Impl doc;
    doc.SetDocument(u"<r><<a/>text</r>");
    doc.FindElement();
    doc.IntoElement();
    ASSERT_TRUE(doc.FindElement(u"a"));
    EXPECT_FALSE(doc.RemoveElement());  // "<text</r>" would be a start tag
    EXPECT_EQ(doc.text, u"<r><<a/>text</r>");
    doc.SetDocument(u"<r><!<a/> <b/>-- </r>");
    doc.FindElement();
    doc.IntoElement();
    ASSERT_TRUE(doc.FindElement(u"a"));
    ASSERT_TRUE(doc.RemoveElement());  // a "<" follows: the stray "<!" stays stray
    EXPECT_EQ(doc.text, u"<r><!<b/>-- </r>");
    ExpectTableMatchesText(doc);
}

TEST(XmlDocumentEdit, AddElementWritesDataEscapedAndReadsItBack) {
    XmlDocument doc;
    doc.SetDocument(u"<r>\r\n  <a/>\r\n  <b/>\r\n</r>");
    doc.FindElement();
    doc.IntoElement();
    doc.FindElement(u"a");
    ASSERT_TRUE(doc.AddElement(u"d", u"1<2 & 3>2 \"q\" 'a'"));
    EXPECT_EQ(doc.GetDocument(),
              u"<r>\r\n  <a/>\r\n  <d>1&lt;2 &amp; 3&gt;2 \"q\" 'a'</d>\r\n<b/>\r\n</r>");
    EXPECT_EQ(doc.GetData(), u"1<2 & 3>2 \"q\" 'a'");
    ASSERT_TRUE(doc.FindElement());
    EXPECT_EQ(doc.GetTagName(), u"b");
    // Names that would not read back as themselves, and U+0000, are refused.
    for (const std::u16string_view bad : {u"", u"a b", u"1a", u"a/b", u"a=b", u"a>", u"a?"})
        EXPECT_FALSE(doc.AddElement(bad)) << U8(bad);
    EXPECT_FALSE(doc.AddElement(u"n", std::u16string(u"a\0b", 3)));
    EXPECT_FALSE(doc.SetAttribute(u"a b", u"v"));
    EXPECT_FALSE(doc.SetAttribute(u"a", std::u16string(u"\0", 1)));
}

TEST(XmlDocumentEdit, AddChildElementPlacesAfterTheChildPosition) {
    XmlDocument::Impl doc;
    doc.SetDocument(u"<r><s><k/></s></r>");
    doc.FindElement();
    doc.IntoElement();
    ASSERT_TRUE(doc.FindElement(u"s"));
    ASSERT_TRUE(doc.AddChildElement(u"first"));   // no child position: last child
    ASSERT_TRUE(doc.AddChildElement(u"second"));  // after the child just added
    EXPECT_EQ(doc.text, u"<r><s><k/><first/>\r\n<second/>\r\n</s></r>");
    EXPECT_EQ(doc.GetTagName(), u"s");
    ASSERT_TRUE(doc.IntoElement());  // current := child
    EXPECT_EQ(doc.GetTagName(), u"second");
    ExpectTableMatchesText(doc);
    XmlDocument::Impl none;
    EXPECT_FALSE(none.AddChildElement(u"x"));
}

TEST(XmlDocumentEdit, SubDocumentCopiesAnElement) {
    XmlDocument::Impl doc;
    doc.SetDocument(
        u"<Server>\r\n  <Service>\r\n    <Connector port=\"80\" />\r\n  </Service>\r\n</Server>");
    doc.FindElement();
    doc.IntoElement();
    doc.FindElement(u"Service");
    doc.IntoElement();
    ASSERT_TRUE(doc.FindElement(u"Connector"));
    const std::u16string copy = doc.GetSubDocument();
    EXPECT_EQ(copy, u"<Connector port=\"80\" />\r\n  ");
    doc.ResetMainPosition();
    ASSERT_TRUE(doc.AddSubDocument(copy));
    EXPECT_EQ(doc.resultText, u"");
    ASSERT_TRUE(doc.SetAttribute(u"port", u"443"));
    EXPECT_EQ(doc.text,
              u"<Server>\r\n  <Service>\r\n    <Connector port=\"80\" />\r\n  "
              u"<Connector port=\"443\" />\r\n</Service>\r\n</Server>");
    ExpectTableMatchesText(doc);

    // Several elements with text between them go in as one piece.
    ASSERT_TRUE(doc.AddSubDocument(u"  \r\n<a/> and <b x='1'><c/></b>\r\n"));
    EXPECT_EQ(doc.GetTagName(), u"a");
    EXPECT_NE(doc.text.find(u"<Connector port=\"443\" />\r\n<a/> and <b x='1'><c/></b>\r\n"),
              std::u16string::npos);
    ExpectTableMatchesText(doc);
}

TEST(XmlDocumentEdit, BrokenSubDocumentIsRefusedWhole) {
    XmlDocument::Impl doc;
    doc.SetDocument(u"<r><a/></r>");
    doc.FindElement();
    doc.IntoElement();
    const std::u16string before = doc.text;
    EXPECT_FALSE(doc.AddSubDocument(u"<!-- <x/>"));
    EXPECT_EQ(doc.resultText, u"Comment at offset 0 unterminated");
    EXPECT_FALSE(doc.AddSubDocument(u"<x></r>"));
    EXPECT_EQ(doc.resultText, u"No start tag for end tag 'r' at offset 3");
    EXPECT_FALSE(doc.AddSubDocument(u"just text"));
    EXPECT_EQ(doc.resultText, u"No root element");
    EXPECT_EQ(doc.text, before);
    ExpectTableMatchesText(doc);
}

// -------------------------------------------------------------- attributes

TEST(XmlDocumentAttributes, SetAttributeReplacesOnlyTheValue) {
    XmlDocument doc;
    doc.SetDocument(u"<Connector port='8080' protocol=\"HTTP/1.1\"\tredirectPort = '8443' />");
    doc.FindElement(u"Connector");
    ASSERT_TRUE(doc.SetAttribute(u"port", u"443"));
    EXPECT_EQ(doc.GetDocument(),
              u"<Connector port=\"443\" protocol=\"HTTP/1.1\"\tredirectPort = '8443' />");
    ASSERT_TRUE(doc.SetAttribute(u"redirectPort", u"1"));
    EXPECT_EQ(doc.GetDocument(),
              u"<Connector port=\"443\" protocol=\"HTTP/1.1\"\tredirectPort = \"1\" />");
    EXPECT_EQ(doc.GetAttribute(u"protocol"), u"HTTP/1.1");
    EXPECT_EQ(doc.GetAttribute(u"Port"), u"");  // names are case-sensitive
}

TEST(XmlDocumentAttributes, NewAttributesGoAfterTheLastToken) {
    XmlDocument doc;
    doc.SetDocument(u"<r><product/><Connector port=\"80\" /><Host a=1>x</Host><v b /></r>");
    doc.FindElement();
    doc.IntoElement();
    doc.FindElement(u"product");
    ASSERT_TRUE(doc.SetAttribute(u"name", u"n"));
    doc.FindElement(u"Connector");
    ASSERT_TRUE(doc.SetAttribute(u"scheme", u"https"));
    doc.FindElement(u"Host");
    ASSERT_TRUE(doc.SetAttribute(u"a", u"2"));  // unquoted becomes double-quoted
    ASSERT_TRUE(doc.SetAttribute(u"z", u"3"));
    doc.FindElement(u"v");
    EXPECT_EQ(doc.GetAttribute(u"b"), u"b");  // a bare name is its own value
    ASSERT_TRUE(doc.SetAttribute(u"b", u"on"));
    EXPECT_EQ(doc.GetDocument(),
              u"<r><product name=\"n\"/><Connector port=\"80\" scheme=\"https\" />"
              u"<Host a=\"2\" z=\"3\">x</Host><v b=\"on\" /></r>");
    EXPECT_EQ(doc.GetAttribute(u"b"), u"on");
    doc.ResetPosition();
    EXPECT_FALSE(doc.SetAttribute(u"a", u"1"));
    EXPECT_EQ(doc.GetAttribute(u"a"), u"");
}

TEST(XmlDocumentAttributes, SpecialCharactersRoundTrip) {
    const std::u16string value = u"a&b \"double\" 'single' <tag> &amp; \u4e2d";
    XmlDocument doc;
    doc.SetDocument(u"<a/>");
    doc.FindElement();
    ASSERT_TRUE(doc.SetAttribute(u"v", value));
    EXPECT_EQ(doc.GetDocument(),
              u"<a v=\"a&amp;b &quot;double&quot; &apos;single&apos; &lt;tag&gt; &amp;amp; "
              u"\u4e2d\"/>");
    EXPECT_EQ(doc.GetAttribute(u"v"), value);
    ASSERT_TRUE(doc.SetAttribute(u"v", u"<"));
    EXPECT_EQ(doc.GetAttribute(u"v"), u"<");
}

TEST(XmlDocumentAttributes, ReferencesAreDecoded) {
    XmlDocument doc;
    doc.SetDocument(
        u"<a n='&#65;&#x42;&#x43;' zero='&#0;' far='&#12345678;' big='&#x1F600;' "
        u"named='&lt;&gt;&amp;&apos;&quot;' upper='&LT;' loose='& &#;' part='&#12ab;'/>");
    doc.FindElement();
    EXPECT_EQ(doc.GetAttribute(u"n"), u"ABC");
    EXPECT_EQ(doc.GetAttribute(u"zero"), u"&#0;");
    EXPECT_EQ(doc.GetAttribute(u"far"), u"&#12345678;");
    EXPECT_EQ(doc.GetAttribute(u"big"), u"\uF600");  // one unit: the low 16 bits
    EXPECT_EQ(doc.GetAttribute(u"named"), u"<>&'\"");
    EXPECT_EQ(doc.GetAttribute(u"upper"), u"&LT;");
    EXPECT_EQ(doc.GetAttribute(u"loose"), u"& &#;");
    EXPECT_EQ(doc.GetAttribute(u"part"), u"\u000C");
}

TEST(XmlDocumentAttributes, OddTagsKeepTheirShape) {
    // A "/" after an unquoted value belongs to the value: no empty element.
    XmlDocument::Impl doc;
    EXPECT_FALSE(doc.SetDocument(u"<r><a b=x/></r>"));
    doc.FindElement();
    doc.IntoElement();
    doc.FindElement(u"a");
    EXPECT_EQ(doc.GetAttribute(u"b"), u"x/");
    EXPECT_TRUE(doc.Record(doc.current).NotEnded());
    ASSERT_TRUE(doc.SetAttribute(u"n", u"1"));
    EXPECT_EQ(doc.text, u"<r><a n=\"1\" b=x/></r>");
    ExpectTableMatchesText(doc);
    ASSERT_TRUE(doc.SetAttribute(u"b", u"y"));
    EXPECT_EQ(doc.text, u"<r><a n=\"1\" b=\"y\"></r>");
    ExpectTableMatchesText(doc);
    // A quote before "/>" closes an empty element, even an unquoted one.
    doc.SetDocument(u"<a b=x\"/>");
    doc.FindElement();
    EXPECT_EQ(doc.GetAttribute(u"b"), u"x\"");
    ASSERT_TRUE(doc.SetAttribute(u"b", u"z"));
    EXPECT_EQ(doc.text, u"<a b=\"z\"/>");
    ExpectTableMatchesText(doc);
    // "<a b/>" is a start tag (the "/" follows a word, not the name): giving
    // b a value would turn it into an empty element, so that is refused, and
    // a new attribute goes after the name, where it cannot close the tag.
    doc.SetDocument(u"<a b/></a>");
    doc.FindElement();
    EXPECT_FALSE(doc.SetAttribute(u"b", u"1"));
    ASSERT_TRUE(doc.SetAttribute(u"c", u"1"));
    EXPECT_EQ(doc.text, u"<a c=\"1\" b/></a>");
    ExpectTableMatchesText(doc);
    // After a dangling "=" the new attribute would be read as its value.
    doc.SetDocument(u"<a v= />");
    doc.FindElement();
    ASSERT_TRUE(doc.SetAttribute(u"p", u"1"));
    EXPECT_EQ(doc.text, u"<a p=\"1\" v= />");
    EXPECT_EQ(doc.GetAttribute(u"p"), u"1");
    EXPECT_EQ(doc.GetAttribute(u"v"), u"");
    ASSERT_TRUE(doc.SetAttribute(u"v", u"2"));
    EXPECT_EQ(doc.text, u"<a p=\"1\" v=\"2\" />");
}

// ------------------------------------------------------------------ reading

TEST(XmlDocumentRead, ElementsInCommentsAreNotFound) {
    const std::u16string text =
        u"<r>\r\n  <!-- <Connector port=\"8443\"/> -->\r\n  <Connector port=\"80\"/>\r\n</r>";
    XmlDocument doc;
    ASSERT_TRUE(doc.SetDocument(text));
    doc.FindElement();
    doc.IntoElement();
    ASSERT_TRUE(doc.FindElement(u"Connector"));
    EXPECT_EQ(doc.GetAttribute(u"port"), u"80");
    EXPECT_FALSE(doc.FindElement(u"Connector"));
    EXPECT_EQ(doc.GetAttribute(u"port"), u"80");  // not found: nothing moved
    ASSERT_TRUE(doc.SetAttribute(u"port", u"81"));
    std::u16string expected = text;
    expected.replace(expected.find(u"\"80\""), 4, u"\"81\"");
    EXPECT_EQ(doc.GetDocument(), expected);
}

TEST(XmlDocumentRead, NavigationFollowsParentCurrentAndChild) {
    XmlDocument doc;
    doc.SetDocument(u"<a><b><c/><d/></b><e/></a>");
    EXPECT_FALSE(doc.IntoElement());
    EXPECT_FALSE(doc.OutOfElement());
    ASSERT_TRUE(doc.FindElement(u"a"));
    ASSERT_TRUE(doc.IntoElement());
    ASSERT_TRUE(doc.FindElement(u"b"));
    ASSERT_TRUE(doc.IntoElement());
    ASSERT_TRUE(doc.FindElement(u"d"));
    EXPECT_FALSE(doc.FindElement(u"c"));  // only siblings after current
    ASSERT_TRUE(doc.OutOfElement());
    EXPECT_EQ(doc.GetTagName(), u"b");
    ASSERT_TRUE(doc.FindElement());
    EXPECT_EQ(doc.GetTagName(), u"e");
    ASSERT_TRUE(doc.OutOfElement());
    EXPECT_EQ(doc.GetTagName(), u"a");
    ASSERT_TRUE(doc.IntoElement());  // back to the child position: e
    EXPECT_EQ(doc.GetTagName(), u"e");
    doc.ResetMainPosition();
    ASSERT_TRUE(doc.FindElement());
    EXPECT_EQ(doc.GetTagName(), u"b");
    doc.ResetPosition();
    EXPECT_EQ(doc.GetTagName(), u"");
}

TEST(XmlDocumentRead, DataContentAndSubDocument) {
    XmlDocument doc;
    doc.SetDocument(
        u"<r><t>a &amp; b</t><m>x<!--c-->y<?p?><![CDATA[<z>&amp;]]>&lt;</m><n><k/></n><e/>\t\r\n"
        u"<f/> s</r>");
    doc.FindElement();
    doc.IntoElement();
    doc.FindElement(u"t");
    EXPECT_EQ(doc.GetData(), u"a & b");
    EXPECT_EQ(doc.GetContent(), u"a &amp; b");
    doc.FindElement(u"m");
    EXPECT_EQ(doc.GetData(), u"xy<z>&amp;<");
    doc.FindElement(u"n");
    EXPECT_EQ(doc.GetData(), u"");  // has child elements
    EXPECT_EQ(doc.GetContent(), u"<k/>");
    doc.FindElement(u"e");
    EXPECT_EQ(doc.GetContent(), u"");
    EXPECT_EQ(doc.GetSubDocument(), u"<e/>\t\r\n");
    doc.FindElement(u"f");
    EXPECT_EQ(doc.GetSubDocument(), u"<f/>");  // blank followed by text is not taken
}

// ------------------------------------------------------- parsing and errors

struct ErrorCase {
    std::u16string text;
    std::u16string message;
};

TEST(XmlDocumentParse, ErrorTexts) {
    const std::vector<ErrorCase> cases = {
        {u"", u"Empty document"},
        {u"  <!-- c -->\r\n", u"No root element"},
        {u"<a/><b/>", u"Root element has sibling"},
        {u"<a>< b/></a>", u"Incorrect tag name character at offset 3"},
        {u"<a><!x></a>", u"Incorrect ! tag at offset 3"},
        {u"<a><!-x></a>", u"Incorrect comment tag at offset 3"},
        {u"<a><![x[]]></a>", u"Incorrect tag at offset 3"},
        {u"<a></a><b", u"Element tag at offset 7 unterminated"},
        {u"<a><b c='>'", u"Element tag at offset 3 unterminated"},
        {u"<a></a", u"Element end tag at offset 3 unterminated"},
        {u"<a><![CDATA[x</a>", u"CDATA Section at offset 3 unterminated"},
        {u"<a/><?pi", u"Processing instruction at offset 4 unterminated"},
        {u"<a/><!-- x --", u"Comment at offset 4 unterminated"},
        {u"<a/><!DOCTYPE a [<!ENTITY x '>'>", u"Doctype at offset 4 unterminated"},
        {u"<a/><", u"tag at offset 4 unterminated"},
        {u"<a></b></a>", u"No start tag for end tag 'b' at offset 3"},
        {u"<a><b></a>", u"End tag 'a' at offset 7 does not match start tag 'b' at offset 3"},
        {u"<a>text", u"Element 'a' at offset 0 not ended"},
        {u"<a><b></b>", u"Root element has sibling"},
        {u"<a><b/>", u"Root element has sibling"},  // b leaves the not-ended a
    };
    for (const ErrorCase& c : cases) {
        XmlDocument doc;
        EXPECT_FALSE(doc.SetDocument(c.text)) << U8(c.text);
        EXPECT_EQ(doc.ResultText(), c.message) << U8(c.text);
    }
    XmlDocument good;
    EXPECT_TRUE(good.SetDocument(u"<!DOCTYPE a [<!ENTITY x '>'><!-- > -->]><a/>"));
    EXPECT_EQ(good.ResultText(), u"");
    XmlDocument fresh;
    EXPECT_EQ(fresh.ResultText(), u"Empty document");
}

TEST(XmlDocumentParse, MismatchedEndTagsRecoverNotEndedElements) {
    XmlDocument::Impl doc;
    // b starts inside a, a ends before b does.
    EXPECT_FALSE(doc.SetDocument(u"<a><b></a></b>"));
    EXPECT_EQ(doc.resultText, u"End tag 'a' at offset 7 does not match start tag 'b' at offset 3");
    ASSERT_TRUE(doc.FindElement(u"a"));
    const xml::ElementRecord& a = doc.Record(doc.current);
    EXPECT_EQ(a.length, 10);
    EXPECT_EQ(a.endTagLength, 4u);
    ASSERT_TRUE(doc.IntoElement());
    ASSERT_TRUE(doc.FindElement(u"b"));
    const xml::ElementRecord& b = doc.Record(doc.current);
    EXPECT_TRUE(b.NotEnded());
    EXPECT_EQ(b.length, 3);
    EXPECT_EQ(b.endTagLength, 0u);
    EXPECT_TRUE(doc.Record(0).flags & xml::kIllFormed);

    // What was inside a not-ended element follows it as siblings, in order.
    doc.SetDocument(u"<r><a><b/><c><d/></c></r>");
    doc.FindElement(u"r");
    doc.IntoElement();
    std::vector<std::u16string> names;
    while (doc.FindElement())
        names.push_back(doc.GetTagName());
    EXPECT_EQ(names, (std::vector<std::u16string>{u"a", u"b", u"c"}));
    EXPECT_EQ(xml::CheckTable(doc), "");
}

TEST(XmlDocumentParse, EmptyElementRuleForSlashes) {
    XmlDocument::Impl doc;
    doc.SetDocument(u"<r><a/><b x='1'/><c x=\"1\" /><d x=1/></d><e //></e></r>");
    EXPECT_EQ(doc.resultText, u"");
    doc.FindElement();
    doc.IntoElement();
    for (const char16_t* name : {u"a", u"b", u"c"}) {
        ASSERT_TRUE(doc.FindElement(name));
        EXPECT_TRUE(doc.Record(doc.current).IsEmptyElement()) << U8(name);
    }
    for (const char16_t* name : {u"d", u"e"}) {
        ASSERT_TRUE(doc.FindElement(name));
        EXPECT_GT(doc.Record(doc.current).endTagLength, 0u) << U8(name);
    }
}

TEST(XmlDocumentParse, AdditionsAtTheEndStayOutOfAnUnfinishedTail) {
    XmlDocument::Impl doc;
    doc.SetDocument(u"<a/>\r\n<!-- open");
    ASSERT_TRUE(doc.AddElement(u"b", u""));
    EXPECT_EQ(doc.text, u"<a/>\r\n<b/>\r\n<!-- open");
    ExpectTableMatchesText(doc);
    // A not-ended element holds nothing, so it takes no children.
    doc.SetDocument(u"<r><a></r>");
    doc.FindElement();
    doc.IntoElement();
    doc.FindElement(u"a");
    EXPECT_FALSE(doc.AddChildElement(u"x"));
    ASSERT_TRUE(doc.AddElement(u"y", u""));
    EXPECT_EQ(doc.text, u"<r><a><y/>\r\n</r>");
    ExpectTableMatchesText(doc);
}

TEST(XmlDocumentParse, DocumentTextEndsAtNul) {
    XmlDocument doc;
    EXPECT_TRUE(doc.SetDocument(std::u16string(u"<a/>\0<b/>", 9)));
    EXPECT_EQ(doc.GetDocument(), u"<a/>");
}

TEST(XmlDocumentParse, LargeAndDeepDocuments) {
    // More elements than one segment holds.
    std::u16string text = u"<r>";
    for (int i = 0; i < 70000; ++i)
        text += u"<e/>";
    text += u"<last/></r>";
    XmlDocument::Impl doc;
    ASSERT_TRUE(doc.SetDocument(text));
    EXPECT_GT(doc.table.Used(), xml::ElementTable::kSegmentSize);
    doc.FindElement();
    doc.IntoElement();
    ASSERT_TRUE(doc.FindElement(u"last"));
    ASSERT_TRUE(doc.SetAttribute(u"n", u"1"));
    ASSERT_TRUE(doc.AddElement(u"after", u"x"));
    const std::u16string tail = u"<last n=\"1\"/><after>x</after>\r\n</r>";
    EXPECT_EQ(doc.text.substr(doc.text.size() - tail.size()), tail);
    EXPECT_EQ(xml::CheckTable(doc), "");

    // Deep nesting, never closed, then stray end tags: no recursion, no
    // rescanning the open elements for every stray tag.
    std::u16string deep;
    for (int i = 0; i < 50000; ++i)
        deep += u"<d>";
    for (int i = 0; i < 50000; ++i)
        deep += u"</x>";
    EXPECT_FALSE(doc.SetDocument(deep));
    EXPECT_EQ(doc.resultText, u"Root element has sibling");
    EXPECT_EQ(xml::CheckTable(doc), "");
}

// Random edits on assorted documents: after each one the kept table must be
// what a fresh parse of the edited text gives.
TEST(XmlDocumentParse, RandomEditsKeepTableAndTextInStep) {
    const std::vector<std::u16string> documents = {
        u"<?xml version=\"1.0\"?>\r\n<config>\r\n  <a x='1'/>\r\n  <b>text</b>\r\n</config>\r\n",
        u"<r><a><b></a></b><c/>tail",
        u"<r>\n\t<!-- <x/> -->\n\t<s a=1 b='2' c=\"3\" d/>\n</r>\n<!-- open",
        u"<a><b><c><d/></c></b></a><e/>",
        u"<!DOCTYPE r [<!ENTITY e 'v'>]><r><![CDATA[<n/>]]><m></m><o/></r>",
        u"",
        u"<x y=z/><w>",
    };
    const std::vector<std::u16string> names = {u"a", u"b", u"x", u"new", u""};
    std::mt19937 random(12345);
    auto pick = [&](size_t n) { return size_t(random() % n); };
    for (const std::u16string& start : documents) {
        XmlDocument::Impl doc;
        doc.SetDocument(start);
        for (int step = 0; step < 300; ++step) {
            const std::u16string& name = names[pick(names.size())];
            bool edited = false;
            switch (pick(10)) {
                case 0:
                    doc.FindElement(name);
                    break;
                case 1:
                    doc.IntoElement();
                    break;
                case 2:
                    doc.OutOfElement();
                    break;
                case 3:
                    doc.ResetMainPosition();
                    break;
                case 4:
                    edited = doc.SetAttribute(name.empty() ? u"k" : name, u"v<'\">&");
                    break;
                case 5:
                    edited = doc.AddElement(name.empty() ? u"n" : name, pick(2) ? u"d" : u"");
                    break;
                case 6:
                    edited = doc.AddChildElement(name.empty() ? u"n" : name);
                    break;
                case 7:
                    edited = doc.RemoveElement();
                    break;
                case 8:
                    edited = doc.AddSubDocument(pick(2) ? doc.GetSubDocument() : u" <f g='h'/> ");
                    break;
                default:
                    doc.FindElement();
                    break;
            }
            if (edited) {
                ASSERT_EQ(xml::CheckTable(doc), "") << "step " << step << ": " << U8(doc.text);
                XmlDocument::Impl fresh;
                fresh.SetDocument(doc.text);
                ASSERT_EQ(xml::CompareTrees(fresh, doc), "")
                    << "step " << step << ": " << U8(doc.text);
            }
        }
    }
}

// ------------------------------------------------------------------- files

TEST(XmlDocumentFile, LoadMissingFileKeepsTheDocument) {
    test::TempDir dir;
    XmlDocument doc;
    doc.SetDocument(u"<a><b/></a>");
    doc.FindElement();
    EXPECT_FALSE(doc.Load(dir / u"missing.xml"));
    EXPECT_EQ(doc.ResultText(), u"No such file or directory");
    EXPECT_EQ(doc.GetDocument(), u"<a><b/></a>");
    EXPECT_EQ(doc.GetTagName(), u"a");  // table and position untouched
    EXPECT_FALSE(doc.Load(dir.path()));
    EXPECT_EQ(doc.ResultText(), u"Is a directory");
}

TEST(XmlDocumentFile, LoadMessagesAndEmptyFile) {
    test::TempDir dir;
    test::WriteAll(dir / u"empty.xml", "");
    XmlDocument doc;
    EXPECT_FALSE(doc.Load(dir / u"empty.xml"));
    EXPECT_EQ(doc.ResultText(), u"0 bytes to 0 wide chars, Empty document");
    EXPECT_EQ(doc.GetDocument(), u"");

    test::WriteAll(dir / u"decl.xml", "<?xml version=\"1.0\"?>\n");
    EXPECT_FALSE(doc.Load(dir / u"decl.xml"));
    EXPECT_EQ(doc.ResultText(), u"22 bytes to 22 wide chars, No root element");

    test::WriteAll(dir / u"good.xml", "<a>\xe4\xb8\xad</a>");
    EXPECT_TRUE(doc.Load(dir / u"good.xml"));
    EXPECT_EQ(doc.ResultText(), u"10 bytes to 8 wide chars");
}

TEST(XmlDocumentFile, Utf8Boundary) {
    using xml::DecodeFileText;
    // No byte-order-mark handling: U+FEFF is text and is written back.
    EXPECT_EQ(DecodeFileText("\xef\xbb\xbf<a/>"), u"\uFEFF<a/>");
    EXPECT_EQ(DecodeFileText("a\xf0\x9f\x98\x80z"), u"a\U0001F600z");
    EXPECT_EQ(DecodeFileText("a\xc3(b"), u"a?(b");     // a byte without the high bit
    EXPECT_EQ(DecodeFileText("a\xf8\x80z"), u"a??z");  // invalid lead, then a lone 0x80
    EXPECT_EQ(DecodeFileText("a\xe4\xb8"), u"a?");     // cut off by the end
    EXPECT_EQ(DecodeFileText("ab\0cd"), u"ab");        // NUL ends the text
    EXPECT_EQ(DecodeFileText(std::string("ab\0cd", 5)), u"ab");
    EXPECT_EQ(DecodeFileText("\xc0\xaf"), u"/");           // overlong forms are accepted
    EXPECT_EQ(DecodeFileText("a\x80\x80z"), u"a?z");       // but never as U+0000
    EXPECT_EQ(DecodeFileText("\xed\xa0\x80"), u"\xD800");  // so are encoded surrogates
    EXPECT_EQ(DecodeFileText("\xf7\xbf\xbf\xbf"), u"?");   // beyond U+10FFFF

    EXPECT_EQ(xml::EncodeFileText(u"\uFEFFa\U0001F600\u4e2d"),
              "\xef\xbb\xbf"
              "a\xf0\x9f\x98\x80\xe4\xb8\xad");
    // A surrogate without its partner is "?", and the unit after it survives.
    EXPECT_EQ(xml::EncodeFileText(u"\xD800\"x\xDC00"), "?\"x?");
}

TEST(XmlDocumentFile, SaveWritesUtf8AndReportsFailures) {
    test::TempDir dir;
    XmlDocument doc;
    doc.SetDocument(u"<a v=\"\u4e2d\U0001F600\"/>");
    ASSERT_TRUE(doc.Save(dir / u"out.xml"));
    EXPECT_EQ(doc.ResultText(), u"12 wide chars to 16 bytes");
    EXPECT_EQ(test::ReadAll(dir / u"out.xml"), "<a v=\"\xe4\xb8\xad\xf0\x9f\x98\x80\"/>");

    EXPECT_FALSE(doc.Save(dir / u"no/such/folder/out.xml"));
    EXPECT_EQ(doc.ResultText(), u"No such file or directory");

    XmlDocument empty;
    ASSERT_TRUE(empty.Save(dir / u"out.xml"));
    EXPECT_EQ(test::ReadAll(dir / u"out.xml"), "");
    EXPECT_EQ(empty.ResultText(), u"0 wide chars to 0 bytes");
}

TEST(XmlDocumentFile, LoadEditSaveChangesOnlyTheEditedValues) {
    const std::u16string source =
        WideFromUtf8(QUILLMATE_SOURCE_DIR "/foundation/tests/data/xml/commented_server.xml");
    const std::string original = test::ReadAll(source);
    test::TempDir dir;

    XmlDocument doc;
    ASSERT_TRUE(doc.Load(source)) << U8(doc.ResultText());
    ASSERT_TRUE(doc.Save(dir / u"same.xml"));
    EXPECT_EQ(test::ReadAll(dir / u"same.xml"), original);

    ASSERT_TRUE(doc.FindElement(u"Server"));
    ASSERT_TRUE(doc.SetAttribute(u"port", u"8006"));
    ASSERT_TRUE(doc.IntoElement());
    ASSERT_TRUE(doc.FindElement(u"Service"));
    ASSERT_TRUE(doc.IntoElement());
    ASSERT_TRUE(doc.FindElement(u"Connector"));
    ASSERT_TRUE(doc.SetAttribute(u"connectionTimeout", u"30000"));
    ASSERT_TRUE(doc.FindElement(u"Connector"));
    EXPECT_EQ(doc.GetAttribute(u"port"), u"8009");
    ASSERT_TRUE(doc.SetAttribute(u"port", u"8010"));
    ASSERT_TRUE(doc.FindElement(u"Engine"));
    ASSERT_TRUE(doc.IntoElement());
    ASSERT_TRUE(doc.FindElement(u"Realm"));
    EXPECT_EQ(doc.GetAttribute(u"note"), u"caf\u00e9 \u4e2d\u6587 \U0001F600 \u00a9 & <");
    EXPECT_EQ(doc.GetData(), u" <raw> & ");
    ASSERT_TRUE(doc.Save(dir / u"edited.xml"));

    std::string expected = original;
    auto replace = [&](const std::string& from, const std::string& to) {
        const size_t at = expected.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        expected.replace(at, from.size(), to);
    };
    replace("<Server port='8005'", "<Server port=\"8006\"");
    replace("connectionTimeout='20000'", "connectionTimeout=\"30000\"");
    replace("port = \"8009\"", "port = \"8010\"");
    EXPECT_EQ(test::ReadAll(dir / u"edited.xml"), expected);
}

}  // namespace
}  // namespace qm
