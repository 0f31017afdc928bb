#include "PublisherSignature.h"

#include <wincrypt.h>

#include "core/PackageTrust.h"
#include "settings/Settings.h"

// CryptoAPI's form of an RSA public key: a header, then the modulus least significant byte first.
struct PUBLIC_KEY_BLOB {
    BLOBHEADER header;
    RSAPUBKEY rsa;
    BYTE modulus[CB_RSA_MAX];
};

static void Reverse(BYTE *to, const uint8_t *from, DWORD cb)
{
    for (DWORD i = 0; i < cb; ++i)
        to[i] = from[cb - 1 - i];
}

// The RSA signature over the text's signed lines verifies with key.
static bool SignedBy(HCRYPTPROV hProvider, const PACKAGE_KEY *key, const char *text, const PACKAGE_SIGNATURE *signature)
{
    PUBLIC_KEY_BLOB blob;
    BYTE rsa[CB_RSA_MAX];
    HCRYPTKEY hKey = 0;
    HCRYPTHASH hHash = 0;
    bool verified = false;
    if (key->cbModulus > CB_RSA_MAX || key->cbModulus != signature->cbRsa)
        return false;
    blob.header.bType = PUBLICKEYBLOB;
    blob.header.bVersion = CUR_BLOB_VERSION;
    blob.header.reserved = 0;
    blob.header.aiKeyAlg = CALG_RSA_SIGN;
    blob.rsa.magic = 0x31415352;  // "RSA1": a public key
    blob.rsa.bitlen = key->cbModulus * 8;
    blob.rsa.pubexp = key->exponent;
    Reverse(blob.modulus, key->modulus, key->cbModulus);
    Reverse(rsa, signature->rsa, signature->cbRsa);
    if (CryptImportKey(hProvider, (const BYTE *)&blob, sizeof(blob.header) + sizeof(blob.rsa) + key->cbModulus, 0, 0,
                       &hKey) &&
        CryptCreateHash(hProvider, CALG_SHA_256, 0, 0, &hHash) &&
        CryptHashData(hHash, (const BYTE *)text, (DWORD)signature->cbSigned, 0))
        verified = CryptVerifySignatureW(hHash, rsa, signature->cbRsa, hKey, NULL, 0) != FALSE;
    if (hHash != 0)
        CryptDestroyHash(hHash);
    if (hKey != 0)
        CryptDestroyKey(hKey);
    return verified;
}

// Made by one of the keys built in: the second is the one a publisher moves to.
static bool SignedByBuiltInKey(const char *text, const PACKAGE_SIGNATURE *signature)
{
    HCRYPTPROV hProvider = 0;
    bool verified = false;
    // The AES provider type is the one with SHA-256 on Windows XP SP3.
    if (!CryptAcquireContextW(&hProvider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return false;
    for (uint32_t i = 0; i < PackageTrust.keyCount && i < MAX_PACKAGE_KEYS && !verified; ++i)
        verified = SignedBy(hProvider, &PackageTrust.keys[i], text, signature);
    CryptReleaseContext(hProvider, 0);
    return verified;
}

bool FetchSignature(HTTP_REQUEST *http, const ROUTE *route, PACKAGE_SIGNATURE *signature, TRY_OUTCOME *attempt)
{
    wchar_t path[SETTINGS_CCH_TEXT + 4];
    char text[CB_SIGNATURE_TEXT];
    ANSWER answer;
    STALL_WATCH watch;
    BeginStallWatch(&watch, GetTickCount());
    bool asked = SignaturePath(path, sizeof(path) / sizeof(path[0]), BootstrapSettings.MsiServerPath) &&
                 AskFor(http, route, path, NULL, &answer, attempt);
    SIGNATURE_ANSWER judged = asked ? JudgeSignatureAnswer(&answer) : SIGNATURE_MISSING;
    if (asked && judged == SIGNATURE_LATER)
        attempt->transient = true;
    bool read = asked && judged == SIGNATURE_TO_READ &&
                ReadExactly(http->hRequest, (BYTE *)text, answer.length, &watch, attempt);
    bool taken = read && ParsePackageSignature(text, answer.length, signature) &&
                 SignatureFits(signature, BootstrapSettings.MsiServerPath, PackageTrust.notBefore) &&
                 SignedByBuiltInKey(text, signature);
    // An answer that is no signature of ours may be a block page or a filter on the way.
    if (asked && (judged == SIGNATURE_TOO_LONG || (read && !taken)))
        attempt->refusedRoute = true;
    return taken;
}
