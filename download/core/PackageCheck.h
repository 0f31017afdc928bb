// Telling a real package from a well-formed answer that is not one. No platform calls.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Every Windows Installer package is a compound file and starts with these bytes.
enum { CB_PACKAGE_SIGNATURE = 8 };
enum { CB_SHA256 = 32 };

// False when bytes of this piece of the body, which starts offset bytes into it, fall within
// the signature and differ from it.
bool MatchesPackageSignature(uint32_t offset, const uint8_t *data, size_t cb);

// Reads exactly 64 hexadecimal digits (either case) into digest; false for anything else.
bool ParseSha256(const wchar_t *text, uint8_t digest[CB_SHA256]);
