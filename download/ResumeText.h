// The text of what a later run needs to resume, and the lines that ask for the rest of the
// package. No platform calls.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "HeaderScan.h"
#include "settings/Settings.h"

// Where the kept bytes came from and what they are.
struct RESUME_STATE {
    wchar_t ServerScheme[SETTINGS_CCH_TEXT];
    wchar_t ServerAddress[SETTINGS_CCH_TEXT];
    int32_t ServerPort;
    wchar_t MsiServerPath[SETTINGS_CCH_TEXT];
    wchar_t validator[CCH_VALIDATOR];
    uint32_t total;
    uint32_t received;  // bytes known to be on disk
};

// The state's text is never longer than this.
enum { RESUME_CB_TEXT = 3072 };

// Writes the state as "key=value" lines into text; the count of bytes written, or 0 when a
// value cannot be written as single-byte text that reads back the same.
size_t FormatResumeState(char *text, size_t cbText, const RESUME_STATE *state);

// Reads what FormatResumeState wrote. False for anything else: a key missing, a number that
// is not plain decimal, an unusable validator, received not below total.
bool ParseResumeState(const char *text, size_t cb, RESUME_STATE *state);

// Names the scheme, server, port and path of these settings as the source of the state.
void SetSource(RESUME_STATE *state, const BOOTSTRAP_SETTINGS *settings);

// True when the state names the scheme, server, port and path of these settings.
bool IsSameSource(const RESUME_STATE *state, const BOOTSTRAP_SETTINGS *settings);

// The request lines "Range: bytes=<from>-" and "If-Range: <validator>", each ending in CR LF;
// false when they do not fit in cchText characters.
bool FormatRangeRequest(wchar_t *text, size_t cchText, uint32_t from, const wchar_t *validator);
