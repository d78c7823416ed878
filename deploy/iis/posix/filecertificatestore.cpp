#include "deploy/iis/posix/filecertificatestore.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509v3.h>

#include <memory>

#include "foundation/files.h"
#include "foundation/format.h"
#include "foundation/paths.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
using CertPtr = std::unique_ptr<X509, X509Free>;

std::u16string ThumbprintOf(X509* certificate) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate, &der);
    if (length <= 0)
        return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    const bool ok = EVP_Digest(der, size_t(length), digest, &size, EVP_sha1(), nullptr) == 1;
    OPENSSL_free(der);
    if (!ok)
        return {};
    std::u16string hex;
    for (unsigned int i = 0; i < size; ++i)
        hex += FormatWide(u"%02X", static_cast<int>(digest[i]));
    return hex;
}

std::string PemOf(X509* certificate) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), certificate) != 1)
        return {};
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, size_t(length));
}

CertPtr FirstCertificate(const std::string& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return CertPtr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

std::u16string Upper(const std::u16string& text) {
    std::u16string out = text;
    for (char16_t& c : out) {
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return out;
}

bool IsThumbprint(const std::u16string& text) {
    if (text.size() != 40)
        return false;
    for (char16_t c : text) {
        const bool hex =
            (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
        if (!hex)
            return false;
    }
    return true;
}

}  // namespace

FileCertificateStore::FileCertificateStore(std::u16string root) : root_(std::move(root)) {}

std::u16string FileCertificateStore::PathOf(const std::u16string& store,
                                            const std::u16string& thumbprint) const {
    return root_ + store + PathSeparator() + Upper(thumbprint) + u".pem";
}

bool FileCertificateStore::ImportPkcs12(const std::u16string& store, const std::string& pkcs12,
                                        const std::string& password, std::u16string& thumbprint,
                                        std::u16string& problem) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(pkcs12.data());
    PKCS12* bundle = d2i_PKCS12(nullptr, &bytes, static_cast<long>(pkcs12.size()));
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;
    STACK_OF(X509)* chain = nullptr;
    const bool parsed =
        bundle && PKCS12_parse(bundle, password.c_str(), &key, &certificate, &chain) == 1;
    PKCS12_free(bundle);
    std::string pem;
    if (parsed && key && certificate) {
        thumbprint = ThumbprintOf(certificate);
        pem = PemOf(certificate);
        for (int i = 0; chain && i < sk_X509_num(chain); ++i)
            pem += PemOf(sk_X509_value(chain, i));
        BioPtr bio(BIO_new(BIO_s_mem()));
        char* data = nullptr;
        if (bio &&
            PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1) {
            const long length = BIO_get_mem_data(bio.get(), &data);
            pem.append(data, size_t(length));
        } else {
            pem.clear();
        }
    }
    EVP_PKEY_free(key);
    X509_free(certificate);
    sk_X509_pop_free(chain, X509_free);
    if (pem.empty() || thumbprint.empty()) {
        problem =
            u"the PKCS#12 bundle cannot be read (wrong password, or no certificate with "
            u"its key)";
        return false;
    }
    const std::u16string folder = root_ + store + PathSeparator();
    if (!MakeDirectoryTree(folder, FilePrivacy::OwnerOnly) ||
        !WriteFileAtomic(PathOf(store, thumbprint), pem, FilePrivacy::OwnerOnly)) {
        problem = FormatWide(u"cannot write the certificate into %s", folder);
        return false;
    }
    return true;
}

bool FileCertificateStore::Contains(const std::u16string& store, const std::u16string& thumbprint) {
    return IsThumbprint(thumbprint) && FileExists(PathOf(store, thumbprint));
}

bool FileCertificateStore::DnsNames(const std::u16string& store, const std::u16string& thumbprint,
                                    std::vector<std::u16string>& names) {
    names.clear();
    std::string text;
    if (!IsThumbprint(thumbprint) || !ReadFileBytes(PathOf(store, thumbprint), text))
        return false;
    const CertPtr certificate = FirstCertificate(text);
    if (!certificate)
        return false;
    auto* alternatives = static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(certificate.get(), NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; alternatives && i < sk_GENERAL_NAME_num(alternatives); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(alternatives, i);
        if (name->type != GEN_DNS)
            continue;
        const ASN1_IA5STRING* dns = name->d.dNSName;
        names.push_back(WideFromUtf8(std::string(
            reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)), ASN1_STRING_length(dns))));
    }
    GENERAL_NAMES_free(alternatives);
    return true;
}

bool FileCertificateStore::Remove(const std::u16string& store, const std::u16string& thumbprint,
                                  std::u16string& problem) {
    const std::u16string path = PathOf(store, thumbprint);
    if (!IsThumbprint(thumbprint) || !FileExists(path))
        return true;
    if (!DeleteFileToRecycleBin(path)) {
        problem = FormatWide(u"cannot remove %s", path);
        return false;
    }
    return true;
}

}  // namespace qm
