// SHA-256 and the RSA check of a package signature, for the transfer, over CryptoAPI's AES
// provider: the one with SHA-256 on Windows XP SP3, the same on every system the program runs on.
#include "core/TransferPlatform.h"

#include <windows.h>
#include <wincrypt.h>

struct PLATFORM_HASH {
    HCRYPTPROV hProvider;
    HCRYPTHASH hHash;
};

PLATFORM_HASH *PlatformHashBegin()
{
    PLATFORM_HASH *hash = (PLATFORM_HASH *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(PLATFORM_HASH));
    bool begun = hash != NULL &&
                 CryptAcquireContextW(&hash->hProvider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
                 CryptCreateHash(hash->hProvider, CALG_SHA_256, 0, 0, &hash->hHash);
    if (!begun && hash != NULL) {
        PlatformHashRelease(hash);
        hash = NULL;
    }
    return hash;
}

bool PlatformHashAdd(PLATFORM_HASH *hash, const uint8_t *data, uint32_t cb)
{
    return CryptHashData(hash->hHash, data, cb, 0) != FALSE;
}

bool PlatformHashEnd(PLATFORM_HASH *hash, uint8_t digest[CB_SHA256])
{
    DWORD cbDigest = CB_SHA256;
    return CryptGetHashParam(hash->hHash, HP_HASHVAL, digest, &cbDigest, 0) && cbDigest == CB_SHA256;
}

void PlatformHashRelease(PLATFORM_HASH *hash)
{
    if (hash->hHash != 0)
        CryptDestroyHash(hash->hHash);
    if (hash->hProvider != 0)
        CryptReleaseContext(hash->hProvider, 0);
    HeapFree(GetProcessHeap(), 0, hash);
}

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

bool PlatformRsaVerifies(const PACKAGE_KEY *key, const char *text, const PACKAGE_SIGNATURE *signature)
{
    PUBLIC_KEY_BLOB blob;
    BYTE rsa[CB_RSA_MAX];
    HCRYPTPROV hProvider = 0;
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
    if (CryptAcquireContextW(&hProvider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
        CryptImportKey(hProvider, (const BYTE *)&blob, sizeof(blob.header) + sizeof(blob.rsa) + key->cbModulus, 0, 0,
                       &hKey) &&
        CryptCreateHash(hProvider, CALG_SHA_256, 0, 0, &hHash) &&
        CryptHashData(hHash, (const BYTE *)text, (DWORD)signature->cbSigned, 0))
        verified = CryptVerifySignatureW(hHash, rsa, signature->cbRsa, hKey, NULL, 0) != FALSE;
    if (hHash != 0)
        CryptDestroyHash(hHash);
    if (hKey != 0)
        CryptDestroyKey(hKey);
    if (hProvider != 0)
        CryptReleaseContext(hProvider, 0);
    return verified;
}
