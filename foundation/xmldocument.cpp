#include "foundation/xmldocument.h"

#include <cerrno>
#include <fstream>
#include <memory>
#include <system_error>

#include "foundation/files.h"
#include "foundation/format.h"
#include "foundation/textconv.h"
#include "foundation/xmlcore.h"
#include "foundation/xmlutf8.h"

namespace qm {

namespace {

// The system's text for an error number, up to its first line break.
std::u16string SystemErrorText(int error, std::errc fallback) {
    const std::string message = error != 0 ? std::generic_category().message(error)
                                           : std::make_error_code(fallback).message();
    return WideFromUtf8(message.substr(0, message.find_first_of("\r\n")));
}

// The whole content of a file, read in one piece, its size taken by seeking
// to the end.
struct FileContent {
    std::unique_ptr<char[]> data;
    size_t size = 0;
};

// On failure `error` holds the system's error number (0 when unknown).
bool ReadWholeFile(std::u16string_view path, FileContent& content, int& error) {
    errno = 0;
    std::ifstream in(FsPath(path), std::ios::binary | std::ios::ate);
    if (!in) {
        error = errno;
        return false;
    }
    const std::streamoff size = in.tellg();
    if (size < 0) {
        error = errno;
        return false;
    }
    content.data = std::make_unique_for_overwrite<char[]>(size_t(size) + 1);
    in.seekg(0);
    in.read(content.data.get(), size);
    if (in.bad()) {
        error = errno;
        return false;
    }
    content.size = size_t(in.gcount());
    return true;
}

}  // namespace

XmlDocument::XmlDocument() : impl_(std::make_unique<Impl>()) {}
XmlDocument::~XmlDocument() = default;

bool XmlDocument::SetDocument(std::u16string_view text) {
    return impl_->SetDocument(text);
}

bool XmlDocument::Load(std::u16string_view path) {
    if (DirectoryExists(path)) {
        impl_->resultText = SystemErrorText(0, std::errc::is_a_directory);
        return false;
    }
    int error = 0;
    FileContent file;
    if (path.empty() || !ReadWholeFile(path, file, error)) {
        impl_->resultText = SystemErrorText(error, std::errc::no_such_file_or_directory);
        return false;
    }
    std::u16string text = xml::DecodeFileText(std::string_view(file.data.get(), file.size));
    file.data.reset();
    std::u16string message =
        FormatWide(u"%s%d bytes to %d wide chars", u"", file.size, text.size());
    return impl_->TakeLoadedText(std::move(text), std::move(message));
}

bool XmlDocument::Save(std::u16string_view path) {
    return Save(path, FilePrivacy::Normal);
}

bool XmlDocument::Save(std::u16string_view path, FilePrivacy privacy) {
    const std::string bytes = xml::EncodeFileText(impl_->text);
    errno = 0;
    // Written beside the target and renamed over it: a failure or a crash
    // leaves the old file whole.
    if (!WriteFileAtomic(path, bytes, privacy)) {
        impl_->resultText = SystemErrorText(errno, std::errc::io_error);
        return false;
    }
    impl_->resultText =
        FormatWide(u"%d wide chars to %s%d bytes", impl_->text.size(), u"", bytes.size());
    return true;
}

bool XmlDocument::Parse() {
    return impl_->Parse();
}

void XmlDocument::ResetPosition() {
    impl_->ResetPosition();
}

void XmlDocument::ResetMainPosition() {
    impl_->ResetMainPosition();
}

bool XmlDocument::FindElement(std::u16string_view name) {
    return impl_->FindElement(name);
}

bool XmlDocument::IntoElement() {
    return impl_->IntoElement();
}

bool XmlDocument::OutOfElement() {
    return impl_->OutOfElement();
}

std::u16string XmlDocument::GetTagName() const {
    return impl_->GetTagName();
}

std::u16string XmlDocument::GetAttribute(std::u16string_view name) const {
    return impl_->GetAttribute(name);
}

bool XmlDocument::SetAttribute(std::u16string_view name, std::u16string_view value) {
    return impl_->SetAttribute(name, value);
}

bool XmlDocument::RemoveAttribute(std::u16string_view name) {
    return impl_->RemoveAttribute(name);
}

std::u16string XmlDocument::GetData() const {
    return impl_->GetData();
}

std::u16string XmlDocument::GetContent() const {
    return impl_->GetContent();
}

std::u16string XmlDocument::GetSubDocument() const {
    return impl_->GetSubDocument();
}

bool XmlDocument::GetElementSpan(Span& span) const {
    return impl_->GetElementSpan(span);
}

bool XmlDocument::AddElement(std::u16string_view name, std::u16string_view data) {
    return impl_->AddElement(name, data);
}

bool XmlDocument::AddChildElement(std::u16string_view name) {
    return impl_->AddChildElement(name);
}

bool XmlDocument::AddSubDocument(std::u16string_view fragment) {
    return impl_->AddSubDocument(fragment);
}

bool XmlDocument::RemoveElement() {
    return impl_->RemoveElement();
}

const std::u16string& XmlDocument::ResultText() const {
    return impl_->resultText;
}

const std::u16string& XmlDocument::GetDocument() const {
    return impl_->text;
}

}  // namespace qm
