#include "certcenter/authority.h"

#include <openssl/bn.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <ctime>
#include <stdexcept>

#include "foundation/files.h"
#include "foundation/host/host.h"
#include "foundation/textconv.h"

namespace qm::certcenter {
namespace {

using BigNum = std::unique_ptr<BIGNUM, OpenSslDeleter<BN_free>>;
using Extension = std::unique_ptr<X509_EXTENSION, OpenSslDeleter<X509_EXTENSION_free>>;
using OctetString = std::unique_ptr<ASN1_OCTET_STRING, OpenSslDeleter<ASN1_OCTET_STRING_free>>;

constexpr long kDay = 24L * 60 * 60;
constexpr long kCaValidity = 10 * 365 * kDay;
constexpr long kTlsValidity = 397 * kDay;
// Certificates start a little in the past, so a client whose clock lags
// behind the center's does not see them as not yet valid; a short-lived one
// by a tenth of its validity at most, so it is not half gone when signed.
constexpr long kBackdate = 5 * 60;
// X.520 upper bound of a common name.
constexpr size_t kMaxCommonName = 64;

bool IsIpAddress(const std::string& text) {
    OctetString ip(a2i_IPADDRESS(text.c_str()));
    return ip != nullptr;
}

void AddExtension(X509* cert, X509V3_CTX* context, int nid, const std::string& value) {
    Extension extension(X509V3_EXT_conf_nid(nullptr, context, nid, value.c_str()));
    if (!extension || X509_add_ext(cert, extension.get(), -1) != 1)
        throw CryptoError("cannot add certificate extension " + std::string(OBJ_nid2sn(nid)) + "=" +
                          value);
}

void SetRandomSerial(X509* cert) {
    // 127 random bits with the top one set: positive, always 16 bytes, and
    // unique without bookkeeping.
    unsigned char raw[16];
    if (RAND_bytes(raw, sizeof raw) != 1)
        throw CryptoError("no random bytes for a serial number");
    raw[0] = static_cast<unsigned char>((raw[0] & 0x7f) | 0x40);
    BigNum serial(BN_bin2bn(raw, sizeof raw, nullptr));
    if (!serial || !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert)))
        throw CryptoError("cannot set a serial number");
}

std::string SerialHex(X509* cert) {
    BigNum serial(ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr));
    char* hex = serial ? BN_bn2hex(serial.get()) : nullptr;
    std::string text = hex ? hex : "";
    OPENSSL_free(hex);
    return text;
}

// notAfter - notBefore is exactly `seconds`: a renewal that plans by the
// certificate's lifetime sees the validity it was signed with.
void SetValidity(X509* cert, long seconds) {
    const long backdate = std::min(kBackdate, seconds / 10);
    // One reading of the clock for both ends, so a second ticking between
    // them cannot lengthen the period.
    time_t now = time(nullptr);
    if (!X509_time_adj(X509_getm_notBefore(cert), -backdate, &now) ||
        !X509_time_adj(X509_getm_notAfter(cert), seconds - backdate, &now))
        throw CryptoError("cannot set the validity");
}

void AddName(X509_NAME* name, const char* field, const std::string& value) {
    if (X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1,
                                   0) != 1)
        throw CryptoError(std::string("cannot set the name field ") + field);
}

std::string ReadStateFile(const std::u16string& path) {
    std::string bytes;
    if (!ReadFileBytes(path, bytes))
        throw std::runtime_error("cannot read " + Utf8FromWide(path));
    return bytes;
}

// A fresh self-signed CA certificate for `key`.
Cert MakeCaCertificate(EVP_PKEY* key) {
    Cert cert(X509_new());
    if (!cert || X509_set_version(cert.get(), X509_VERSION_3) != 1)
        throw CryptoError("cannot create the CA certificate");
    SetRandomSerial(cert.get());
    SetValidity(cert.get(), kCaValidity);
    X509_NAME* name = X509_get_subject_name(cert.get());
    AddName(name, "O", "Quillmate");
    // A distinct name per installation, so two centers' CAs never look alike.
    AddName(name, "CN", "Quillmate Certificate Center CA " + RandomHex(4));
    if (X509_set_issuer_name(cert.get(), name) != 1 || X509_set_pubkey(cert.get(), key) != 1)
        throw CryptoError("cannot create the CA certificate");
    X509V3_CTX context;
    X509V3_set_ctx(&context, cert.get(), cert.get(), nullptr, nullptr, 0);
    AddExtension(cert.get(), &context, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert.get(), &context, NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(cert.get(), &context, NID_subject_key_identifier, "hash");
    if (X509_sign(cert.get(), key, EVP_sha256()) <= 0)
        throw CryptoError("cannot sign the CA certificate");
    return cert;
}

// The CA key signs for any name: a key others can read is a key others may
// have copied, so the center does not start with one.
void CheckKeyIsPrivate(const std::u16string& keyPath) {
    const std::string path = Utf8FromWide(keyPath);
    const auto others = host::OthersWhoMayRead(keyPath);
    if (!others)
        throw std::runtime_error("cannot read the permissions of " + path);
    if (!others->empty())
        throw std::runtime_error(path + " may be read by others (" + *others +
                                 "); make it readable by its owner only (chmod 600 on Linux) "
                                 "and start the center again");
}

}  // namespace

CertificateAuthority::CertificateAuthority(Cert certificate, PKey key)
    : certificate_(std::move(certificate)),
      key_(std::move(key)),
      certificatePem_(CertificatePem(certificate_.get())) {}

CertificateAuthority CertificateAuthority::OpenOrCreate(const std::string& stateDir, KeyKind kind) {
    const std::u16string dir = WideFromUtf8(stateDir) + u"/";
    const std::u16string certPath = dir + u"ca.pem";
    const std::u16string keyPath = dir + u"ca-key.pem";
    const bool haveCert = FileExists(certPath);
    const bool haveKey = FileExists(keyPath);

    if (haveKey)
        CheckKeyIsPrivate(keyPath);
    if (haveCert && haveKey) {
        Cert cert = ReadCertificatePem(ReadStateFile(certPath));
        PKey key = ReadPrivateKeyPem(ReadStateFile(keyPath));
        if (!cert || !key)
            throw std::runtime_error("the CA in " + stateDir + " is not readable");
        if (X509_check_private_key(cert.get(), key.get()) != 1)
            throw std::runtime_error("ca.pem and ca-key.pem in " + stateDir + " do not match");
        return CertificateAuthority(std::move(cert), std::move(key));
    }
    if (haveCert)
        throw std::runtime_error("the state folder " + stateDir +
                                 " holds ca.pem without ca-key.pem; " +
                                 "restore the key or remove both to create a new CA");

    // A key without its certificate is what a first start leaves when it is
    // cut off between the two writes: the certificate was never handed out,
    // so it is made (again) for the key already on disk.
    PKey key = haveKey ? ReadPrivateKeyPem(ReadStateFile(keyPath)) : GenerateKey(kind);
    if (!key)
        throw std::runtime_error("the CA key in " + stateDir + " is not readable");
    Cert cert = MakeCaCertificate(key.get());
    // The key first: a certificate without its key would block the next start.
    if (!MakeDirectoryTree(WideFromUtf8(stateDir)) ||
        (!haveKey && !WriteFileAtomic(keyPath, PrivateKeyPem(key.get()), FilePrivacy::OwnerOnly)) ||
        !WriteFileAtomic(certPath, CertificatePem(cert.get())))
        throw std::runtime_error("cannot write the CA into " + stateDir);
    return CertificateAuthority(std::move(cert), std::move(key));
}

CertificateAuthority::Issued CertificateAuthority::Sign(EVP_PKEY* subjectKey,
                                                        const std::string& commonName,
                                                        const std::string& subjectAltNames,
                                                        long validitySeconds) const {
    Cert cert(X509_new());
    if (!cert || X509_set_version(cert.get(), X509_VERSION_3) != 1)
        throw CryptoError("cannot create a certificate");
    SetRandomSerial(cert.get());
    SetValidity(cert.get(), validitySeconds);
    const bool withCommonName = !commonName.empty() && commonName.size() <= kMaxCommonName;
    if (withCommonName)
        AddName(X509_get_subject_name(cert.get()), "CN", commonName);
    if (X509_set_issuer_name(cert.get(), X509_get_subject_name(certificate_.get())) != 1 ||
        X509_set_pubkey(cert.get(), subjectKey) != 1)
        throw CryptoError("cannot fill a certificate");

    X509V3_CTX context;
    X509V3_set_ctx(&context, certificate_.get(), cert.get(), nullptr, nullptr, 0);
    AddExtension(cert.get(), &context, NID_basic_constraints, "critical,CA:FALSE");
    const bool rsa = EVP_PKEY_get_base_id(subjectKey) == EVP_PKEY_RSA;
    AddExtension(cert.get(), &context, NID_key_usage,
                 rsa ? "critical,digitalSignature,keyEncipherment" : "critical,digitalSignature");
    AddExtension(cert.get(), &context, NID_ext_key_usage, "serverAuth");
    AddExtension(cert.get(), &context, NID_subject_key_identifier, "hash");
    AddExtension(cert.get(), &context, NID_authority_key_identifier, "keyid:always");
    // With an empty subject the names must be marked critical.
    AddExtension(cert.get(), &context, NID_subject_alt_name,
                 (withCommonName ? "" : "critical,") + subjectAltNames);
    if (X509_sign(cert.get(), key_.get(), EVP_sha256()) <= 0)
        throw CryptoError("cannot sign a certificate");
    return {CertificatePem(cert.get()), SerialHex(cert.get())};
}

CertificateAuthority::Issued CertificateAuthority::Issue(EVP_PKEY* subjectKey,
                                                         const std::vector<std::string>& dnsNames,
                                                         long validitySeconds) const {
    if (dnsNames.empty())
        throw std::invalid_argument("a certificate needs at least one name");
    std::string names;
    for (const auto& name : dnsNames)
        names += (names.empty() ? "DNS:" : ",DNS:") + name;
    return Sign(subjectKey, dnsNames.front(), names, validitySeconds);
}

CertificateAuthority::TlsIdentity CertificateAuthority::MakeTlsIdentity(
    const std::vector<std::string>& hostnames) const {
    std::string names = "DNS:localhost,IP:127.0.0.1";
    for (const auto& host : hostnames) {
        const bool ip = IsIpAddress(host);
        if (host.empty() || (!ip && host.find_first_of(",:= \t") != std::string::npos))
            throw std::invalid_argument("not a host name: \"" + host + "\"");
        names += (ip ? ",IP:" : ",DNS:") + host;
    }
    TlsIdentity identity;
    identity.key = GenerateKey(KeyKind::Ec);
    const Issued issued = Sign(identity.key.get(), "localhost", names, kTlsValidity);
    identity.certificate = ReadCertificatePem(issued.pem);
    if (!identity.certificate)
        throw CryptoError("cannot read back the TLS certificate");
    return identity;
}

}  // namespace qm::certcenter
