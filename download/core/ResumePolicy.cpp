#include "ResumePolicy.h"

#include <string.h>
#include <wchar.h>

#include "RetryPolicy.h"
#include "RoutePolicy.h"
#include "settings/SettingsParse.h"
#include "text/PlainText.h"

bool IsResumable(uint32_t received, const wchar_t *validator)
{
    return received > 0 && validator[0] != L'\0';
}

// Quoted, as only a strong ETag is: a date may name two versions on two hosts.
static bool IsStrongETag(const wchar_t *validator)
{
    return validator[0] == L'"';
}

KEPT_VOUCHER VoucherFor(uint32_t received, const wchar_t *validator, bool sameHost, bool pinned)
{
    if (received == 0)
        return VOUCHED_BY_NOTHING;
    if (sameHost)
        return validator[0] != L'\0' ? VOUCHED_BY_VALIDATOR : VOUCHED_BY_NOTHING;
    if (pinned)
        return VOUCHED_BY_PIN;
    return IsStrongETag(validator) ? VOUCHED_BY_SAME_ETAG : VOUCHED_BY_NOTHING;
}

bool FormatRangeRequest(wchar_t *text, size_t cchText, uint32_t from, const wchar_t *validator, KEPT_VOUCHER voucher)
{
    size_t cch = 0;
    bool ifRange = voucher != VOUCHED_BY_PIN;
    return AppendText(text, cchText, &cch, L"Range: bytes=") && AppendDecimal(text, cchText, &cch, from) &&
           AppendText(text, cchText, &cch, L"-\r\n") &&
           (!ifRange || (AppendText(text, cchText, &cch, L"If-Range: ") && AppendText(text, cchText, &cch, validator) &&
                         AppendText(text, cchText, &cch, L"\r\n")));
}

// The version the answer names may continue the kept bytes: on their own host, ours, or none
// where ours is a date (a 206 must repeat the ETag a 200 would carry, not Last-Modified: one
// that names none under an ETag may come from a server that ignores If-Range and now has
// another version); elsewhere ours exactly; with the pin, any.
static bool NamesKeptVersion(const ANSWER *answer, const wchar_t *validator, KEPT_VOUCHER voucher)
{
    bool ours = wcscmp(answer->validator, validator) == 0;
    bool dated = validator[0] != L'"';
    return voucher == VOUCHED_BY_PIN || ours ||
           (voucher == VOUCHED_BY_VALIDATOR && answer->validator[0] == L'\0' && dated);
}

// The rest of exactly this package: starts where the kept bytes end, runs to its last byte,
// and names a version that may continue them.
static bool FitsKeptBytes(const ANSWER *answer, uint32_t received, uint32_t total, const wchar_t *validator,
                          KEPT_VOUCHER voucher)
{
    return answer->hasRange && answer->rangeFirst == received && answer->rangeLast == total - 1 &&
           answer->rangeTotal == total && answer->length == total - received &&
           NamesKeptVersion(answer, validator, voucher);
}

ANSWER_VERDICT JudgeAnswer(const ANSWER *answer, uint32_t received, uint32_t total, const wchar_t *validator,
                           KEPT_VOUCHER voucher)
{
    bool rangeAsked = voucher != VOUCHED_BY_NOTHING;
    if (answer->status == 206) {
        if (!rangeAsked)
            return VERDICT_FAIL;
        return FitsKeptBytes(answer, received, total, validator, voucher) ? VERDICT_CONTINUE : VERDICT_START_OVER;
    }
    // Here no failure: what is kept no longer matches what the server has.
    if (answer->status == 416)
        return rangeAsked ? VERDICT_START_OVER : VERDICT_FAIL;
    if (answer->status / 100 != 2)
        return IsTransientStatus(answer->status) ? VERDICT_RETRY : VERDICT_FAIL;
    if (answer->length == 0)
        return VERDICT_FAIL;
    // The range ignored, but the version named is ours: nothing kept need go. (The pin alone
    // vouches for no version: a whole body is taken whole.)
    if ((voucher == VOUCHED_BY_VALIDATOR || voucher == VOUCHED_BY_SAME_ETAG) && answer->length == total &&
        wcscmp(answer->validator, validator) == 0)
        return VERDICT_READ_PAST_KEPT;
    return VERDICT_FULL_BODY;
}

uint32_t BytesToWrite(ANSWER_VERDICT verdict, const ANSWER *answer, uint32_t received)
{
    if (verdict == VERDICT_READ_PAST_KEPT)
        return answer->length - received;
    return verdict == VERDICT_FULL_BODY || verdict == VERDICT_CONTINUE ? answer->length : 0;
}

bool FitsOnVolume(uint64_t cbAvailable, uint32_t cbToWrite)
{
    return cbAvailable >= CB_VOLUME_MARGIN && cbAvailable - CB_VOLUME_MARGIN >= cbToWrite;
}

// The keys of the source mirror those of the settings file.
static const char KEY_SCHEME[] = "ServerScheme";
static const char KEY_ADDRESS[] = "ServerAddress";
static const char KEY_PORT[] = "ServerPort";
static const char KEY_PATH[] = "MsiServerPath";
static const char KEY_VALIDATOR[] = "Validator";
static const char KEY_TOTAL[] = "Total";
static const char KEY_RECEIVED[] = "Received";
static const char KEY_SHA256[] = "Sha256";

struct TEXT_WRITER {
    char *text;
    size_t cbText;
    size_t cb;
    bool ok;
};

static void PutByte(TEXT_WRITER *writer, char c)
{
    if (writer->cb + 1 >= writer->cbText) {
        writer->ok = false;
        return;
    }
    writer->text[writer->cb++] = c;
}

static void PutBytes(TEXT_WRITER *writer, const char *bytes)
{
    for (; *bytes != '\0'; ++bytes)
        PutByte(writer, *bytes);
}

static void PutNumber(TEXT_WRITER *writer, int64_t value)
{
    // Only 32-bit values are written, so the magnitude fits in 32 bits.
    char digits[10];
    size_t n = DecimalDigits(value < 0 ? 0u - (uint32_t)value : (uint32_t)value, digits);
    if (value < 0)
        PutByte(writer, '-');
    for (size_t i = 0; i < n; ++i)
        PutByte(writer, digits[i]);
}

// Only what reads back the same: UTF-8 of whole characters, no line end, no blank at either
// end (the reader trims them).
static void PutWide(TEXT_WRITER *writer, const wchar_t *value)
{
    for (const wchar_t *p = value; *p != L'\0';) {
        bool edge = p == value;
        uint32_t c = NextWide(&p);
        edge = edge || *p == L'\0';
        char bytes[4];
        size_t cb = Utf8Bytes(c, bytes);
        if (cb == 0 || c == '\n' || (edge && IsBlank(c)))
            writer->ok = false;
        for (size_t i = 0; i < cb; ++i)
            PutByte(writer, bytes[i]);
    }
}

static void PutTextLine(TEXT_WRITER *writer, const char *key, const wchar_t *value)
{
    PutBytes(writer, key);
    PutByte(writer, '=');
    PutWide(writer, value);
    PutBytes(writer, "\r\n");
}

static void PutNumberLine(TEXT_WRITER *writer, const char *key, int64_t value)
{
    PutBytes(writer, key);
    PutByte(writer, '=');
    PutNumber(writer, value);
    PutBytes(writer, "\r\n");
}

static void PutHexLine(TEXT_WRITER *writer, const char *key, const uint8_t *bytes, size_t cb)
{
    PutBytes(writer, key);
    PutByte(writer, '=');
    for (size_t i = 0; i < cb; ++i) {
        PutByte(writer, "0123456789abcdef"[bytes[i] >> 4]);
        PutByte(writer, "0123456789abcdef"[bytes[i] & 15]);
    }
    PutBytes(writer, "\r\n");
}

size_t FormatResumeState(char *text, size_t cbText, const RESUME_STATE *state)
{
    TEXT_WRITER writer = {text, cbText, 0, true};
    PutTextLine(&writer, KEY_SCHEME, state->ServerScheme);
    PutTextLine(&writer, KEY_ADDRESS, state->ServerAddress);
    PutNumberLine(&writer, KEY_PORT, state->ServerPort);
    PutTextLine(&writer, KEY_PATH, state->MsiServerPath);
    PutTextLine(&writer, KEY_VALIDATOR, state->validator);
    PutNumberLine(&writer, KEY_TOTAL, state->total);
    PutNumberLine(&writer, KEY_RECEIVED, state->received);
    if (state->hasSha256)
        PutHexLine(&writer, KEY_SHA256, state->sha256, CB_SHA256);
    return writer.ok ? writer.cb : 0;
}

// Plain decimal within [low, high]: an optional minus, digits and nothing else.
static bool ReadStrictNumber(const char *text, int64_t low, int64_t high, int64_t *number)
{
    bool negative = *text == '-';
    if (negative)
        ++text;
    int64_t value = 0;
    const char *digits = text;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > UINT32_MAX)
            return false;
    }
    if (text == digits || *text != '\0')
        return false;
    value = negative ? -value : value;
    *number = value;
    return value >= low && value <= high;
}

static const unsigned SEEN_ADDRESS = 1;
static const unsigned SEEN_PORT = 2;
static const unsigned SEEN_PATH = 4;
static const unsigned SEEN_VALIDATOR = 8;
static const unsigned SEEN_TOTAL = 16;
static const unsigned SEEN_RECEIVED = 32;
static const unsigned SEEN_SCHEME = 64;
static const unsigned SEEN_ALL = 127;
static const unsigned SEEN_ODD = 128;
static const unsigned SEEN_SHA256 = 256;  // optional: SEEN_ALL holds without it

struct STATE_READER {
    RESUME_STATE *state;
    unsigned seen;
};

// A key whose value reads is seen; one that does not, or a key nobody wrote, makes the
// whole state odd.
static void Mark(STATE_READER *reader, bool read, unsigned flag)
{
    reader->seen |= read ? flag : SEEN_ODD;
}

// UTF-8 only, as written: bytes of a code page are no state of ours.
static bool ReadText(wchar_t *field, size_t cchField, const char *value)
{
    return StoreSettingText(field, cchField, value, NULL);
}

static void ReadStateLine(void *context, const char *key, const char *value)
{
    STATE_READER *reader = (STATE_READER *)context;
    RESUME_STATE *state = reader->state;
    int64_t number = 0;
    if (CompareNoCase(key, KEY_SCHEME) == 0) {
        Mark(reader, ReadText(state->ServerScheme, SETTINGS_CCH_TEXT, value), SEEN_SCHEME);
    } else if (CompareNoCase(key, KEY_ADDRESS) == 0) {
        Mark(reader, ReadText(state->ServerAddress, SETTINGS_CCH_TEXT, value), SEEN_ADDRESS);
    } else if (CompareNoCase(key, KEY_PORT) == 0) {
        Mark(reader, ReadStrictNumber(value, INT32_MIN, INT32_MAX, &number), SEEN_PORT);
        state->ServerPort = (int32_t)number;
    } else if (CompareNoCase(key, KEY_PATH) == 0) {
        Mark(reader, ReadText(state->MsiServerPath, SETTINGS_CCH_TEXT, value), SEEN_PATH);
    } else if (CompareNoCase(key, KEY_VALIDATOR) == 0) {
        // Empty only for a whole package, checked once every key is read.
        Mark(reader, ReadText(state->validator, CCH_VALIDATOR, value) &&
                         (value[0] == '\0' || IsValidatorText(state->validator, (size_t)(TextEnd(state->validator) - state->validator))),
             SEEN_VALIDATOR);
    } else if (CompareNoCase(key, KEY_TOTAL) == 0) {
        Mark(reader, ReadStrictNumber(value, 1, UINT32_MAX, &number), SEEN_TOTAL);
        state->total = (uint32_t)number;
    } else if (CompareNoCase(key, KEY_SHA256) == 0) {
        wchar_t hex[2 * CB_SHA256 + 2];
        StoreSettingText(hex, sizeof(hex) / sizeof(hex[0]), value, NULL);
        state->hasSha256 = ParseSha256(hex, state->sha256);
        Mark(reader, state->hasSha256, SEEN_SHA256);
    } else if (CompareNoCase(key, KEY_RECEIVED) == 0) {
        Mark(reader, ReadStrictNumber(value, 0, UINT32_MAX, &number), SEEN_RECEIVED);
        state->received = (uint32_t)number;
    } else {
        reader->seen |= SEEN_ODD;
    }
}

bool ParseResumeState(const char *text, size_t cb, RESUME_STATE *state)
{
    RESUME_STATE read = {};
    STATE_READER reader = {&read, 0};
    ForEachSettingsLine(text, cb, ReadStateLine, &reader);
    if ((reader.seen & ~SEEN_SHA256) != SEEN_ALL || read.received > read.total ||
        (read.validator[0] == L'\0' && read.received != read.total))
        return false;
    *state = read;
    return true;
}

void SetSource(RESUME_STATE *state, const BOOTSTRAP_SETTINGS *settings, const SERVER *server)
{
    CopyText(state->ServerScheme, SETTINGS_CCH_TEXT, settings->ServerScheme);
    CopyText(state->ServerAddress, SETTINGS_CCH_TEXT, server->host);
    state->ServerPort = server->port;
    CopyText(state->MsiServerPath, SETTINGS_CCH_TEXT, settings->MsiServerPath);
}

int32_t SourceOf(const RESUME_STATE *state, const BOOTSTRAP_SETTINGS *settings, const SERVER_LIST *servers)
{
    // "HTTP" and "http" are one scheme.
    if (ParseScheme(state->ServerScheme) != ParseScheme(settings->ServerScheme) ||
        wcscmp(state->MsiServerPath, settings->MsiServerPath) != 0)
        return -1;
    return FindServer(servers, state->ServerAddress, state->ServerPort);
}
