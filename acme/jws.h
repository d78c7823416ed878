// The JOSE side of ACME (RFC 8555 §6.2): base64url, the account key and its
// public JWK, the JWK thumbprint (RFC 7638), flattened JWS signed with ES256
// (P-256) or RS256, and the HS256 external account binding (§7.3.4).
// Failures of OpenSSL throw AcmeError with the cause Local.
#pragma once

#include <json/value.h>

#include <string>
#include <string_view>

#include "Common/OpenSSL/quorp/quorp.h"

namespace qm::acme {

// Without padding, "-" and "_" for "+" and "/" (RFC 7515 §2).
std::string Base64UrlEncode(std::string_view bytes);
// Only the URL-safe alphabet without padding or white space; false for
// anything else (a length of 1 mod 4 included).
bool Base64UrlDecode(std::string_view text, std::string& bytes);

// JSON without white space, object members in name order (JsonCpp keeps
// them sorted), for JWS payloads and protected headers.
std::string CompactJson(const Json::Value& value);
// False when `text` is not one JSON value.
bool ParseJson(std::string_view text, Json::Value& value);

enum class KeyKind {
    Ec,   // P-256, signs ES256
    Rsa,  // 2048 bits, signs RS256
};

EvpPkeyPtr GenerateAccountKey(KeyKind kind);
// Unencrypted PKCS#8 PEM, and back (null when the text holds no key).
std::string PrivateKeyPem(EVP_PKEY* key);
EvpPkeyPtr PrivateKeyFromPem(std::string_view pem);

// "ES256" for P-256 keys, "RS256" for RSA keys, empty for any other key.
std::string JwsAlgorithm(EVP_PKEY* key);

// The public JWK with exactly the members RFC 7638 hashes: EC {crv, kty,
// x, y} with 32-byte coordinates, RSA {e, kty, n} without leading zeros.
Json::Value PublicJwk(EVP_PKEY* key);
// base64url(SHA-256) of the required members in name order, no white space
// (RFC 7638 §3). Throws for a JWK that is neither EC nor RSA.
std::string JwkThumbprint(const Json::Value& jwk);
// token "." thumbprint (RFC 8555 §8.1): what an http-01 file holds.
std::string KeyAuthorization(std::string_view token, const Json::Value& accountJwk);

// ECDSA signatures: DER (SEQUENCE of two INTEGERs, as OpenSSL makes them)
// to the fixed-size r||s form of RFC 7518 §3.4, and back. False for
// malformed input or values longer than `size` bytes.
bool EcdsaDerToRaw(std::string_view der, size_t size, std::string& raw);
bool EcdsaRawToDer(std::string_view raw, std::string& der);

// The JWS signature of `signingInput` under JwsAlgorithm(key).
std::string SignJwsInput(EVP_PKEY* key, std::string_view signingInput);

// A flattened JWS (RFC 7515 §7.2.2) over `payload` (already serialized; empty
// for POST-as-GET) with `protectedHeader` plus "alg" filled in from the key.
Json::Value SignFlattened(EVP_PKEY* key, Json::Value protectedHeader, std::string_view payload);

// What ACME puts in a protected header: nonce and url always; the account
// URL as "kid" once there is an account, else the public key as "jwk".
struct JwsHeader {
    std::string nonce;
    std::string url;
    std::string kid;  // empty: send the JWK (newAccount, revocation by key)
};
std::string AcmeJws(EVP_PKEY* key, const JwsHeader& header, std::string_view payload);

// The externalAccountBinding member of a newAccount payload: a flattened JWS
// with {"alg":"HS256","kid":eabKid,"url":newAccountUrl} over the account's
// public JWK, MACed with the CA's key (given base64url; "=" padding is
// tolerated). Throws AcmeError (Local) for a key that does not decode.
Json::Value ExternalAccountBinding(const Json::Value& accountJwk, const std::string& eabKid,
                                   const std::string& hmacKeyBase64Url,
                                   const std::string& newAccountUrl);

}  // namespace qm::acme
