#include "WideText.h"

wchar_t FoldLower(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? (wchar_t)(c - L'A' + L'a') : c;
}

const wchar_t *AfterPrefixNoCase(const wchar_t *begin, const wchar_t *end, const wchar_t *lower)
{
    for (; *lower != L'\0'; ++begin, ++lower) {
        if (begin >= end || FoldLower(*begin) != *lower)
            return NULL;
    }
    return begin;
}

bool AppendText(wchar_t *text, size_t cchText, size_t *cch, const wchar_t *part)
{
    for (; *part != L'\0'; ++part) {
        if (*cch + 1 >= cchText)
            return false;
        text[(*cch)++] = *part;
    }
    if (*cch >= cchText)
        return false;
    text[*cch] = L'\0';
    return true;
}

bool AppendDecimal(wchar_t *text, size_t cchText, size_t *cch, uint32_t value)
{
    wchar_t digits[11];
    size_t n = sizeof(digits) / sizeof(digits[0]) - 1;
    digits[n] = L'\0';
    do {
        digits[--n] = (wchar_t)(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    return AppendText(text, cchText, cch, digits + n);
}
