#include "ProgressText.h"

#include "text/PlainText.h"

// A megabyte is 2^20 bytes.
static const unsigned MEGABYTE_SHIFT = 20;

// Whole hundredths of a megabyte, a half rounded up. Integer arithmetic gives the same digits
// on every C library; printf's "%.2f" does not agree at exact halves. A shift, and then
// 32-bit divisions only: the shipped build carries no helper for a 64-bit one.
static size_t AppendMegabytes(wchar_t *text, size_t cch, uint32_t bytes)
{
    uint32_t hundredths = (uint32_t)(((uint64_t)bytes * 100 + (1u << (MEGABYTE_SHIFT - 1))) >> MEGABYTE_SHIFT);
    char digits[10];
    size_t cchDigits = DecimalDigits(hundredths / 100, digits);
    for (size_t i = 0; i < cchDigits; ++i)
        text[cch++] = (wchar_t)digits[i];
    text[cch++] = L'.';
    text[cch++] = (wchar_t)(L'0' + hundredths % 100 / 10);
    text[cch++] = (wchar_t)(L'0' + hundredths % 10);
    text[cch++] = L'M';
    return cch;
}

void FormatSizeText(wchar_t *text, size_t cchText, uint32_t received, uint32_t total)
{
    // Longest result: "4096.00M / 4096.00M", 19 characters and the terminator.
    if (cchText < 32) {
        if (cchText > 0)
            text[0] = L'\0';
        return;
    }
    size_t cch = AppendMegabytes(text, 0, received);
    text[cch++] = L' ';
    text[cch++] = L'/';
    text[cch++] = L' ';
    cch = AppendMegabytes(text, cch, total);
    text[cch] = L'\0';
}

int32_t ProgressPercent(uint32_t received, uint32_t total)
{
    // Whole totals by a 32-bit division, then the hundredths of the rest by comparing
    // products: no 64-bit division.
    uint32_t whole = received / total;
    uint64_t rest = (uint64_t)(received % total) * 100;
    uint32_t low = 0;
    uint32_t high = 100;
    while (high - low > 1) {
        uint32_t middle = (low + high) / 2;
        if ((uint64_t)middle * total <= rest)
            low = middle;
        else
            high = middle;
    }
    uint64_t percent = (uint64_t)whole * 100 + low;
    return percent > INT32_MAX ? INT32_MAX : (int32_t)percent;
}
