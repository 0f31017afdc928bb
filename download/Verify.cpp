#include "Verify.h"

#include <string.h>

#include "settings/Settings.h"

bool BeginVerify(PACKAGE_VERIFIER *verifier)
{
    ZeroMemory(verifier, sizeof(*verifier));
    verifier->checkSignature = IsPackageName(BootstrapSettings.MsiLocalPath);
    if (BootstrapSettings.MsiSha256[0] == L'\0')
        return true;
    verifier->pinned = true;
    if (!ParseSha256(BootstrapSettings.MsiSha256, verifier->expected))
        return false;
    // The AES provider type is the one that has SHA-256 on Windows XP SP3.
    if (!CryptAcquireContextW(&verifier->hProvider, NULL, NULL, PROV_RSA_AES,
                              CRYPT_VERIFYCONTEXT)) {
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
    return !IsPackageName(BootstrapSettings.MsiLocalPath) || MatchesPackageSignature(0, head, cb);
}

bool UpdateVerify(PACKAGE_VERIFIER *verifier, uint32_t offset, const BYTE *data, DWORD cb)
{
    if (verifier->checkSignature && !MatchesPackageSignature(offset, data, cb))
        return false;
    return !verifier->pinned || CryptHashData(verifier->hHash, data, cb, 0);
}

bool FinishVerify(PACKAGE_VERIFIER *verifier, uint32_t cbBody)
{
    if (verifier->checkSignature && cbBody < CB_PACKAGE_SIGNATURE)
        return false;
    if (!verifier->pinned)
        return true;
    BYTE digest[CB_SHA256];
    DWORD cbDigest = sizeof(digest);
    return CryptGetHashParam(verifier->hHash, HP_HASHVAL, digest, &cbDigest, 0) &&
           cbDigest == CB_SHA256 && memcmp(digest, verifier->expected, CB_SHA256) == 0;
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
