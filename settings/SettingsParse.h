// Turning the bytes of the settings file into settings values. No platform calls.
#pragma once

#include <stddef.h>

#include "Settings.h"

// Only this many bytes of the settings file count; the rest is ignored.
enum { SETTINGS_CB_MAX = 8191 };

// Cuts C-locale white space from both ends in place; returns the first byte that is not
// white space (the terminator when nothing is left).
char *TrimSpaces(char *text);

// 0 when a and b are equal with ASCII letters folded to upper case, else the difference of
// the first differing folded bytes as unsigned values. Looks at no more than 8192 positions.
int CompareNoCase(const char *a, const char *b);

// atoi over C-locale text: blanks, an optional sign, decimal digits up to the first other
// byte; no digits gives 0; values beyond 32 bits saturate.
int32_t ParseDecimalInt32(const char *text);

// Reads bytes that are no UTF-8 as the system's code page does (936 on Simplified Chinese
// Windows) into text, cut to cchText - 1 characters and terminated; false when they were cut
// or do not read in it (text then empty).
typedef bool (*CODE_PAGE_READER)(const char *bytes, size_t cb, wchar_t *text, size_t cchText);

// Stores value in a field of cchField characters, always terminated: read as UTF-8 where it is
// UTF-8 (ASCII included), else by readCodePage (NULL: it does not read). True when the whole
// value was stored; a longer value is cut, one that does not read leaves the field empty.
bool StoreSettingText(wchar_t *field, size_t cchField, const char *value, CODE_PAGE_READER readCodePage);

typedef void (*SETTINGS_LINE_VISITOR)(void *context, const char *key, const char *value);

// Calls visit for every line among the first SETTINGS_CB_MAX bytes of text that has an "=",
// with the parts before and after the first one, blanks cut from both ends. Lines end at LF;
// a zero byte ends a line's text.
void ForEachSettingsLine(const char *text, size_t cb, SETTINGS_LINE_VISITOR visit, void *context);

// True when path may name the package's file: relative ("LumvexSetup.msi", "sub\\x.msi",
// "..\\x.msi") or drive-absolute ("C:\\x.msi"), "\\" or "/" between names, ending in ".msi" in
// any letter case. Never a UNC, device or root-relative path, a drive-relative one ("C:x.msi"),
// a stream (":"), a character the system refuses in names, a "%" (a shell may read what
// follows as a variable), an empty name, one ending in a dot or a blank (but "." and ".."), or
// a name the system keeps for a device (NUL.msi, COM1.msi).
bool IsPackagePath(const wchar_t *path);

// True when the full path Windows will use for the package, in its long form, still names a
// ".msi" (an 8.3 alias stands for another name: VICTIM~1.MSI for victim.msix) and holds no "%"
// in any folder's name either.
bool IsPackageFullPath(const wchar_t *path);

// Applies the recognised "key=value" lines among the first SETTINGS_CB_MAX bytes of text
// over settings, values read as StoreSettingText reads them; unrecognised lines change
// nothing. A UTF-8 byte-order mark at the start is passed over.
void ApplySettingsText(BOOTSTRAP_SETTINGS *settings, const char *text, size_t cb, CODE_PAGE_READER readCodePage);
