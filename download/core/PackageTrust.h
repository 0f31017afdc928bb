// Whose signature makes a package the publisher's: the RSA public keys a build carries and the
// oldest signature it takes. Built in (CMake LUMVEX_PACKAGE_KEYS and LUMVEX_PACKAGE_NOT_BEFORE);
// no setting, file or registry value reaches them. No platform calls.
#pragma once

#include <stdint.h>

// An RSA public key: the modulus, most significant byte first, and the public exponent.
struct PACKAGE_KEY {
    const uint8_t *modulus;
    uint32_t cbModulus;
    uint32_t exponent;
};

// One key, or two while the publisher moves from one to the next.
enum { MAX_PACKAGE_KEYS = 2 };

struct PACKAGE_TRUST {
    PACKAGE_KEY keys[MAX_PACKAGE_KEYS];
    uint32_t keyCount;   // 0: no signature is asked for
    uint64_t notBefore;  // seconds since 1970: an older signature is one the publisher withdrew
};

// Statically initialised from the build's keys; the program never writes it, so both threads
// read it without a lock. (Tests put their own keys in before a transfer runs.)
extern PACKAGE_TRUST PackageTrust;
