#include "PlainText.h"

bool IsBlank(uint32_t c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool IsDigit(uint32_t c)
{
    return c >= '0' && c <= '9';
}

uint32_t FoldLower(uint32_t c)
{
    return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

uint32_t FoldUpper(uint32_t c)
{
    return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c;
}

size_t TextLength(const wchar_t *text, size_t cchMax)
{
    size_t cch = 0;
    while (cch < cchMax && text[cch] != L'\0')
        ++cch;
    return cch;
}

const wchar_t *TextEnd(const wchar_t *text)
{
    return text + TextLength(text, (size_t)-1);
}

const wchar_t *AfterPrefixNoCase(const wchar_t *begin, const wchar_t *end, const wchar_t *lower)
{
    for (; *lower != L'\0'; ++begin, ++lower) {
        if (begin >= end || FoldLower((uint32_t)*begin) != (uint32_t)*lower)
            return NULL;
    }
    return begin;
}

bool EqualsNoCase(const wchar_t *begin, const wchar_t *end, const wchar_t *lower)
{
    return AfterPrefixNoCase(begin, end, lower) == end;
}

SPAN TrimBlanks(const wchar_t *begin, const wchar_t *end)
{
    while (begin < end && IsBlank((uint32_t)*begin))
        ++begin;
    while (end > begin && IsBlank((uint32_t)end[-1]))
        --end;
    SPAN trimmed = {begin, end};
    return trimmed;
}

static bool IsSeparator(wchar_t c, const wchar_t *separators)
{
    for (; *separators != L'\0'; ++separators) {
        if (c == *separators)
            return true;
    }
    return false;
}

bool NextPiece(const wchar_t **cursor, const wchar_t *limit, const wchar_t *separators, SPAN *piece)
{
    const wchar_t *p = *cursor;
    while (p < limit && IsSeparator(*p, separators))
        ++p;
    if (p >= limit)
        return false;
    piece->begin = p;
    while (p < limit && !IsSeparator(*p, separators))
        ++p;
    piece->end = p;
    *cursor = p;
    return true;
}

bool CopySpan(wchar_t *field, size_t cchField, const wchar_t *begin, const wchar_t *end)
{
    size_t cch = 0;
    for (; cch + 1 < cchField && begin + cch < end; ++cch)
        field[cch] = begin[cch];
    if (cchField > 0)
        field[cch] = L'\0';
    return cchField > 0 && begin + cch == end;
}

bool CopyText(wchar_t *field, size_t cchField, const wchar_t *text)
{
    return CopySpan(field, cchField, text, TextEnd(text));
}

bool AppendText(wchar_t *text, size_t cchText, size_t *cch, const wchar_t *part)
{
    if (*cch >= cchText)
        return false;
    size_t cchPart = (size_t)(TextEnd(part) - part);
    bool fits = CopySpan(text + *cch, cchText - *cch, part, part + cchPart);
    *cch += fits ? cchPart : 0;
    return fits;
}

bool AppendDecimal(wchar_t *text, size_t cchText, size_t *cch, uint32_t value)
{
    char digits[10];
    wchar_t wide[11];
    size_t n = DecimalDigits(value, digits);
    for (size_t i = 0; i < n; ++i)
        wide[i] = (wchar_t)digits[i];
    wide[n] = L'\0';
    return AppendText(text, cchText, cch, wide);
}

size_t DecimalDigits(uint32_t value, char digits[10])
{
    char reversed[10];
    size_t n = 0;
    do {
        reversed[n++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (size_t i = 0; i < n; ++i)
        digits[i] = reversed[n - 1 - i];
    return n;
}

bool NextUtf8(const char **cursor, const char *end, uint32_t *c)
{
    const unsigned char *p = (const unsigned char *)*cursor;
    const unsigned char *limit = (const unsigned char *)end;
    uint32_t lead = p < limit ? *p : 0;
    size_t cb = lead < 0x80 ? 1 : lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3 : lead >= 0xF0 && lead < 0xF5 ? 4 : 0;
    if (cb == 0 || (size_t)(limit - p) < cb)
        return false;
    uint32_t value = cb == 1 ? lead : lead & (0x3Fu >> (cb - 1));
    for (size_t i = 1; i < cb; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return false;
        value = value << 6 | (p[i] & 0x3Fu);
    }
    // The shortest form only, and no surrogate: anything else reads as another text elsewhere.
    static const uint32_t SMALLEST[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < SMALLEST[cb] || value > 0x10FFFF || (value >= 0xD800 && value < 0xE000))
        return false;
    *c = value;
    *cursor += cb;
    return true;
}

size_t Utf8Bytes(uint32_t c, char bytes[4])
{
    if (c > 0x10FFFF || (c >= 0xD800 && c < 0xE000))
        return 0;
    if (c < 0x80) {
        bytes[0] = (char)c;
        return 1;
    }
    size_t cb = c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    for (size_t i = cb - 1; i > 0; --i, c >>= 6)
        bytes[i] = (char)(0x80 | (c & 0x3F));
    bytes[0] = (char)((0xF00u >> cb) | c);
    return cb;
}

uint32_t NextWide(const wchar_t **cursor)
{
    uint32_t c = (uint32_t)**cursor;
    ++*cursor;
    uint32_t low = (uint32_t)**cursor;
    if (sizeof(wchar_t) == 2 && c >= 0xD800 && c < 0xDC00 && low >= 0xDC00 && low < 0xE000) {
        ++*cursor;
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
    }
    return c;
}

bool AppendCharacter(wchar_t *text, size_t cchText, size_t *cch, uint32_t c)
{
    bool pair = sizeof(wchar_t) == 2 && c >= 0x10000;
    if (*cch + (pair ? 2 : 1) >= cchText)
        return false;
    if (pair) {
        text[(*cch)++] = (wchar_t)(0xD800 + ((c - 0x10000) >> 10));
        c = 0xDC00 + ((c - 0x10000) & 0x3FF);
    }
    text[(*cch)++] = (wchar_t)c;
    text[*cch] = L'\0';
    return true;
}
