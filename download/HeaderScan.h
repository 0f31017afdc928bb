// Reading the raw response headers (lines ending in CR LF, status line first). No platform calls.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The length from the "Content-Length:" lines after the status line (name matched exactly,
// a blank before the number), or 0 when there is none, it carries no number, the number does
// not fit in 32 bits, or two such lines disagree. Reads at most cchHeaders characters or to
// a zero.
uint32_t FindContentLength(const wchar_t *headers, size_t cchHeaders);

// True when the status line carries a 2xx code.
bool IsSuccessStatus(const wchar_t *headers, size_t cchHeaders);
