#include "acme/certchain.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <memory>

#include "Common/OpenSSL/quorp/quorp.h"
#include "acme/acmeerror.h"

namespace qm::acme {

namespace {

constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
constexpr std::string_view kEnd = "-----END CERTIFICATE-----";

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

X509Ptr ParsePem(const std::string& pem) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio)
        return nullptr;
    return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

std::string NameText(const X509_NAME* name) {
    const int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (index >= 0) {
        const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
        unsigned char* utf8 = nullptr;
        const int length = ASN1_STRING_to_UTF8(&utf8, value);
        if (length >= 0) {
            std::string text(reinterpret_cast<const char*>(utf8), static_cast<size_t>(length));
            OPENSSL_free(utf8);
            return text;
        }
    }
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253) < 0)
        return {};
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

}  // namespace

const std::string& CertificateChain::TopIssuer() const {
    static const std::string kNone;
    return issuers.empty() ? kNone : issuers.back();
}

std::vector<std::string> SplitPemCertificates(std::string_view pem) {
    std::vector<std::string> blocks;
    size_t at = 0;
    while (true) {
        const size_t begin = pem.find(kBegin, at);
        if (begin == std::string_view::npos)
            break;
        const size_t end = pem.find(kEnd, begin);
        if (end == std::string_view::npos)
            break;
        std::string block(pem.substr(begin, end + kEnd.size() - begin));
        block.erase(std::remove(block.begin(), block.end(), '\r'), block.end());
        blocks.push_back(block + "\n");
        at = end + kEnd.size();
    }
    return blocks;
}

CertificateChain ReadChain(std::string url, std::string_view pem) {
    const std::vector<std::string> blocks = SplitPemCertificates(pem);
    if (blocks.empty())
        throw AcmeError(AcmeError::Cause::Protocol, "the CA served no certificate at " + url);
    CertificateChain chain;
    chain.url = std::move(url);
    for (size_t i = 0; i < blocks.size(); ++i) {
        X509Ptr cert = ParsePem(blocks[i]);
        if (!cert)
            throw AcmeError(AcmeError::Cause::Protocol, "certificate " + std::to_string(i + 1) +
                                                            " served at " + chain.url +
                                                            " does not parse");
        chain.issuers.push_back(NameText(X509_get_issuer_name(cert.get())));
        if (i == 0)
            chain.certificatePem = blocks[i];
        else
            chain.chainPem += blocks[i];
    }
    return chain;
}

const CertificateChain& PreferredChain(const IssuedChain& issued, std::string_view issuerName) {
    if (issuerName.empty())
        return issued.chain;
    std::vector<const CertificateChain*> all{&issued.chain};
    for (const CertificateChain& alternate : issued.alternates)
        all.push_back(&alternate);
    for (const CertificateChain* chain : all) {
        if (chain->TopIssuer() == issuerName)
            return *chain;
    }
    for (const CertificateChain* chain : all) {
        if (std::find(chain->issuers.begin(), chain->issuers.end(), issuerName) !=
            chain->issuers.end())
            return *chain;
    }
    return issued.chain;
}

}  // namespace qm::acme
