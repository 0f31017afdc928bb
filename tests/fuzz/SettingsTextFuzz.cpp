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
        // Widened bytes only: nothing beyond 0xFF can appear.
        if ((unsigned)field[i] > 0xFF)
            abort();
    }
    abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    BOOTSTRAP_SETTINGS settings = {};
    // The exact size: a read past the text's end is a sanitizer error.
    char *text = (char *)malloc(size == 0 ? 1 : size);
    for (size_t i = 0; i < size; ++i)
        text[i] = (char)data[i];
    ApplySettingsText(&settings, text, size);
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
    }
    return 0;
}
