#include "SignatureText.h"

#include "RetryPolicy.h"
#include "text/PlainText.h"

// Walks the text a line at a time; any surprise leaves ok false for good.
struct LINE_READER {
    const char *p;
    const char *end;
    bool ok;
};

// The value of the next line, which must be "<key>=<value>\n" with a value of at least one
// byte: [*value, *valueEnd).
static void ReadLine(LINE_READER *reader, const char *key, const char **value, const char **valueEnd)
{
    const char *p = reader->p;
    for (; reader->ok && *key != '\0'; ++key, ++p)
        reader->ok = p < reader->end && *p == *key;
    reader->ok = reader->ok && p < reader->end && *p++ == '=';
    *value = p;
    while (reader->ok && p < reader->end && *p != '\n')
        ++p;
    *valueEnd = p;
    reader->ok = reader->ok && p < reader->end && p > *value;
    reader->p = p < reader->end ? p + 1 : p;
}

// Decimal digits only, no leading zero, at most max. Nineteen digits never pass 64 bits, so no
// 64-bit division is needed (the shipped build carries none).
static uint64_t ReadNumber(LINE_READER *reader, const char *key, uint64_t max)
{
    const char *p;
    const char *end;
    uint64_t value = 0;
    ReadLine(reader, key, &p, &end);
    reader->ok = reader->ok && (*p != '0' || end - p == 1) && end - p <= 19;
    for (; reader->ok && p < end; ++p) {
        reader->ok = IsDigit((unsigned char)*p);
        value = value * 10 + (uint64_t)(*p - '0');
    }
    reader->ok = reader->ok && value <= max;
    return value;
}

// Lower-case hex only: one way to write each byte.
static int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Exactly cbMin to cbMax bytes of hex; their count.
static uint32_t ReadHex(LINE_READER *reader, const char *key, uint8_t *bytes, size_t cbMin, size_t cbMax)
{
    const char *p;
    const char *end;
    ReadLine(reader, key, &p, &end);
    size_t cch = (size_t)(end - p);
    reader->ok = reader->ok && cch % 2 == 0 && cch / 2 >= cbMin && cch / 2 <= cbMax;
    for (size_t i = 0; reader->ok && i < cch / 2; ++i) {
        int high = HexDigit(p[2 * i]);
        int low = HexDigit(p[2 * i + 1]);
        reader->ok = high >= 0 && low >= 0;
        bytes[i] = (uint8_t)(high * 16 + low);
    }
    return reader->ok ? (uint32_t)(cch / 2) : 0;
}

// Printable ASCII without blanks, at most CCH_SIGNED_NAME - 1 bytes.
static void ReadName(LINE_READER *reader, char *name)
{
    const char *p;
    const char *end;
    ReadLine(reader, "Name", &p, &end);
    reader->ok = reader->ok && end - p < CCH_SIGNED_NAME;
    size_t i = 0;
    for (; reader->ok && p + i < end; ++i) {
        reader->ok = p[i] > ' ' && p[i] < 0x7F;
        name[i] = p[i];
    }
    name[i] = '\0';
}

bool ParsePackageSignature(const char *text, size_t cb, PACKAGE_SIGNATURE *signature)
{
    LINE_READER reader = {text, text + (cb < CB_SIGNATURE_TEXT ? cb : 0), cb < CB_SIGNATURE_TEXT};
    PACKAGE_SIGNATURE read = {};
    reader.ok = ReadNumber(&reader, "LumvexPackageSignature", 1) == 1 && reader.ok;
    ReadName(&reader, read.name);
    read.length = (uint32_t)ReadNumber(&reader, "Length", UINT32_MAX);
    reader.ok = reader.ok && read.length > 0 && ReadHex(&reader, "Sha256", read.sha256, CB_SHA256, CB_SHA256) != 0;
    read.time = ReadNumber(&reader, "Time", UINT64_MAX);
    read.cbSigned = (size_t)(reader.p - text);
    read.cbRsa = ReadHex(&reader, "RsaSha256", read.rsa, CB_RSA_MIN, CB_RSA_MAX);
    if (!reader.ok || reader.p != reader.end)
        return false;
    *signature = read;
    return true;
}

// The request path's last segment before any "?": [*begin, return).
static const wchar_t *LastSegment(const wchar_t *serverPath, const wchar_t **begin)
{
    const wchar_t *p = serverPath;
    *begin = p;
    for (; *p != L'\0' && *p != L'?'; ++p) {
        if (*p == L'/')
            *begin = p + 1;
    }
    return p;
}

bool SignatureFits(const PACKAGE_SIGNATURE *signature, const wchar_t *serverPath, uint64_t notBefore)
{
    const wchar_t *begin;
    const wchar_t *end = LastSegment(serverPath, &begin);
    const char *name = signature->name;
    for (; begin < end && *name != '\0' && (uint32_t)*begin == (unsigned char)*name; ++begin, ++name) {
    }
    return begin == end && *name == '\0' && signature->time >= notBefore;
}

bool SignaturePath(wchar_t *path, size_t cchPath, const wchar_t *serverPath)
{
    const wchar_t *begin;
    const wchar_t *end = LastSegment(serverPath, &begin);
    size_t cch = (size_t)(end - serverPath);
    return CopySpan(path, cchPath, serverPath, end) && AppendText(path, cchPath, &cch, L".sig");
}

SIGNATURE_ANSWER JudgeSignatureAnswer(const ANSWER *answer)
{
    if (answer->status / 100 != 2)
        return IsTransientStatus(answer->status) ? SIGNATURE_LATER : SIGNATURE_MISSING;
    return answer->length > 0 && answer->length < CB_SIGNATURE_TEXT ? SIGNATURE_TO_READ : SIGNATURE_TOO_LONG;
}
