#include "acme/renewalinfo.h"

#include <openssl/asn1.h>
#include <openssl/x509v3.h>

#include <cctype>
#include <random>

#include "Common/OpenSSL/quorp/quorp.h"
#include "acme/acmeerror.h"
#include "acme/jws.h"

namespace qm::acme {

namespace {

[[noreturn]] void Fail(const std::string& what) {
    throw AcmeError(AcmeError::Cause::Local, what);
}

struct AkidFree {
    void operator()(AUTHORITY_KEYID* akid) const { AUTHORITY_KEYID_free(akid); }
};

// The content octets of the serial's DER INTEGER: minimal two's complement,
// with the leading zero a positive value whose top bit is set needs.
std::string SerialContentOctets(const ASN1_INTEGER* serial) {
    unsigned char* der = nullptr;
    const int length = i2d_ASN1_INTEGER(serial, &der);
    if (length <= 0)
        Fail("cannot encode the certificate's serial number");
    std::string encoded(reinterpret_cast<const char*>(der), static_cast<size_t>(length));
    OPENSSL_free(der);
    const auto* p = reinterpret_cast<const unsigned char*>(encoded.data());
    long contentLength = 0;
    int tag = 0;
    int tagClass = 0;
    const int info = ASN1_get_object(&p, &contentLength, &tag, &tagClass, length);
    if ((info & 0x80) != 0 || tag != V_ASN1_INTEGER || contentLength <= 0)
        Fail("the certificate's serial number is malformed");
    const size_t offset =
        static_cast<size_t>(p - reinterpret_cast<const unsigned char*>(encoded.data()));
    return encoded.substr(offset, static_cast<size_t>(contentLength));
}

bool Digits(std::string_view text, size_t at, size_t count, int& value) {
    if (at + count > text.size())
        return false;
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

}  // namespace

std::chrono::system_clock::time_point RenewalWindow::RandomTimeWithin() const {
    if (end <= start)
        return start;
    const auto span = std::chrono::duration_cast<std::chrono::seconds>(end - start).count();
    std::random_device seed;
    std::mt19937_64 generator(seed());
    std::uniform_int_distribution<long long> pick(0, span > 0 ? span - 1 : 0);
    return start + std::chrono::seconds(pick(generator));
}

std::string AriCertId(std::string_view certificate) {
    quorp::PrepareLibrary();
    quorp openssl;
    X509Ptr cert = openssl.LoadCert(certificate);
    if (!cert)
        Fail("the certificate cannot be read");
    std::unique_ptr<AUTHORITY_KEYID, AkidFree> akid(static_cast<AUTHORITY_KEYID*>(
        X509_get_ext_d2i(cert.get(), NID_authority_key_identifier, nullptr, nullptr)));
    if (!akid || akid->keyid == nullptr || ASN1_STRING_length(akid->keyid) <= 0)
        Fail("the certificate has no authority key identifier");
    const std::string keyId(reinterpret_cast<const char*>(ASN1_STRING_get0_data(akid->keyid)),
                            static_cast<size_t>(ASN1_STRING_length(akid->keyid)));
    return Base64UrlEncode(keyId) + "." +
           Base64UrlEncode(SerialContentOctets(X509_get0_serialNumber(cert.get())));
}

bool ParseRfc3339(std::string_view text, std::chrono::system_clock::time_point& time) {
    using namespace std::chrono;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (!Digits(text, 0, 4, y) || text.size() < 20 || text[4] != '-' || !Digits(text, 5, 2, mo) ||
        text[7] != '-' || !Digits(text, 8, 2, d) || (text[10] != 'T' && text[10] != 't') ||
        !Digits(text, 11, 2, h) || text[13] != ':' || !Digits(text, 14, 2, mi) || text[16] != ':' ||
        !Digits(text, 17, 2, s))
        return false;
    const year_month_day date{year(y), month(static_cast<unsigned>(mo)),
                              day(static_cast<unsigned>(d))};
    // A leap second (60) is accepted as the moment after 59.
    if (!date.ok() || h > 23 || mi > 59 || s > 60)
        return false;
    size_t at = 19;
    nanoseconds fraction(0);
    if (at < text.size() && text[at] == '.') {
        ++at;
        long long digits = 0;
        int count = 0;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
            if (count < 9) {
                digits = digits * 10 + (text[at] - '0');
                ++count;
            }
            ++at;
        }
        if (count == 0)
            return false;
        for (int i = count; i < 9; ++i)
            digits *= 10;
        fraction = nanoseconds(digits);
    }
    minutes offset(0);
    if (at < text.size() && (text[at] == 'Z' || text[at] == 'z')) {
        ++at;
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        int oh = 0, om = 0;
        if (!Digits(text, at + 1, 2, oh) || at + 3 >= text.size() || text[at + 3] != ':' ||
            !Digits(text, at + 4, 2, om) || oh > 23 || om > 59)
            return false;
        offset = minutes(oh * 60 + om) * (text[at] == '-' ? -1 : 1);
        at += 6;
    } else {
        return false;
    }
    if (at != text.size())
        return false;
    const auto local = sys_days(date) + hours(h) + minutes(mi) + seconds(s) + fraction;
    time = time_point_cast<system_clock::duration>(local - offset);
    return true;
}

std::optional<RenewalWindow> ParseRenewalInfo(std::string_view body) {
    Json::Value info;
    if (!ParseJson(body, info) || !info.isObject() || !info["suggestedWindow"].isObject())
        return std::nullopt;
    const Json::Value& window = info["suggestedWindow"];
    if (!window["start"].isString() || !window["end"].isString())
        return std::nullopt;
    RenewalWindow result;
    if (!ParseRfc3339(window["start"].asString(), result.start) ||
        !ParseRfc3339(window["end"].asString(), result.end) || result.end <= result.start)
        return std::nullopt;
    if (info["explanationURL"].isString())
        result.explanationUrl = info["explanationURL"].asString();
    return result;
}

}  // namespace qm::acme
