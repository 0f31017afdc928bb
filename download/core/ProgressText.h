// The size text and the percentage of the progress report. No platform calls.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The size field's text holds this many characters, terminator included.
enum { PROGRESS_CCH_TEXT = 128 };

// Writes "<received>M / <total>M" in megabytes of 1,048,576 bytes with two decimals, an exact
// half rounded away from zero (131,072 bytes give "0.13M"), into text (at least 32 characters).
void FormatSizeText(wchar_t *text, size_t cchText, uint32_t received, uint32_t total);

// received x 100 / total, truncated and not capped at 100 (saturating at INT32_MAX, so the
// bar never reads a negative position). total must not be 0.
int32_t ProgressPercent(uint32_t received, uint32_t total);
