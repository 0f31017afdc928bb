// The small rules of text the core shares, said once: which characters are blank, ASCII case
// folding, where a text ends, bounded copies, decimal digits, a walker over the pieces of a
// list and UTF-8. Bytes go in as unsigned char, wide characters as they are. No platform calls.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The C locale's white space: space, tab, LF, VT, FF, CR; nothing above 0x7F.
bool IsBlank(uint32_t c);

bool IsDigit(uint32_t c);

// ASCII letters only: libraries disagree on the rest.
uint32_t FoldLower(uint32_t c);
uint32_t FoldUpper(uint32_t c);

// The characters of text before its zero, or cchMax when none comes sooner.
size_t TextLength(const wchar_t *text, size_t cchMax);

// The zero that ends text.
const wchar_t *TextEnd(const wchar_t *text);

// Just past the lower-case ASCII prefix at the start of [begin, end), letter case ignored;
// NULL when it is not there.
const wchar_t *AfterPrefixNoCase(const wchar_t *begin, const wchar_t *end, const wchar_t *lower);

// [begin, end) is the lower-case ASCII text, letter case ignored.
bool EqualsNoCase(const wchar_t *begin, const wchar_t *end, const wchar_t *lower);

// A piece of a text: [begin, end).
struct SPAN {
    const wchar_t *begin;
    const wchar_t *end;
};

// [begin, end) without the blanks at either end.
SPAN TrimBlanks(const wchar_t *begin, const wchar_t *end);

// Steps *cursor to the next piece of [*cursor, limit) between any of the separators; runs of
// separators make no empty pieces. False when no piece is left.
bool NextPiece(const wchar_t **cursor, const wchar_t *limit, const wchar_t *separators, SPAN *piece);

// Copies [begin, end) into a field of cchField characters, always terminated; false, with the
// copy cut, when it does not fit.
bool CopySpan(wchar_t *field, size_t cchField, const wchar_t *begin, const wchar_t *end);

// The same for a terminated text.
bool CopyText(wchar_t *field, size_t cchField, const wchar_t *text);

// Appends part to text, which holds cchText characters, at *cch, keeping it terminated; false
// when it does not fit.
bool AppendText(wchar_t *text, size_t cchText, size_t *cch, const wchar_t *part);

// Appends the decimal digits of value in the same way.
bool AppendDecimal(wchar_t *text, size_t cchText, size_t *cch, uint32_t value);

// Writes the decimal digits of value, most significant first, into digits; returns their count.
size_t DecimalDigits(uint32_t value, char digits[10]);

// UTF-8, read strictly: the shortest form of a character up to U+10FFFF that is no surrogate.
// Reads the character at *cursor, before end, and steps past it; false, *cursor unchanged,
// when the bytes there are no such character.
bool NextUtf8(const char **cursor, const char *end, uint32_t *c);

// The UTF-8 bytes of c; 0 for a surrogate or a value beyond U+10FFFF.
size_t Utf8Bytes(uint32_t c, char bytes[4]);

// The character at *cursor of a wide text, a surrogate pair joined where wchar_t has 16 bits
// (a lone half comes back as it is), and steps past it.
uint32_t NextWide(const wchar_t **cursor);

// Appends c as one wide character, or a surrogate pair where wchar_t has 16 bits, keeping text
// terminated; false, text unchanged, when it does not fit in cchText characters.
bool AppendCharacter(wchar_t *text, size_t cchText, size_t *cch, uint32_t c);
