#include "Verify.h"

#include <string.h>

#include "core/PackageTrust.h"
#include "settings/Settings.h"

bool BeginVerify(PACKAGE_VERIFIER *verifier)
{
    ZeroMemory(verifier, sizeof(*verifier));
    verifier->pinned = ParseSha256(BootstrapSettings.MsiSha256, verifier->pin);
    // A pin that does not read fails every body rather than let one go unchecked.
    if (!verifier->pinned && BootstrapSettings.MsiSha256[0] != L'\0')
        return false;
    if (!verifier->pinned && PackageTrust.keyCount == 0)
        return true;
    // The AES provider type is the one that has SHA-256 on Windows XP SP3.
    if (!CryptAcquireContextW(&verifier->hProvider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        verifier->hProvider = 0;
        return false;
    }
    if (!CryptCreateHash(verifier->hProvider, CALG_SHA_256, 0, 0, &verifier->hHash)) {
        verifier->hHash = 0;
        return false;
    }
    return true;
}

bool MayBePackage(const BYTE *head, DWORD cb)
{
    return MatchesPackageSignature(0, head, cb);
}

bool UpdateVerify(PACKAGE_VERIFIER *verifier, uint32_t offset, const BYTE *data, DWORD cb)
{
    if (offset != verifier->cbTaken || !MatchesPackageSignature(offset, data, cb) ||
        (verifier->hHash != 0 && !CryptHashData(verifier->hHash, data, cb, 0)))
        return false;
    verifier->cbTaken += cb;
    return true;
}

bool FinishVerify(PACKAGE_VERIFIER *verifier, uint32_t cbBody, const PACKAGE_SIGNATURE *signature)
{
    BYTE *digest = verifier->digest;
    DWORD cbDigest = CB_SHA256;
    bool hashed = verifier->hHash != 0 && CryptGetHashParam(verifier->hHash, HP_HASHVAL, digest, &cbDigest, 0) &&
                  cbDigest == CB_SHA256;
    // Keys built in: no package opens without the publisher's word for it.
    bool signedOk = PackageTrust.keyCount == 0 ||
                    (signature != NULL && hashed && signature->length == cbBody &&
                     memcmp(digest, signature->sha256, CB_SHA256) == 0);
    verifier->passed = verifier->cbTaken == cbBody && cbBody >= CB_PACKAGE_SIGNATURE &&
                       (!verifier->pinned || (hashed && memcmp(digest, verifier->pin, CB_SHA256) == 0)) && signedOk;
    verifier->hashed = hashed;
    return verifier->passed;
}

bool StillPasses(const PACKAGE_VERIFIER *verifier, HANDLE hFile)
{
    static const DWORD CB_PIECE = 64 * 1024;
    HCRYPTHASH hHash = 0;
    BYTE digest[CB_SHA256];
    DWORD cbDigest = sizeof(digest);
    DWORD cbRead = 0;
    if (!verifier->hashed)
        return true;
    BYTE *piece = (BYTE *)HeapAlloc(GetProcessHeap(), 0, CB_PIECE);
    bool read = piece != NULL && CryptCreateHash(verifier->hProvider, CALG_SHA_256, 0, 0, &hHash);
    while (read && ReadFile(hFile, piece, CB_PIECE, &cbRead, NULL) && cbRead > 0)
        read = CryptHashData(hHash, piece, cbRead, 0) != FALSE;
    bool same = read && cbRead == 0 && CryptGetHashParam(hHash, HP_HASHVAL, digest, &cbDigest, 0) &&
                memcmp(digest, verifier->digest, CB_SHA256) == 0;
    if (hHash != 0)
        CryptDestroyHash(hHash);
    if (piece != NULL)
        HeapFree(GetProcessHeap(), 0, piece);
    return same;
}

void EndVerify(PACKAGE_VERIFIER *verifier)
{
    if (verifier->hHash != 0)
        CryptDestroyHash(verifier->hHash);
    if (verifier->hProvider != 0)
        CryptReleaseContext(verifier->hProvider, 0);
    verifier->hHash = 0;
    verifier->hProvider = 0;
}
