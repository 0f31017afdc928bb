// The publisher's package keys as a build takes them, and the RSA check of a signature, with
// OpenSSL's libcrypto.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "download/core/SignatureText.h"

struct PUBLIC_KEY;

// Reads PEM public keys as the build does: RSA, 2048 to 4096 bits, a 32-bit exponent, at most
// two. False with why in error otherwise; keys holds what was read either way (FreeKeys).
bool ReadPackageKeys(const std::vector<std::string> &files, std::vector<PUBLIC_KEY *> *keys, std::string *error);

void FreeKeys(std::vector<PUBLIC_KEY *> *keys);

// The number, from 1, of the key whose RSA signature over the signed lines of text this is; 0
// for none.
int SigningKey(const std::vector<PUBLIC_KEY *> &keys, const char *text, const PACKAGE_SIGNATURE *signature);
