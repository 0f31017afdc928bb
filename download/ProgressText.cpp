#include "ProgressText.h"

#include "text/PlainText.h"

static const uint64_t CB_MEGABYTE = 1048576;

// Whole hundredths of a megabyte, a half rounded up. Integer arithmetic gives the same digits
// on every C library; printf's "%.2f" does not agree at exact halves.
static size_t AppendMegabytes(wchar_t *text, size_t cch, uint32_t bytes)
{
    uint64_t hundredths = ((uint64_t)bytes * 100 + CB_MEGABYTE / 2) / CB_MEGABYTE;
    char digits[10];
    size_t cchDigits = DecimalDigits((uint32_t)(hundredths / 100), digits);
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
    uint64_t percent = (uint64_t)received * 100 / total;
    return percent > INT32_MAX ? INT32_MAX : (int32_t)percent;
}
