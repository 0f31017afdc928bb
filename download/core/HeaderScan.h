// Reading the raw response headers (lines ending in CR LF, status line first). No platform calls.
#pragma once

#include <stddef.h>
#include <stdint.h>

// A validator holds this many characters, terminator included; a longer one is none.
enum { CCH_VALIDATOR = 128 };
// Retry-After absent or not in seconds.
const uint32_t NO_RETRY_AFTER = UINT32_MAX;
// The longest wait, in seconds, that a Retry-After is honoured with.
const uint32_t MAX_RETRY_AFTER = 60;

// True for a validator that may go back out in a request line: 1 to CCH_VALIDATOR - 1
// characters, each printable ASCII.
bool IsValidatorText(const wchar_t *text, size_t cch);

// What the transfer needs to know of one answer.
struct ANSWER {
    int32_t status;   // the three-digit code, 0 when the status line has none
    // From the Content-Length lines after the status line (the name in any letter case, blanks
    // after the colon optional): 0 when there is none, it carries no number, the number does
    // not fit in 32 bits, or two such lines disagree.
    uint32_t length;
    bool hasRange;    // a "Content-Range: bytes first-last/total" that reads whole
    uint32_t rangeFirst;
    uint32_t rangeLast;
    uint32_t rangeTotal;
    // The strong ETag, else Last-Modified, as sent; empty when there is none usable (weak,
    // too long, or holding characters a request line must not carry).
    wchar_t validator[CCH_VALIDATOR];
    uint32_t retryAfter;  // seconds, cut to MAX_RETRY_AFTER, or NO_RETRY_AFTER
};

// Fills answer from the header text (at most cchHeaders characters or to a zero), in one pass.
// Header names are matched without regard to letter case; where a header other than
// Content-Length comes twice, the first counts.
void ScanAnswer(const wchar_t *headers, size_t cchHeaders, ANSWER *answer);
