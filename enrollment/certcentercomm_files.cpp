// The client key pair and the issued certificate files of the session.
#include <algorithm>

#include "Common/OpenSSL/quorp/quorp.h"
#include "enrollment/certcentercomm.h"
#include "foundation/files.h"
#include "foundation/hostfacts.h"
#include "foundation/lineends.h"
#include "foundation/operation.h"
#include "foundation/paths.h"
#include "foundation/textconv.h"
#include "foundation/xmldocument.h"

namespace qm {

namespace {

std::u16string KeyFolder() {
    std::u16string folder = GetProgramDirectory() + u"Config";
    folder += PathSeparator();
    folder += u"Key";
    folder += PathSeparator();
    return folder;
}

void WriteOrFail(const std::u16string& path, std::string_view text, FilePrivacy privacy) {
    if (!WriteFileAtomic(path, HostTextBytes(text), privacy)) {
        LogError(u"cannot write %s", path);
        ThrowResult(result::kUndefined);
    }
}

}  // namespace

void CertCenterComm::CreateSelfKeyPair() {
    RunOperation("CertCenterComm::CreateSelfKeyPair", [&] {
        quorp::PrepareLibrary();
        quorp crypto;
        std::string privateKey;
        std::string publicKey;
        if (!crypto.GenerateKeyPair(keyPassPhrase_, privateKey, publicKey))
            ThrowResult(result::kUndefined);
        privateKey_ = std::move(privateKey);
        publicKey_ = std::move(publicKey);
        LogInfo("complete: CreateSelfKeyPair\n");
    });
}

void CertCenterComm::SaveKeyFiles() {
    RunOperation("CertCenterComm::SaveKeyFiles", [&] {
        const std::u16string folder = KeyFolder();
        MakeDirectoryTree(folder, FilePrivacy::OwnerOnly);
        const std::u16string publicPath = folder + u"puk.txt";
        const std::u16string privatePath = folder + u"pvk.txt";
        WriteOrFail(publicPath, publicKey_, FilePrivacy::Normal);
        WriteOrFail(privatePath, privateKey_, FilePrivacy::OwnerOnly);
        if (!GoToTopElement(u"process"))
            return;
        record_->IntoElement();
        if (!record_->FindElement(u"key"))
            record_->AddElement(u"key");
        record_->SetAttribute(u"pukPath", publicPath);
        record_->SetAttribute(u"pvkPath", privatePath);
        SaveRecord();
    });
}

void CertCenterComm::FreeSelfKey() {
    // Overwritten before release: the private key text is secret even
    // though it is encrypted.
    std::fill(privateKey_.begin(), privateKey_.end(), '\0');
    privateKey_.clear();
    privateKey_.shrink_to_fit();
    publicKey_.clear();
}

void CertCenterComm::LoadKeyPair() {
    RunOperation("CertCenterComm::LoadKeyPair", [&] {
        FreeSelfKey();
        if (!GoToTopElement(u"process"))
            return;
        record_->IntoElement();
        if (!record_->FindElement(u"key"))
            return;  // the signature then fails with "undefined"
        const std::u16string publicPath = record_->GetAttribute(u"pukPath");
        const std::u16string privatePath = record_->GetAttribute(u"pvkPath");
        publicKey_ = ReadTextFileLf(publicPath);
        privateKey_ = ReadTextFileLf(privatePath);
    });
}

void CertCenterComm::SaveCertFile() {
    RunOperation("CertCenterComm::SaveCertFile",
                 [&] {
                     MakeDirectoryTree(certFolder_);
                     std::u16string folder = certFolder_;
                     EnsureTrailingSeparator(folder);
                     const std::u16string certPath = folder + certFileName_;
                     const std::u16string chainPath = folder + chainFileName_;
                     LogTrace(u"%s : %s", certPath, chainPath);
                     // Replaced in one step: a server that still uses the old files
                     // never sees them missing or half written.
                     WriteOrFail(certPath, certificate_, FilePrivacy::Normal);
                     WriteOrFail(chainPath, chain_, FilePrivacy::Normal);
                 },
                 {.logLeave = true});
}

void CertCenterComm::ExportCertificate(std::string_view& certificate, std::string_view& chain,
                                       std::vector<std::string>& chainList) const {
    certificate = certificate_;
    chain = chain_;
    chainList = chainList_;
}

}  // namespace qm
