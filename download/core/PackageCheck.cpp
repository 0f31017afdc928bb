#include "PackageCheck.h"

static const uint8_t PACKAGE_SIGNATURE[CB_PACKAGE_SIGNATURE] = {0xD0, 0xCF, 0x11, 0xE0,
                                                                 0xA1, 0xB1, 0x1A, 0xE1};

bool MatchesPackageSignature(uint32_t offset, const uint8_t *data, size_t cb)
{
    for (size_t i = 0; i < cb && offset + i < CB_PACKAGE_SIGNATURE; ++i) {
        if (data[i] != PACKAGE_SIGNATURE[offset + i])
            return false;
    }
    return true;
}

static int HexValue(wchar_t c)
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

bool ParseSha256(const wchar_t *text, uint8_t digest[CB_SHA256])
{
    for (size_t i = 0; i < CB_SHA256; ++i) {
        int high = HexValue(text[2 * i]);
        int low = high < 0 ? -1 : HexValue(text[2 * i + 1]);
        if (low < 0)
            return false;
        digest[i] = (uint8_t)(high * 16 + low);
    }
    return text[2 * CB_SHA256] == L'\0';
}
