// The publisher's signature of a package, "<MsiServerPath>.sig" beside it on the server: what it
// says, and whether it is meant for this download. Reading it proves nothing; the RSA check over
// its signed lines is the Win32 layer's (CryptoAPI). No platform calls.
//
// The text, lines ending in LF, exactly these and in this order:
//   LumvexPackageSignature=1
//   Name=<the file name it was made for, printable ASCII without blanks>
//   Length=<the package's length in bytes, decimal>
//   Sha256=<the package's SHA-256, 64 lower-case hex digits>
//   Time=<when it was made, seconds since 1970, decimal>
//   RsaSha256=<RSA PKCS#1 v1.5 signature over every byte before this line, hex, most
//              significant byte first>
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "HeaderScan.h"
#include "PackageCheck.h"

// A signature file is never longer than this: a larger answer is not one.
enum { CB_SIGNATURE_TEXT = 2048 };
// RSA keys of 2048 to 4096 bits sign packages.
enum { CB_RSA_MIN = 256, CB_RSA_MAX = 512 };
enum { CCH_SIGNED_NAME = 260 };

struct PACKAGE_SIGNATURE {
    char name[CCH_SIGNED_NAME];
    uint32_t length;
    uint8_t sha256[CB_SHA256];
    uint64_t time;
    size_t cbSigned;  // the first cbSigned bytes of the text are what the RSA signature covers
    uint8_t rsa[CB_RSA_MAX];
    uint32_t cbRsa;
};

// Reads cb bytes of text; false for anything but the lines above, exactly (a length of 0, a
// number beyond its type, an RSA signature of another size than a key of 2048 to 4096 bits,
// a byte more or less).
bool ParsePackageSignature(const char *text, size_t cb, PACKAGE_SIGNATURE *signature);

// The signature is for a package fetched by this request path (its last segment before any
// "?", exactly) and was made no earlier than notBefore.
bool SignatureFits(const PACKAGE_SIGNATURE *signature, const wchar_t *serverPath, uint64_t notBefore);

// What an answer to the request for the signature allows.
enum SIGNATURE_ANSWER {
    SIGNATURE_TO_READ,   // a 2xx under CB_SIGNATURE_TEXT bytes: its body is read and checked
    SIGNATURE_TOO_LONG,  // a 2xx of no length, or of CB_SIGNATURE_TEXT bytes or more: no signature,
                         // never read; it may come from something on the way
    SIGNATURE_LATER,     // a status that says "later" (408, 429, 5xx): the host may give it then
    SIGNATURE_MISSING,   // any other status: the host has none
};

SIGNATURE_ANSWER JudgeSignatureAnswer(const ANSWER *answer);

// "<serverPath before any ?>.sig"; false when it does not fit in cchPath characters.
bool SignaturePath(wchar_t *path, size_t cchPath, const wchar_t *serverPath);
