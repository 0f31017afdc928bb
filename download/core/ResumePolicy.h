// Everything about kept bytes: the lines that ask for the rest of the package, what an answer
// means for the bytes kept, and the text of what a later run needs to resume. No platform calls.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "HeaderScan.h"
#include "HostPolicy.h"
#include "PackageCheck.h"
#include "settings/Settings.h"

// Bytes are kept and a validator vouches for them: worth recording for a later run.
bool IsResumable(uint32_t received, const wchar_t *validator);

// What lets kept bytes continue on the host about to be asked.
enum KEPT_VOUCHER {
    VOUCHED_BY_NOTHING,    // nothing is kept, or nothing vouches here: ask for everything
    VOUCHED_BY_VALIDATOR,  // the host they came from: the rest, if the validator still holds
    VOUCHED_BY_SAME_ETAG,  // another host: the rest, only if it names the same strong ETag
    VOUCHED_BY_PIN,        // another host and a pin: the rest of any version, as the pin checks
                           // the whole package and no two hosts' bytes pass it unless they are it
};

// Whether and how received kept bytes under validator continue on a host: sameHost when it is
// the host they came from.
KEPT_VOUCHER VoucherFor(uint32_t received, const wchar_t *validator, bool sameHost, bool pinned);

// The request lines "Range: bytes=<from>-" and, unless the voucher is the pin, "If-Range:
// <validator>", each ending in CR LF; false when they do not fit in cchText characters.
bool FormatRangeRequest(wchar_t *text, size_t cchText, uint32_t from, const wchar_t *validator, KEPT_VOUCHER voucher);

enum ANSWER_VERDICT {
    VERDICT_FULL_BODY,       // another body from its first byte: it replaces what is kept once
                             // its first bytes pass the package check
    VERDICT_CONTINUE,        // exactly the rest of the package whose first received bytes are kept
    VERDICT_READ_PAST_KEPT,  // the whole of the package that is kept: its body is read past them
    VERDICT_START_OVER,      // a range answered otherwise: the next try asks for all of it
    VERDICT_RETRY,           // the server asks to come back later
    VERDICT_FAIL,            // no package here: an error status, no usable length, a stray 206
};

// What an answer means when received bytes of a total-byte package are kept under validator,
// and the request carried a range unless the voucher is none. Only FULL_BODY may cost kept
// bytes.
ANSWER_VERDICT JudgeAnswer(const ANSWER *answer, uint32_t received, uint32_t total, const wchar_t *validator,
                           KEPT_VOUCHER voucher);

// Free space a body must leave on the package's volume, whatever its length says.
const uint64_t CB_VOLUME_MARGIN = 16 * 1024 * 1024;

// The bytes following the verdict adds to the disk: a whole body, or the rest after what is kept.
uint32_t BytesToWrite(ANSWER_VERDICT verdict, const ANSWER *answer, uint32_t received);

// cbToWrite more bytes fit in cbAvailable, the volume's free space (and what a new body frees),
// with the margin to spare: a length the volume cannot hold is refused before it costs a byte.
bool FitsOnVolume(uint64_t cbAvailable, uint32_t cbToWrite);

// Where the kept bytes came from and what they are.
struct RESUME_STATE {
    wchar_t ServerScheme[SETTINGS_CCH_TEXT];
    wchar_t ServerAddress[SETTINGS_CCH_TEXT];
    int32_t ServerPort;
    wchar_t MsiServerPath[SETTINGS_CCH_TEXT];
    wchar_t validator[CCH_VALIDATOR];
    uint32_t total;
    uint32_t received;  // bytes known to be on disk; all of them for a package that could not
                        // take its name, which needs no validator then
    bool hasSha256;     // the SHA-256 the bytes are checked against (a pin or the publisher's
    uint8_t sha256[CB_SHA256];  // signature), where one was known: states without it read too
};

// The state's text is never longer than this.
enum { RESUME_CB_TEXT = 3072 };

// Writes the state as "key=value" lines into text; the count of bytes written, or 0 when a
// value cannot be written as single-byte text that reads back the same.
size_t FormatResumeState(char *text, size_t cbText, const RESUME_STATE *state);

// Reads what FormatResumeState wrote. False for anything else: a key missing, a number that
// is not plain decimal, received beyond total, an unusable validator.
bool ParseResumeState(const char *text, size_t cb, RESUME_STATE *state);

// Names the scheme and path of these settings, and the host the bytes came from.
void SetSource(RESUME_STATE *state, const BOOTSTRAP_SETTINGS *settings, const SERVER *server);

// The index in servers of the host the state's bytes came from; -1 when the state is for
// another scheme or path, or names no host of the list.
int32_t SourceOf(const RESUME_STATE *state, const BOOTSTRAP_SETTINGS *settings, const SERVER_LIST *servers);
