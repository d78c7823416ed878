// XmlDocument performance:
//  1. load + parse of a generated 20 MB document, side by side with pugixml
//     loading and parsing the same file (and both from memory);
//  2. 10,000 SetAttribute / AddElement edits on a 1 MB document, against the
//     same edits each followed by a re-parse.
//
//   bench_xml [megabytes] [edits]
#include <pugixml.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "foundation/files.h"
#include "foundation/hostfacts.h"
#include "foundation/textconv.h"
#include "foundation/xmldocument.h"

namespace {

// Times are the process's CPU time, so that other work on a shared machine
// does not count; each figure is the best of several rounds.
double CpuMs() {
    return double(std::clock()) * 1000.0 / CLOCKS_PER_SEC;
}

template <class F>
double Best(int rounds, F&& body) {
    double best = 1e300;
    for (int i = 0; i < rounds; ++i) {
        const double start = CpuMs();
        body();
        best = std::min(best, CpuMs() - start);
    }
    return best;
}

// A configuration-like document: groups of elements with attributes,
// comments, indentation, text, references and some non-ASCII text.
std::string MakeDocument(size_t bytes, size_t groupSize) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<!-- generated -->\r\n<Server>\r\n";
    std::mt19937 random(7);
    size_t group = 0;
    while (xml.size() < bytes) {
        xml += "  <Service name=\"service" + std::to_string(group++) + "\">\r\n";
        for (size_t i = 0; i < groupSize; ++i) {
            const unsigned port = 1024 + random() % 60000;
            switch (i % 4) {
                case 0:
                    xml += "    <Connector port=\"" + std::to_string(port) +
                           "\" protocol=\"HTTP/1.1\" connectionTimeout='20000'\r\n"
                           "               redirectPort=\"8443\" />\r\n";
                    break;
                case 1:
                    xml += "    <!-- connector " + std::to_string(i) + " &amp; notes -->\r\n";
                    xml +=
                        "    <Valve className=\"org.example.AccessLogValve\" "
                        "pattern=\"%h %l &quot;%r&quot;\"/>\r\n";
                    break;
                case 2:
                    xml += "    <Host name=\"site" + std::to_string(port) +
                           ".example\" appBase=\"webapps\">\r\n      <Alias>www.site" +
                           std::to_string(port) + ".example</Alias>\r\n    </Host>\r\n";
                    break;
                default:
                    xml +=
                        "    <Realm note=\"\xe4\xb8\xad\xe6\x96\x87 &#169;\"><![CDATA[ <raw> "
                        "]]></Realm>\r\n";
                    break;
            }
        }
        xml += "  </Service>\r\n";
    }
    xml += "</Server>\r\n";
    return xml;
}

void Fail(const char* what) {
    std::fprintf(stderr, "bench_xml: %s\n", what);
    std::exit(1);
}

// Moves to the `item`-th element of the `group`-th Service.
bool Navigate(qm::XmlDocument& doc, size_t group, size_t item) {
    doc.ResetPosition();
    if (!doc.FindElement(u"Server") || !doc.IntoElement())
        return false;
    for (size_t g = 0; g <= group; ++g) {
        if (!doc.FindElement(u"Service"))
            return false;
    }
    if (!doc.IntoElement())
        return false;
    for (size_t i = 0; i <= item; ++i) {
        if (!doc.FindElement())
            return false;
    }
    return true;
}

// Runs `count` edits: every other one sets an attribute, the others add an
// element after a random element. With `reparse`, each edit is followed by
// a full parse, as an editor without in-place index updates would need.
double RunEdits(const std::u16string& text, size_t groups, size_t groupSize, size_t count,
                bool reparse) {
    qm::XmlDocument doc;
    doc.SetDocument(text);
    std::mt19937 random(11);
    const double start = CpuMs();
    for (size_t n = 0; n < count; ++n) {
        if (!Navigate(doc, random() % groups, random() % groupSize))
            Fail("navigation failed");
        const bool ok = n % 2 == 0
                            ? doc.SetAttribute(u"port", qm::WideFromAscii(std::to_string(random())))
                            : doc.AddElement(u"Added", u"edit");
        if (!ok)
            Fail("edit failed");
        if (reparse)
            doc.Parse();
    }
    return CpuMs() - start;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20;
    const size_t edits = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 10000;

    // ---- 1. load + parse
    const std::string big = MakeDocument(megabytes << 20, 40);
    const std::u16string path = qm::TempFilePath();
    if (!qm::WriteFileAtomic(path, big))
        Fail("cannot write the generated document");
    const std::string narrowPath = qm::Utf8FromWide(path);
    const double mb = double(big.size()) / (1 << 20);
    std::printf("document: %.1f MB, %zu bytes\n", mb, big.size());

    const int rounds = 7;
    // Each round builds a fresh document, as each pugixml round does.
    const double oursLoad = Best(rounds, [&] {
        qm::XmlDocument doc;
        if (!doc.Load(path))
            Fail("our load failed");
    });
    std::u16string text;
    {
        qm::XmlDocument doc;
        doc.Load(path);
        text = doc.GetDocument();
    }
    const double oursParse = Best(rounds, [&] {
        qm::XmlDocument doc;
        if (!doc.SetDocument(text))
            Fail("our parse failed");
    });
    const double pugiLoad = Best(rounds, [&] {
        pugi::xml_document doc;
        if (!doc.load_file(narrowPath.c_str()))
            Fail("pugixml load failed");
    });
    const double pugiParse = Best(rounds, [&] {
        pugi::xml_document doc;
        if (!doc.load_buffer(big.data(), big.size()))
            Fail("pugixml parse failed");
    });
    qm::DeleteFileToRecycleBin(path);
    std::printf(
        "load+parse from file: ours %8.1f ms (%6.1f MB/s)  pugixml %8.1f ms (%6.1f MB/s)"
        "  ratio %.2fx (target <= 3x)\n",
        oursLoad, mb * 1000 / oursLoad, pugiLoad, mb * 1000 / pugiLoad, oursLoad / pugiLoad);
    std::printf(
        "parse from memory:    ours %8.1f ms (%6.1f MB/s)  pugixml %8.1f ms (%6.1f MB/s)"
        "  ratio %.2fx\n",
        oursParse, mb * 1000 / oursParse, pugiParse, mb * 1000 / pugiParse, oursParse / pugiParse);

    // ---- 2. in-place edits against re-parsing
    const size_t groupSize = 40;
    const std::string small = MakeDocument(1 << 20, groupSize);
    qm::XmlDocument probe;
    probe.SetDocument(qm::WideFromUtf8(small));
    size_t groups = 0;
    probe.FindElement(u"Server");
    probe.IntoElement();
    while (probe.FindElement(u"Service"))
        ++groups;
    // Elements per group: Connector, Valve, Host and Realm in turn (comments
    // are not elements), so every position below groupSize exists.
    const std::u16string smallText = probe.GetDocument();
    const double inPlace = RunEdits(smallText, groups, groupSize, edits, false);
    const double reparsed = RunEdits(smallText, groups, groupSize, edits, true);
    std::printf(
        "%zu edits on %.2f MB: in place %8.1f ms (%.1f us/edit)  with re-parse %8.1f ms"
        " (%.1f us/edit)  ratio %.1fx (target >= 10x)\n",
        edits, double(small.size()) / (1 << 20), inPlace, inPlace * 1000 / edits, reparsed,
        reparsed * 1000 / edits, reparsed / inPlace);
    return 0;
}
