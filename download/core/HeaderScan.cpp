#include "HeaderScan.h"

#include "text/PlainText.h"

static const wchar_t *SkipBlanks(const wchar_t *p, const wchar_t *end)
{
    while (p < end && IsBlank((uint32_t)*p))
        ++p;
    return p;
}

// The line is the header called name (given in lower case; matched in any case), its colon
// straight after the name; value is then what follows the colon, blanks cut from both ends.
static bool IsHeaderLine(const SPAN *line, const wchar_t *name, SPAN *value)
{
    const wchar_t *p = AfterPrefixNoCase(SkipBlanks(line->begin, line->end), line->end, name);
    if (p == NULL || p >= line->end || *p != L':')
        return false;
    *value = TrimBlanks(p + 1, line->end);
    return true;
}

// Decimal digits only, all of them, within 32 bits.
static bool ReadNumber(const wchar_t **cursor, const wchar_t *end, uint32_t *number)
{
    const wchar_t *p = *cursor;
    uint64_t value = 0;
    for (; p < end && IsDigit((uint32_t)*p); ++p) {
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

// "HTTP/1.1 200 OK": the version, then exactly three digits; 0 for anything else.
static int32_t StatusOf(const SPAN *line)
{
    const wchar_t *p = SkipBlanks(line->begin, line->end);
    while (p < line->end && !IsBlank((uint32_t)*p))
        ++p;
    p = SkipBlanks(p, line->end);
    if (line->end - p < 3 || !IsDigit((uint32_t)p[0]) || !IsDigit((uint32_t)p[1]) || !IsDigit((uint32_t)p[2]))
        return 0;
    if (p + 3 < line->end && !IsBlank((uint32_t)p[3]))
        return 0;
    return (p[0] - L'0') * 100 + (p[1] - L'0') * 10 + (p[2] - L'0');
}

static bool Expect(const wchar_t **cursor, const wchar_t *end, wchar_t c)
{
    if (*cursor >= end || **cursor != c)
        return false;
    ++*cursor;
    return true;
}

// "bytes first-last/total", nothing else; "*" forms and empty ranges do not read.
static void ScanContentRange(const SPAN *value, ANSWER *answer)
{
    const wchar_t *p = AfterPrefixNoCase(value->begin, value->end, L"bytes");
    if (p == NULL || p >= value->end || !IsBlank((uint32_t)*p))
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

static bool StoreValidator(const SPAN *value, ANSWER *answer)
{
    return IsValidatorText(value->begin, (size_t)(value->end - value->begin)) &&
           CopySpan(answer->validator, CCH_VALIDATOR, value->begin, value->end);
}

// A strong ETag is quoted; "W/" marks a weak one, which cannot vouch for a byte range.
static bool IsStrongETag(const SPAN *value)
{
    return value->end - value->begin >= 2 && value->begin[0] == L'"' && value->end[-1] == L'"';
}

// Seconds only: a date would need a clock that agrees with the server's. A longer wish is
// cut to the longest wait honoured.
static uint32_t RetryAfterOf(const SPAN *value)
{
    const wchar_t *p = value->begin;
    uint32_t seconds = 0;
    for (; p < value->end && IsDigit((uint32_t)*p); ++p) {
        seconds = seconds * 10 + (uint32_t)(*p - L'0');
        if (seconds > MAX_RETRY_AFTER)
            seconds = MAX_RETRY_AFTER;
    }
    return p == value->begin || p != value->end ? NO_RETRY_AFTER : seconds;
}

// What the lines after the status line have said so far.
struct HEADER_SCAN {
    bool lengthSeen;
    bool lengthsDisagree;
    bool rangeSeen;
    bool retryAfterSeen;
    SPAN eTag;          // the first of each; begin NULL when none came
    SPAN lastModified;
};

// Digits after the colon, up to the first other character; 0 when there are none or the
// value needs more than 32 bits. Every Content-Length line must give the same value: lengths
// that disagree leave the body's framing to guesswork, and the client may keep to another
// line than the first.
static void TakeLength(const SPAN *value, HEADER_SCAN *scan, ANSWER *answer)
{
    const wchar_t *p = value->begin;
    uint32_t length = 0;
    if (!ReadNumber(&p, value->end, &length))
        length = 0;
    scan->lengthsDisagree = scan->lengthsDisagree || (scan->lengthSeen && length != answer->length);
    scan->lengthSeen = true;
    answer->length = length;
}

static void TakeHeaderLine(const SPAN *line, HEADER_SCAN *scan, ANSWER *answer)
{
    SPAN value;
    if (IsHeaderLine(line, L"content-length", &value)) {
        TakeLength(&value, scan, answer);
    } else if (IsHeaderLine(line, L"content-range", &value) && !scan->rangeSeen) {
        scan->rangeSeen = true;
        ScanContentRange(&value, answer);
    } else if (IsHeaderLine(line, L"etag", &value) && scan->eTag.begin == NULL) {
        scan->eTag = value;
    } else if (IsHeaderLine(line, L"last-modified", &value) && scan->lastModified.begin == NULL) {
        scan->lastModified = value;
    } else if (IsHeaderLine(line, L"retry-after", &value) && !scan->retryAfterSeen) {
        scan->retryAfterSeen = true;
        answer->retryAfter = RetryAfterOf(&value);
    }
}

void ScanAnswer(const wchar_t *headers, size_t cchHeaders, ANSWER *answer)
{
    ANSWER scanned = {};
    scanned.retryAfter = NO_RETRY_AFTER;
    HEADER_SCAN scan = {};
    const wchar_t *cursor = headers;
    const wchar_t *limit = headers + TextLength(headers, cchHeaders);
    SPAN line;
    // Runs of LF make no empty lines; the status line never supplies a header.
    if (NextPiece(&cursor, limit, L"\n", &line))
        scanned.status = StatusOf(&line);
    while (NextPiece(&cursor, limit, L"\n", &line))
        TakeHeaderLine(&line, &scan, &scanned);
    if (scan.lengthsDisagree)
        scanned.length = 0;
    bool strong = scan.eTag.begin != NULL && IsStrongETag(&scan.eTag) && StoreValidator(&scan.eTag, &scanned);
    if (!strong && scan.lastModified.begin != NULL)
        StoreValidator(&scan.lastModified, &scanned);
    *answer = scanned;
}
