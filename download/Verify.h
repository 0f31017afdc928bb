// The checks a body must pass before it may take the package's name: the package signature
// for ".msi" names, and the SHA-256 pin when MsiSha256 is set.
#pragma once

#include <stdint.h>

#include <windows.h>
#include <wincrypt.h>

#include "core/PackageCheck.h"

struct PACKAGE_VERIFIER {
    bool checkSignature;
    bool pinned;
    uint8_t expected[CB_SHA256];
    HCRYPTPROV hProvider;
    HCRYPTHASH hHash;
};

// Sets up the checks that apply. False when the pin is not 64 hex digits or hashing is not
// available; EndVerify is still due.
bool BeginVerify(PACKAGE_VERIFIER *verifier);

// False when the first bytes of a body already show it is not the package; decides nothing
// else (the pin needs the whole body).
bool MayBePackage(const BYTE *head, DWORD cb);

// Takes the next piece of the body, which starts offset bytes into it. False once the body
// cannot be the package; decided from the first bytes, so a wrong answer stops at once.
bool UpdateVerify(PACKAGE_VERIFIER *verifier, uint32_t offset, const BYTE *data, DWORD cb);

// After the last piece: false unless the whole body of cbBody bytes is the expected package.
bool FinishVerify(PACKAGE_VERIFIER *verifier, uint32_t cbBody);

// Releases whatever BeginVerify acquired.
void EndVerify(PACKAGE_VERIFIER *verifier);
