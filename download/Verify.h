// The checks a body must pass before it may take the package's name: the package signature
// (the name is always a ".msi"), the SHA-256 pin when MsiSha256 is set, and the publisher's
// signature when the build carries package keys.
#pragma once

#include <stdint.h>

#include <windows.h>
#include <wincrypt.h>

#include "core/PackageCheck.h"
#include "core/SignatureText.h"

struct PACKAGE_VERIFIER {
    bool pinned;                 // MsiSha256 is set and reads as a SHA-256
    uint8_t pin[CB_SHA256];
    uint32_t cbTaken;            // bytes taken so far, in order from the first
    bool passed;                 // FinishVerify found the whole body to be the package
    bool hashed;                 // ... and took its SHA-256, as a pin or a signature asked
    uint8_t digest[CB_SHA256];
    HCRYPTPROV hProvider;
    HCRYPTHASH hHash;            // over every byte taken, when a pin or a signature will ask
};

// Sets up the checks that apply; pinned and pin are known from then on. False when the pin is
// not 64 hex digits or hashing is not available; EndVerify is still due.
bool BeginVerify(PACKAGE_VERIFIER *verifier);

// False when the first bytes of a body already show it is not the package; decides nothing
// else (the pin needs the whole body).
bool MayBePackage(const BYTE *head, DWORD cb);

// Takes the next piece of the body, which starts offset bytes into it. False once the body
// cannot be the package: a piece out of order, or first bytes that are not a package's.
bool UpdateVerify(PACKAGE_VERIFIER *verifier, uint32_t offset, const BYTE *data, DWORD cb);

// After the last piece, the gate every package passes before it takes its name: true only
// when exactly cbBody bytes were taken and they are the expected package (its first bytes,
// the pin, and with keys built in the publisher's signature, whose length and digest it must
// have).
bool FinishVerify(PACKAGE_VERIFIER *verifier, uint32_t cbBody, const PACKAGE_SIGNATURE *signature);

// The file, read from its first byte, still has the SHA-256 the gate took (true when the gate
// took none): nothing changed it between the check and the hold.
bool StillPasses(const PACKAGE_VERIFIER *verifier, HANDLE hFile);

// Releases whatever BeginVerify acquired.
void EndVerify(PACKAGE_VERIFIER *verifier);
