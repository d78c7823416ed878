// libFuzzer target for XmlDocument: loads arbitrary bytes as a document and
// applies a random sequence of operations. After every edit the element
// table kept up to date by the edit must equal the table a fresh parse of the
// edited text builds, and the edit must touch only the text it concerns.
//
// Input layout: the tail is the operation script (read backwards two bytes
// per operation, after a count); the rest, from the front, is the file.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/xmlcheck.h"
#include "foundation/xmlcore.h"
#include "foundation/xmlutf8.h"

namespace {

using qm::XmlDocument;

[[noreturn]] void Fault(const std::string& what, const XmlDocument::Impl& doc) {
    std::fprintf(stderr, "XML fuzz fault: %s\ntext (%zu units): %s\n", what.c_str(),
                 doc.text.size(), qm::xml::EncodeFileText(doc.text).c_str());
    std::abort();
}

void ExpectInStep(const XmlDocument::Impl& doc, const char* operation) {
    std::string fault = qm::xml::CheckTable(doc);
    if (fault.empty()) {
        XmlDocument::Impl fresh;
        fresh.SetDocument(doc.text);
        fault = qm::xml::CompareTrees(fresh, doc);
    }
    if (!fault.empty())
        Fault(std::string(operation) + ": " + fault, doc);
}

size_t CommonPrefix(const std::u16string& a, const std::u16string& b) {
    size_t n = 0;
    while (n < a.size() && n < b.size() && a[n] == b[n])
        ++n;
    return n;
}

size_t CommonSuffix(const std::u16string& a, const std::u16string& b, size_t prefix) {
    size_t n = 0;
    while (n + prefix < a.size() && n + prefix < b.size() &&
           a[a.size() - 1 - n] == b[b.size() - 1 - n])
        ++n;
    return n;
}

// `shorter` must be `longer` with one run of at most `replaced` units
// replaced by a longer run (or removed): everything else is untouched.
void ExpectOneSplice(const std::u16string& shorter, const std::u16string& longer, size_t replaced,
                     const XmlDocument::Impl& doc, const char* operation) {
    const size_t prefix = CommonPrefix(shorter, longer);
    const size_t suffix = CommonSuffix(shorter, longer, prefix);
    if (prefix + suffix + replaced < shorter.size())
        Fault(std::string(operation) + " changed text it does not concern", doc);
}

const std::u16string kNames[] = {u"",  u"a", u"b", u"c",   u"x", u"config", u"Connector",
                                 u"e", u"p", u"r", u"n:s", u"_", u"\u4e2d"};
const std::u16string kValues[] = {
    u"",
    u"v",
    u"8443",
    u"a&b",
    u"\"'<>&",
    u"&amp;",
    u"&#65;",
    u"x y\r\nz",
    u"\u4e2d\U0001F600",
    std::u16string(1, char16_t(0xD800)),
};
const std::u16string kFragments[] = {
    u"<f/>",
    u"  <f a='1'>t</f>\r\n",
    u"<f/><g><h/></g>",
    u"<f/>text<g/>",
    u"<!-- only a comment -->",
    u"<f>",
    u"</r>",
    u"<f/><!--",
    u"<f x=\"/>\"/>",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    struct Step {
        uint8_t kind;
        uint8_t arg;
    };
    std::vector<Step> steps(input.ConsumeIntegralInRange<size_t>(0, 24));
    for (Step& s : steps) {
        s.kind = input.ConsumeIntegral<uint8_t>();
        s.arg = input.ConsumeIntegral<uint8_t>();
    }
    const std::string bytes = input.ConsumeRemainingBytesAsString();

    XmlDocument::Impl doc;
    doc.TakeLoadedText(qm::xml::DecodeFileText(bytes), u"load");
    ExpectInStep(doc, "parse");
    // XML_FUZZ_TRACE=1 prints every step, for reading a crash input.
    static const bool trace = std::getenv("XML_FUZZ_TRACE") != nullptr;

    for (const Step& s : steps) {
        const std::u16string& name = kNames[s.arg % std::size(kNames)];
        const std::u16string& value = kValues[(s.arg / 16) % std::size(kValues)];
        const std::u16string before = doc.text;
        const qm::ElementIndex current = doc.current;
        if (trace) {
            std::fprintf(stderr, "step %d arg %d at %d/%d/%d: %s\n", s.kind % 14, s.arg, doc.parent,
                         doc.current, doc.child, qm::xml::EncodeFileText(doc.text).c_str());
        }
        switch (s.kind % 14) {
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
                doc.ResetPosition();
                break;
            case 4:
                doc.ResetMainPosition();
                break;
            case 5: {
                const bool edited = doc.SetAttribute(name.empty() ? u"k" : name, value);
                if (edited) {
                    const qm::xml::ElementRecord& r = doc.Record(current);
                    const size_t oldTagEnd =
                        r.start + r.startTagLength - (doc.text.size() - before.size());
                    if (doc.text.compare(0, r.start, before, 0, r.start) != 0 ||
                        doc.text.compare(r.start + r.startTagLength, std::u16string::npos, before,
                                         oldTagEnd) != 0)
                        Fault("SetAttribute changed text outside the start tag", doc);
                    if (doc.GetAttribute(name.empty() ? u"k" : name) != value)
                        Fault("SetAttribute value does not read back", doc);
                    ExpectInStep(doc, "SetAttribute");
                }
                break;
            }
            case 6: {
                const std::u16string data = s.arg & 1 ? value : std::u16string();
                if (doc.AddElement(name, data)) {
                    ExpectOneSplice(before, doc.text, 1, doc, "AddElement");
                    if (doc.GetTagName() != name || doc.GetData() != data)
                        Fault("AddElement does not read back", doc);
                    ExpectInStep(doc, "AddElement");
                }
                break;
            }
            case 7:
                if (doc.AddChildElement(name)) {
                    ExpectOneSplice(before, doc.text, 1, doc, "AddChildElement");
                    ExpectInStep(doc, "AddChildElement");
                }
                break;
            case 8: {
                std::u16string fragment;
                if (s.arg < 64)
                    fragment = doc.GetSubDocument();
                else if (s.arg < 128)
                    fragment = qm::xml::DecodeFileText(bytes.substr(s.arg % (bytes.size() + 1)));
                else
                    fragment = kFragments[s.arg % std::size(kFragments)];
                if (doc.AddSubDocument(fragment)) {
                    ExpectOneSplice(before, doc.text, 1, doc, "AddSubDocument");
                    ExpectInStep(doc, "AddSubDocument");
                } else if (doc.text != before) {
                    Fault("refused AddSubDocument changed the text", doc);
                }
                break;
            }
            case 9:
                if (doc.RemoveElement()) {
                    ExpectOneSplice(doc.text, before, 0, doc, "RemoveElement");
                    ExpectInStep(doc, "RemoveElement");
                }
                break;
            case 10:
                (void)doc.GetAttribute(name);
                (void)doc.GetData();
                (void)doc.GetContent();
                (void)doc.GetSubDocument();
                (void)doc.GetTagName();
                break;
            case 11:
                doc.Parse();
                ExpectInStep(doc, "Parse");
                break;
            case 12: {
                // Save then Load: the text comes back unless it holds a
                // surrogate without its partner (written as "?").
                const std::u16string again =
                    qm::xml::DecodeFileText(qm::xml::EncodeFileText(doc.text));
                bool paired = true;
                for (size_t i = 0; i < doc.text.size() && paired; ++i) {
                    const char16_t c = doc.text[i];
                    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < doc.text.size() &&
                        doc.text[i + 1] >= 0xDC00 && doc.text[i + 1] <= 0xDFFF)
                        ++i;
                    else if (c >= 0xD800 && c <= 0xDFFF)
                        paired = false;
                }
                if (paired && again != doc.text)
                    Fault("save and load do not give the text back", doc);
                break;
            }
            default:
                doc.FindElement();
                break;
        }
        if (s.kind % 14 <= 4 || s.kind % 14 == 10) {
            if (doc.text != before)
                Fault("a reading operation changed the text", doc);
        }
    }
    return 0;
}
