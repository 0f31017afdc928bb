// Small pieces of wide-text handling the core shares. No platform calls.
#pragma once

#include <stddef.h>
#include <stdint.h>

// ASCII letters only: libraries disagree on the rest.
wchar_t FoldLower(wchar_t c);

// Just past the lower-case ASCII prefix at the start of [begin, end), letter case ignored;
// NULL when it is not there.
const wchar_t *AfterPrefixNoCase(const wchar_t *begin, const wchar_t *end, const wchar_t *lower);

// Appends part to text, which holds cchText characters, at *cch, keeping it terminated;
// false when it does not fit.
bool AppendText(wchar_t *text, size_t cchText, size_t *cch, const wchar_t *part);

// Appends the decimal digits of value in the same way.
bool AppendDecimal(wchar_t *text, size_t cchText, size_t *cch, uint32_t value);
