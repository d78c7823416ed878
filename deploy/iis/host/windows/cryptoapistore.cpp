#include "deploy/iis/host/windows/cryptoapistore.h"

#include <windows.h>

#include <ncrypt.h>
#include <wincrypt.h>

#include <memory>

#include "deploy/iis/host/windows/thumbprint.h"
#include "deploy/iis/host/windows/win32text.h"
#include "foundation/format.h"
#include "foundation/textconv.h"

namespace qm {

using iiswin::ErrorText;
using iiswin::W;

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char16_t kIntermediateStore[] = u"CA";

struct StoreClose {
    void operator()(void* store) const { CertCloseStore(static_cast<HCERTSTORE>(store), 0); }
};
using StorePtr = std::unique_ptr<void, StoreClose>;
struct ContextFree {
    void operator()(const CERT_CONTEXT* context) const { CertFreeCertificateContext(context); }
};
using ContextPtr = std::unique_ptr<const CERT_CONTEXT, ContextFree>;

// Reads go through the system store, which also shows what policies
// install; changes go straight to its registry store, where the system store
// puts what is added to it anyway (Wine does not carry a deletion made
// through the system store over to its registry store). Reading needs no
// more than read access, so it works without the rights a change needs.
StorePtr OpenStore(const std::u16string& name, bool write) {
    if (write) {
        return StorePtr(CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                                      CERT_SYSTEM_STORE_LOCAL_MACHINE, W(name)));
    }
    return StorePtr(CertOpenStore(
        CERT_STORE_PROV_SYSTEM_W, 0, 0,
        CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG,
        W(name)));
}

std::u16string ThumbprintOf(const CERT_CONTEXT* certificate) {
    iiswin::ThumbprintBytes hash{};
    DWORD size = hash.size();
    if (!CertGetCertificateContextProperty(certificate, CERT_HASH_PROP_ID, hash.data(), &size) ||
        size != hash.size()) {
        return {};
    }
    return iiswin::ThumbprintText(hash.data(), size);
}

ContextPtr FindByThumbprint(HCERTSTORE store, const std::u16string& thumbprint) {
    iiswin::ThumbprintBytes hash{};
    if (!store || !iiswin::ParseThumbprint(thumbprint, hash))
        return nullptr;
    CRYPT_HASH_BLOB blob{static_cast<DWORD>(hash.size()), hash.data()};
    return ContextPtr(
        CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_HASH, &blob, nullptr));
}

bool HasProperty(const CERT_CONTEXT* certificate, DWORD id) {
    DWORD size = 0;
    return CertGetCertificateContextProperty(certificate, id, nullptr, &size) != FALSE;
}

// Whether the certificate comes with its private key: persisted (provider
// information) or, in a bundle opened without persisting keys, in memory.
bool HasKey(const CERT_CONTEXT* certificate) {
    return HasProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID) ||
           HasProperty(certificate, CERT_KEY_CONTEXT_PROP_ID) ||
           HasProperty(certificate, CERT_NCRYPT_KEY_HANDLE_PROP_ID);
}

bool SelfSigned(const CERT_CONTEXT* certificate) {
    return CertCompareCertificateName(kEncoding, &certificate->pCertInfo->Subject,
                                      &certificate->pCertInfo->Issuer) != FALSE;
}

// Whether `candidate` signed another certificate of the bundle.
bool SignsAnother(HCERTSTORE bundle, const CERT_CONTEXT* candidate) {
    const CERT_CONTEXT* other = nullptr;
    while ((other = CertEnumCertificatesInStore(bundle, other)) != nullptr) {
        if (!CertCompareCertificate(kEncoding, other->pCertInfo, candidate->pCertInfo) &&
            !SelfSigned(other) &&
            CertCompareCertificateName(kEncoding, &candidate->pCertInfo->Subject,
                                       &other->pCertInfo->Issuer)) {
            CertFreeCertificateContext(other);
            return true;
        }
    }
    return false;
}

// The bundle's end-entity certificate: of those with a key (of all, unless
// `keyed`), the one that signed none of the others. Windows gives the key
// to its own certificate only, Wine to every certificate of the bundle.
ContextPtr EndEntity(HCERTSTORE bundle, bool keyed) {
    const CERT_CONTEXT* certificate = nullptr;
    while ((certificate = CertEnumCertificatesInStore(bundle, certificate)) != nullptr) {
        if ((!keyed || HasKey(certificate)) && !SignsAnother(bundle, certificate))
            return ContextPtr(certificate);  // the enumeration's reference, now ours
    }
    return nullptr;
}

// Where a certificate's persisted private key lives, copied out of the
// certificate so that it outlasts it.
struct KeyLocation {
    std::u16string provider;
    std::u16string container;
    DWORD providerType = 0;  // 0: a CNG key storage provider
    DWORD flags = 0;
    DWORD keyKind = 0;  // AT_KEYEXCHANGE, AT_SIGNATURE, or CNG's own
};

bool ReadKeyLocation(const CERT_CONTEXT* certificate, KeyLocation& location) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr,
                                           &size)) {
        return false;
    }
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[size]);
    auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buffer.get());
    if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, info, &size))
        return false;
    location = {iiswin::U16(info->pwszProvName), iiswin::U16(info->pwszContainerName),
                info->dwProvType, info->dwFlags, info->dwKeySpec};
    return !location.container.empty();
}

void DeleteKey(const KeyLocation& key) {
    const DWORD machine = key.flags & CRYPT_MACHINE_KEYSET;
    if (key.providerType == 0) {
        NCRYPT_PROV_HANDLE provider = 0;
        NCRYPT_KEY_HANDLE handle = 0;
        if (NCryptOpenStorageProvider(&provider, key.provider.empty() ? nullptr : W(key.provider),
                                      0) != ERROR_SUCCESS) {
            return;
        }
        // CNG keys carry a kind of their own, which NCryptOpenKey does not take.
        const DWORD legacyKind =
            key.keyKind == AT_KEYEXCHANGE || key.keyKind == AT_SIGNATURE ? key.keyKind : 0;
        if (NCryptOpenKey(provider, &handle, W(key.container), legacyKind,
                          machine ? NCRYPT_MACHINE_KEY_FLAG : 0) == ERROR_SUCCESS &&
            NCryptDeleteKey(handle, 0) != ERROR_SUCCESS) {  // deleting frees the handle
            NCryptFreeObject(handle);
        }
        NCryptFreeObject(provider);
        return;
    }
    HCRYPTPROV provider = 0;
    CryptAcquireContextW(&provider, W(key.container),
                         key.provider.empty() ? nullptr : W(key.provider), key.providerType,
                         CRYPT_DELETEKEYSET | machine);
}

void DeleteKeyOf(const CERT_CONTEXT* certificate) {
    KeyLocation key;
    if (ReadKeyLocation(certificate, key))
        DeleteKey(key);
}

}  // namespace

bool CryptoApiStore::ImportPkcs12(const std::u16string& store, const std::string& pkcs12,
                                  const std::string& password, std::u16string& thumbprint,
                                  std::u16string& problem) {
    thumbprint.clear();
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(pkcs12.size()),
                         reinterpret_cast<BYTE*>(const_cast<char*>(pkcs12.data()))};
    if (!PFXIsPFXBlob(&blob)) {
        problem = u"the data is not a PKCS#12 bundle";
        return false;
    }
    std::u16string secret = WideFromUtf8(password);
    struct Wipe {
        std::u16string& text;
        ~Wipe() { SecureZeroMemory(text.data(), text.size() * sizeof(char16_t)); }
    } wipe{secret};

    // Which certificate it is, read without persisting its key: when the
    // store holds it with its key already, there is nothing to import.
    if (StorePtr peek{PFXImportCertStore(&blob, W(secret), PKCS12_NO_PERSIST_KEY)}) {
        ContextPtr certificate = EndEntity(peek.get(), true);
        if (!certificate)  // some systems attach no key to a bundle read so
            certificate = EndEntity(peek.get(), false);
        if (certificate) {
            const std::u16string known = ThumbprintOf(certificate.get());
            const StorePtr target = OpenStore(store, false);
            if (const ContextPtr there = FindByThumbprint(target.get(), known);
                there && HasProperty(there.get(), CERT_KEY_PROV_INFO_PROP_ID)) {
                thumbprint = known;
                return true;
            }
        }
    }

    // Our bundles name no key container, so every import makes a new one
    // and needs no PKCS12_ALLOW_OVERWRITE_KEY (which Wine refuses).
    const StorePtr bundle{PFXImportCertStore(&blob, W(secret), CRYPT_MACHINE_KEYSET)};
    if (!bundle) {
        const DWORD error = GetLastError();
        problem = u"the PKCS#12 bundle cannot be read (wrong password?)";
        if (error != ERROR_SUCCESS)
            problem += u": " + ErrorText(error);
        return false;
    }
    const ContextPtr certificate = EndEntity(bundle.get(), true);
    if (!certificate) {
        problem = u"the PKCS#12 bundle holds no certificate with its key";
        return false;
    }
    const StorePtr target = OpenStore(store, true);
    if (!target || !CertAddCertificateContextToStore(target.get(), certificate.get(),
                                                     CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
        const DWORD error = GetLastError();
        problem = FormatWide(u"the certificate cannot be added to the machine store \"%s\": %s",
                             store, ErrorText(error));
        DeleteKeyOf(certificate.get());
        return false;
    }
    thumbprint = ThumbprintOf(certificate.get());

    StorePtr intermediates;
    const CERT_CONTEXT* other = nullptr;
    while ((other = CertEnumCertificatesInStore(bundle.get(), other)) != nullptr) {
        if (CertCompareCertificate(kEncoding, other->pCertInfo, certificate->pCertInfo) ||
            SelfSigned(other)) {
            continue;
        }
        if (!intermediates)
            intermediates = OpenStore(kIntermediateStore, true);
        // The encoded form only: no key properties come along.
        if (!intermediates || !CertAddEncodedCertificateToStore(
                                  intermediates.get(), X509_ASN_ENCODING, other->pbCertEncoded,
                                  other->cbCertEncoded, CERT_STORE_ADD_USE_EXISTING, nullptr)) {
            const DWORD error = GetLastError();
            problem = FormatWide(u"the certificate chain cannot be added to the store \"%s\": %s",
                                 kIntermediateStore, ErrorText(error));
            CertFreeCertificateContext(other);
            return false;
        }
    }
    return !thumbprint.empty();
}

bool CryptoApiStore::Contains(const std::u16string& store, const std::u16string& thumbprint) {
    const StorePtr opened = OpenStore(store, false);
    return FindByThumbprint(opened.get(), thumbprint) != nullptr;
}

bool CryptoApiStore::DnsNames(const std::u16string& store, const std::u16string& thumbprint,
                              std::vector<std::u16string>& names) {
    names.clear();
    const StorePtr opened = OpenStore(store, false);
    const ContextPtr certificate = FindByThumbprint(opened.get(), thumbprint);
    if (!certificate)
        return false;
    const CERT_INFO* info = certificate->pCertInfo;
    const CERT_EXTENSION* extension =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    if (!extension)
        return true;
    CERT_ALT_NAME_INFO* alternatives = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                             extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr,
                             &alternatives, &size)) {
        return true;
    }
    for (DWORD i = 0; i < alternatives->cAltEntry; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = alternatives->rgAltEntry[i];
        if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME)
            names.push_back(iiswin::U16(entry.pwszDNSName));
    }
    LocalFree(alternatives);
    return true;
}

bool CryptoApiStore::Remove(const std::u16string& store, const std::u16string& thumbprint,
                            std::u16string& problem) {
    if (!Contains(store, thumbprint))
        return true;
    const StorePtr opened = OpenStore(store, true);
    ContextPtr certificate = FindByThumbprint(opened.get(), thumbprint);
    if (!certificate) {
        const DWORD error = GetLastError();
        problem = opened ? FormatWide(
                               u"the certificate %s is not one of the machine store "
                               u"\"%s\" itself (a policy installs it)",
                               thumbprint, store)
                         : FormatWide(u"the machine store \"%s\" cannot be changed: %s", store,
                                      ErrorText(error));
        return false;
    }
    // The key's location is read before the certificate goes.
    KeyLocation key;
    const bool hasKey = ReadKeyLocation(certificate.get(), key);
    // The call frees the context, whether it succeeds or not.
    if (!CertDeleteCertificateFromStore(certificate.release())) {
        const DWORD error = GetLastError();
        problem = FormatWide(u"the certificate %s cannot be removed from \"%s\": %s", thumbprint,
                             store, ErrorText(error));
        return false;
    }
    if (hasKey)
        DeleteKey(key);
    return true;
}

}  // namespace qm
