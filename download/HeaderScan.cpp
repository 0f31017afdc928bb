#include "HeaderScan.h"

#include "WideText.h"

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

// The line is the header called name (given in lower case; matched in any case), its colon
// straight after the name; *value is then just past the colon.
static bool IsHeaderLine(const LINE *line, const wchar_t *name, const wchar_t **value)
{
    const wchar_t *p = AfterPrefixNoCase(SkipBlanks(line->begin, line->end), line->end, name);
    if (p == NULL || p >= line->end || *p != L':')
        return false;
    *value = p + 1;
    return true;
}

// Decimal digits only, all of them, within 32 bits.
static bool ReadNumber(const wchar_t **cursor, const wchar_t *end, uint32_t *number)
{
    const wchar_t *p = *cursor;
    uint64_t value = 0;
    for (; p < end && IsDigit(*p); ++p) {
        value = value * 10 + (uint64_t)(*p - L'0');
        if (value > UINT32_MAX)
            return false;
    }
    if (p == *cursor)
        return false;
    *cursor = p;
    *number = (uint32_t)value;
    return true;
}

// Decimal digits after blanks, up to the first other character; 0 when there are none
// or the value needs more than 32 bits.
static uint32_t ScanLength(const wchar_t *p, const wchar_t *end)
{
    uint32_t value = 0;
    p = SkipBlanks(p, end);
    return ReadNumber(&p, end, &value) ? value : 0;
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
        const wchar_t *afterName;
        if (!IsHeaderLine(&line, L"content-length", &afterName))
            continue;
        uint32_t value = ScanLength(afterName, line.end);
        if (found && value != length)
            return 0;
        length = value;
        found = true;
    }
    return length;
}

// "HTTP/1.1 200 OK": the version, then exactly three digits; 0 for anything else.
static int32_t StatusOf(const LINE *line)
{
    const wchar_t *p = SkipBlanks(line->begin, line->end);
    while (p < line->end && !IsBlank(*p))
        ++p;
    p = SkipBlanks(p, line->end);
    if (line->end - p < 3 || !IsDigit(p[0]) || !IsDigit(p[1]) || !IsDigit(p[2]))
        return 0;
    if (p + 3 < line->end && !IsBlank(p[3]))
        return 0;
    return (p[0] - L'0') * 100 + (p[1] - L'0') * 10 + (p[2] - L'0');
}

bool IsSuccessStatus(const wchar_t *headers, size_t cchHeaders)
{
    const wchar_t *cursor = headers;
    LINE line;
    if (!NextLine(&cursor, TextLimit(headers, cchHeaders), &line))
        return false;
    return StatusOf(&line) / 100 == 2;
}

// The value of the first header called name (lower case, colon excluded), blanks cut from
// both ends; false when no line carries it.
static bool FindHeader(const wchar_t *headers, size_t cchHeaders, const wchar_t *name, LINE *value)
{
    const wchar_t *cursor = headers;
    const wchar_t *limit = TextLimit(headers, cchHeaders);
    LINE line;
    if (!NextLine(&cursor, limit, &line))
        return false;
    while (NextLine(&cursor, limit, &line)) {
        const wchar_t *p;
        if (!IsHeaderLine(&line, name, &p))
            continue;
        value->begin = SkipBlanks(p, line.end);
        value->end = line.end;
        while (value->end > value->begin && IsBlank(value->end[-1]))
            --value->end;
        return true;
    }
    return false;
}

static bool Expect(const wchar_t **cursor, const wchar_t *end, wchar_t c)
{
    if (*cursor >= end || **cursor != c)
        return false;
    ++*cursor;
    return true;
}

// "bytes first-last/total", nothing else; "*" forms and empty ranges do not read.
static void ScanContentRange(const LINE *value, ANSWER *answer)
{
    const wchar_t *p = AfterPrefixNoCase(value->begin, value->end, L"bytes");
    if (p == NULL || p >= value->end || !IsBlank(*p))
        return;
    p = SkipBlanks(p, value->end);
    uint32_t first, last, total;
    if (!ReadNumber(&p, value->end, &first) || !Expect(&p, value->end, L'-') ||
        !ReadNumber(&p, value->end, &last) || !Expect(&p, value->end, L'/') ||
        !ReadNumber(&p, value->end, &total) || p != value->end || first > last || last >= total)
        return;
    answer->hasRange = true;
    answer->rangeFirst = first;
    answer->rangeLast = last;
    answer->rangeTotal = total;
}

bool IsValidatorText(const wchar_t *text, size_t cch)
{
    if (cch == 0 || cch >= CCH_VALIDATOR)
        return false;
    for (size_t i = 0; i < cch; ++i) {
        if (text[i] < L' ' || text[i] > L'~')
            return false;
    }
    return true;
}

static bool StoreValidator(const LINE *value, ANSWER *answer)
{
    size_t cch = (size_t)(value->end - value->begin);
    if (!IsValidatorText(value->begin, cch))
        return false;
    for (size_t i = 0; i < cch; ++i)
        answer->validator[i] = value->begin[i];
    answer->validator[cch] = L'\0';
    return true;
}

// A strong ETag is quoted; "W/" marks a weak one, which cannot vouch for a byte range.
static bool IsStrongETag(const LINE *value)
{
    return value->end - value->begin >= 2 && value->begin[0] == L'"' && value->end[-1] == L'"';
}

// Seconds only: a date would need a clock that agrees with the server's. A longer wish is
// cut to the longest wait honoured.
static uint32_t RetryAfterOf(const LINE *value)
{
    const wchar_t *p = value->begin;
    uint32_t seconds = 0;
    for (; p < value->end && IsDigit(*p); ++p) {
        seconds = seconds * 10 + (uint32_t)(*p - L'0');
        if (seconds > MAX_RETRY_AFTER)
            seconds = MAX_RETRY_AFTER;
    }
    return p == value->begin || p != value->end ? NO_RETRY_AFTER : seconds;
}

void ScanAnswer(const wchar_t *headers, size_t cchHeaders, ANSWER *answer)
{
    ANSWER scanned = {};
    scanned.retryAfter = NO_RETRY_AFTER;
    const wchar_t *cursor = headers;
    LINE line;
    if (NextLine(&cursor, TextLimit(headers, cchHeaders), &line))
        scanned.status = StatusOf(&line);
    scanned.length = FindContentLength(headers, cchHeaders);
    LINE value;
    if (FindHeader(headers, cchHeaders, L"content-range", &value))
        ScanContentRange(&value, &scanned);
    bool strong = FindHeader(headers, cchHeaders, L"etag", &value) && IsStrongETag(&value) &&
                  StoreValidator(&value, &scanned);
    if (!strong && FindHeader(headers, cchHeaders, L"last-modified", &value))
        StoreValidator(&value, &scanned);
    if (FindHeader(headers, cchHeaders, L"retry-after", &value))
        scanned.retryAfter = RetryAfterOf(&value);
    *answer = scanned;
}
