#include "app/updatecomm.h"

#include <exception>

#include "enrollment/communicator.h"
#include "foundation/files.h"
#include "foundation/hostfacts.h"
#include "foundation/results.h"
#include "foundation/textconv.h"
#include "foundation/xmldocument.h"

namespace qm {

namespace {

void Require(bool found) {
    if (!found)
        ThrowResult(result::kUndefined);
}

// "sha256" must be 64 hexadecimal digits to count; anything else reads as
// not given, and the self-update refuses an archive it cannot check.
std::string DigestAttribute(const std::u16string& value) {
    if (value.size() != 64)
        return {};
    std::string digest;
    for (char16_t c : value) {
        const bool hex =
            (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
        if (!hex)
            return {};
        digest.push_back(static_cast<char>(c >= u'A' && c <= u'F' ? c - u'A' + u'a' : c));
    }
    return digest;
}

long long SizeAttribute(const std::u16string& value) {
    if (value.empty() || value.size() > 15)
        return -1;
    long long size = 0;
    for (char16_t c : value) {
        if (c < u'0' || c > u'9')
            return -1;
        size = size * 10 + (c - u'0');
    }
    return size;
}

}  // namespace

void UpdateComm::ReadDescription(std::u16string_view xmlText, std::u16string_view programName,
                                 std::u16string_view despName, UpdateDescription& out) {
    XmlDocument document;
    document.SetDocument(xmlText);  // a broken document leaves it empty
    document.ResetPosition();
    Require(document.FindElement(u"config") && document.IntoElement());
    bool found = false;
    while (!found && document.FindElement(u"file"))
        found = document.GetAttribute(u"name") == programName;
    Require(found && document.IntoElement());
    Require(document.FindElement(u"version"));
    out.version = document.GetAttribute(u"num");
    out.sha256 = DigestAttribute(document.GetAttribute(u"sha256"));
    out.size = SizeAttribute(document.GetAttribute(u"size"));
    Require(document.IntoElement() && document.FindElement(despName));
    out.description = document.GetData();
}

void UpdateComm::GetVerInfo(std::u16string_view url, std::u16string_view programName,
                            std::u16string_view despName, std::u16string_view caFile,
                            UpdateDescription& out) {
    // A fresh, owner-only scratch file per lookup, so the window's lookup
    // and the start-up lookup never share one; it is removed either way.
    const std::u16string scratch = TempFilePath();
    try {
        CCommunicator::Download(url, scratch, caFile);
        std::string bytes;
        Require(ReadFileBytes(scratch, bytes));
        ReadDescription(WideFromUtf8(bytes), programName, despName, out);
    } catch (const std::exception&) {
        DeleteFileToRecycleBin(scratch);
        ThrowResult(u"UpdateComm::GetVerInfo");
    }
    DeleteFileToRecycleBin(scratch);
}

}  // namespace qm
