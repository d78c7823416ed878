// The Tomcat configuration the distribution installs belongs to the
// operator: a load-edit-save cycle may change the edited values only.
#include <gtest/gtest.h>

#include <string>

#include "foundation/files.h"
#include "foundation/textconv.h"
#include "foundation/xmlcheck.h"
#include "foundation/xmlcore.h"
#include "foundation/xmldocument.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

const char16_t kServerXml[] = u"/etc/tomcat10/server.xml";

TEST(XmlDocumentTomcat, ServerXmlSavesByteForByteAfterAttributeEdits) {
    std::string original;
    ASSERT_TRUE(ReadFileBytes(kServerXml, original))
        << "/etc/tomcat10/server.xml is missing: install the tomcat10 package";
    test::TempDir dir;

    XmlDocument doc;
    ASSERT_TRUE(doc.Load(kServerXml)) << Utf8FromWide(doc.ResultText());
    ASSERT_TRUE(doc.Save(dir / u"same.xml"));
    EXPECT_EQ(test::ReadAll(dir / u"same.xml"), original);

    // The edits a deployment makes: the HTTP connector's port and redirect
    // port change, and it gains an attribute.
    ASSERT_TRUE(doc.FindElement(u"Server"));
    ASSERT_TRUE(doc.IntoElement());
    ASSERT_TRUE(doc.FindElement(u"Service"));
    ASSERT_TRUE(doc.IntoElement());
    ASSERT_TRUE(doc.FindElement(u"Connector"));
    ASSERT_EQ(doc.GetAttribute(u"port"), u"8080");
    const std::u16string redirect = doc.GetAttribute(u"redirectPort");
    ASSERT_FALSE(redirect.empty());
    ASSERT_TRUE(doc.SetAttribute(u"port", u"80"));
    ASSERT_TRUE(doc.SetAttribute(u"redirectPort", u"443"));
    ASSERT_TRUE(doc.SetAttribute(u"URIEncoding", u"UTF-8"));
    ASSERT_TRUE(doc.Save(dir / u"edited.xml"));

    std::string expected = original;
    const size_t connector = expected.find("<Connector port=\"8080\"");
    ASSERT_NE(connector, std::string::npos);
    expected.replace(connector, 22, "<Connector port=\"80\"");
    const std::string oldRedirect = "redirectPort=\"" + Utf8FromWide(redirect) + "\"";
    const size_t redirectAt = expected.find(oldRedirect, connector);
    ASSERT_NE(redirectAt, std::string::npos);
    expected.replace(redirectAt, oldRedirect.size(), "redirectPort=\"443\"");
    // The new attribute follows the last one; the line break and blanks
    // before "/>" stay where they were.
    const size_t close = expected.find("/>", connector);
    size_t lastValue = expected.rfind('"', close);
    ASSERT_NE(lastValue, std::string::npos);
    expected.insert(lastValue + 1, " URIEncoding=\"UTF-8\"");
    EXPECT_EQ(test::ReadAll(dir / u"edited.xml"), expected);

    // The edited file reads back with the new values and a sound index.
    XmlDocument::Impl reread;
    std::string edited = test::ReadAll(dir / u"edited.xml");
    ASSERT_TRUE(reread.SetDocument(WideFromUtf8(edited)));
    EXPECT_EQ(xml::CheckTable(reread), "");
}

}  // namespace
}  // namespace qm
