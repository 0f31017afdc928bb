// Everything about kept bytes: the lines that ask for the rest of the package, what an answer
// means for the bytes kept, and the text of what a later run needs to resume. No platform calls.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "HeaderScan.h"
#include "settings/Settings.h"

// A request asks only for the rest when bytes are kept and a validator vouches for them.
bool AsksForRange(uint32_t received, const wchar_t *validator);

// The request lines "Range: bytes=<from>-" and "If-Range: <validator>", each ending in CR LF;
// false when they do not fit in cchText characters.
bool FormatRangeRequest(wchar_t *text, size_t cchText, uint32_t from, const wchar_t *validator);

enum ANSWER_VERDICT {
    VERDICT_FULL_BODY,       // another body from its first byte: it replaces what is kept once
                             // its first bytes pass the package check
    VERDICT_CONTINUE,        // exactly the rest of the package whose first received bytes are kept
    VERDICT_READ_PAST_KEPT,  // the whole of the package that is kept: its body is read past them
    VERDICT_START_OVER,      // a range answered otherwise: the next try asks for all of it
    VERDICT_RETRY,           // the server asks to come back later
    VERDICT_FAIL,            // no package here: an error status, no usable length, a stray 206
};

// What an answer means when received bytes of a total-byte package are kept under validator
// (empty: none, and then the request carried no range). Only FULL_BODY may cost kept bytes.
ANSWER_VERDICT JudgeAnswer(const ANSWER *answer, uint32_t received, uint32_t total, const wchar_t *validator);

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
};

// The state's text is never longer than this.
enum { RESUME_CB_TEXT = 3072 };

// Writes the state as "key=value" lines into text; the count of bytes written, or 0 when a
// value cannot be written as single-byte text that reads back the same.
size_t FormatResumeState(char *text, size_t cbText, const RESUME_STATE *state);

// Reads what FormatResumeState wrote. False for anything else: a key missing, a number that
// is not plain decimal, received beyond total, an unusable validator.
bool ParseResumeState(const char *text, size_t cb, RESUME_STATE *state);

// Names the scheme, server, port and path of these settings as the source of the state.
void SetSource(RESUME_STATE *state, const BOOTSTRAP_SETTINGS *settings);

// True when the state names the scheme, server, port and path of these settings.
bool IsSameSource(const RESUME_STATE *state, const BOOTSTRAP_SETTINGS *settings);
