// The settings file is whatever sits beside the program, and the resume state whatever an
// earlier run (or anything else) left: any bytes at all must give terminated fields and
// nothing else, and a state only when it is one the program could have written.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <wchar.h>

#include "download/core/ResumePolicy.h"
#include "settings/SettingsParse.h"

// As a build without a pin reads the file: every key takes its value.
const bool MsiSha256BuiltIn = false;

static void RequireTerminated(const wchar_t *field, size_t cchField = SETTINGS_CCH_TEXT)
{
    for (size_t i = 0; i < cchField; ++i) {
        if (field[i] == L'\0')
            return;
        // Characters only: no surrogate, nothing beyond U+10FFFF.
        if ((unsigned)field[i] > 0x10FFFF || ((unsigned)field[i] >= 0xD800 && (unsigned)field[i] < 0xE000))
            abort();
    }
    abort();
}

// A code page of single bytes, as the reader's stand-in for the system's.
static bool ReadAsLatin1(const char *bytes, size_t cb, wchar_t *text, size_t cchText)
{
    size_t i = 0;
    for (; i + 1 < cchText && i < cb; ++i)
        text[i] = (wchar_t)(unsigned char)bytes[i];
    text[i] = L'\0';
    return i == cb;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    BOOTSTRAP_SETTINGS settings = {};
    // The exact size: a read past the text's end is a sanitizer error.
    char *text = (char *)malloc(size == 0 ? 1 : size);
    for (size_t i = 0; i < size; ++i)
        text[i] = (char)data[i];
    ApplySettingsText(&settings, text, size, ReadAsLatin1);
    RESUME_STATE state;
    bool parsed = ParseResumeState(text, size, &state);
    free(text);
    RequireTerminated(settings.ServerAddress);
    RequireTerminated(settings.MsiServerPath);
    RequireTerminated(settings.MsiLocalPath);
    RequireTerminated(settings.MsiSha256, SETTINGS_CCH_SHA256);
    RequireTerminated(settings.ServerScheme, SETTINGS_CCH_SCHEME);
    RequireTerminated(settings.ServerMirrors, SETTINGS_CCH_MIRRORS);
    // A mirror list reads within its bounds, whatever it says.
    SERVER_LIST servers;
    ListServers(&settings, &servers);
    if (servers.count < 1 || servers.count > MAX_SERVERS)
        abort();
    // A local path that reads as a package's ends in ".msi" and is no UNC or device path.
    size_t cchLocal = wcslen(settings.MsiLocalPath);
    if (IsPackagePath(settings.MsiLocalPath) &&
        (cchLocal < 4 || settings.MsiLocalPath[cchLocal - 4] != L'.' || settings.MsiLocalPath[0] == L'\\' ||
         settings.MsiLocalPath[0] == L'/'))
        abort();
    if (parsed) {
        RequireTerminated(state.ServerAddress);
        RequireTerminated(state.MsiServerPath);
        // No validator only for a whole package.
        size_t cchValidator = wcslen(state.validator);
        if (state.received > state.total || (cchValidator == 0 && state.received != state.total) ||
            (cchValidator != 0 && !IsValidatorText(state.validator, cchValidator)))
            abort();
        // What reads as a state is one the program writes back the same.
        char again[RESUME_CB_TEXT];
        size_t cbAgain = FormatResumeState(again, sizeof(again), &state);
        RESUME_STATE reread;
        if (cbAgain != 0 && (!ParseResumeState(again, cbAgain, &reread) ||
                             wcscmp(reread.ServerAddress, state.ServerAddress) != 0 ||
                             wcscmp(reread.MsiServerPath, state.MsiServerPath) != 0 ||
                             wcscmp(reread.validator, state.validator) != 0 || reread.received != state.received))
            abort();
    }
    return 0;
}
