#include "HeaderScan.h"

static const wchar_t CONTENT_LENGTH[] = L"Content-Length:";

static bool IsBlank(wchar_t c)
{
    return c == L' ' || (c >= L'\t' && c <= L'\r');
}

static bool IsDigit(wchar_t c)
{
    return c >= L'0' && c <= L'9';
}

// One header line: [begin, end), without its LF.
struct LINE {
    const wchar_t *begin;
    const wchar_t *end;
};

// Steps to the next non-empty line (runs of LF make no empty lines); false when none is left.
static bool NextLine(const wchar_t **cursor, const wchar_t *limit, LINE *line)
{
    const wchar_t *p = *cursor;
    while (p < limit && *p == L'\n')
        ++p;
    if (p >= limit)
        return false;
    line->begin = p;
    while (p < limit && *p != L'\n')
        ++p;
    line->end = p;
    *cursor = p;
    return true;
}

static const wchar_t *SkipBlanks(const wchar_t *p, const wchar_t *end)
{
    while (p < end && IsBlank(*p))
        ++p;
    return p;
}

// The first word of the line is exactly "Content-Length:".
static bool IsContentLengthLine(const LINE *line, const wchar_t **afterWord)
{
    const wchar_t *word = SkipBlanks(line->begin, line->end);
    const wchar_t *p = word;
    while (p < line->end && !IsBlank(*p))
        ++p;
    *afterWord = p;
    size_t cchWord = (size_t)(p - word);
    if (cchWord != sizeof(CONTENT_LENGTH) / sizeof(wchar_t) - 1)
        return false;
    for (size_t i = 0; i < cchWord; ++i) {
        if (word[i] != CONTENT_LENGTH[i])
            return false;
    }
    return true;
}

// Decimal digits after blanks, up to the first other character; 0 when there are none
// or the value needs more than 32 bits.
static uint32_t ScanLength(const wchar_t *p, const wchar_t *end)
{
    p = SkipBlanks(p, end);
    uint64_t value = 0;
    for (; p < end && IsDigit(*p); ++p) {
        value = value * 10 + (uint64_t)(*p - L'0');
        if (value > UINT32_MAX)
            return 0;
    }
    return (uint32_t)value;
}

static const wchar_t *TextLimit(const wchar_t *headers, size_t cchHeaders)
{
    size_t cch = 0;
    while (cch < cchHeaders && headers[cch] != L'\0')
        ++cch;
    return headers + cch;
}

uint32_t FindContentLength(const wchar_t *headers, size_t cchHeaders)
{
    const wchar_t *cursor = headers;
    const wchar_t *limit = TextLimit(headers, cchHeaders);
    LINE line;
    // The status line never supplies the length.
    if (!NextLine(&cursor, limit, &line))
        return 0;
    // Every "Content-Length:" line must give the same value: lengths that disagree leave the
    // body's framing to guesswork, and the client may keep to another line than the first.
    uint32_t length = 0;
    bool found = false;
    while (NextLine(&cursor, limit, &line)) {
        const wchar_t *afterWord;
        if (!IsContentLengthLine(&line, &afterWord))
            continue;
        uint32_t value = ScanLength(afterWord, line.end);
        if (found && value != length)
            return 0;
        length = value;
        found = true;
    }
    return length;
}

bool IsSuccessStatus(const wchar_t *headers, size_t cchHeaders)
{
    const wchar_t *cursor = headers;
    const wchar_t *limit = TextLimit(headers, cchHeaders);
    LINE line;
    if (!NextLine(&cursor, limit, &line))
        return false;
    // "HTTP/1.1 200 OK": the version, then exactly three digits.
    const wchar_t *p = SkipBlanks(line.begin, line.end);
    while (p < line.end && !IsBlank(*p))
        ++p;
    p = SkipBlanks(p, line.end);
    if (line.end - p < 3 || !IsDigit(p[0]) || !IsDigit(p[1]) || !IsDigit(p[2]))
        return false;
    if (p + 3 < line.end && !IsBlank(p[3]))
        return false;
    return p[0] == L'2';
}
