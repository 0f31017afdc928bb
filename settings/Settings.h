// The settings that direct the download, and their loader.
#pragma once

#include <stdint.h>

// Text fields hold this many wide characters, terminator included; the mirror list more.
enum { SETTINGS_CCH_TEXT = 260, SETTINGS_CCH_MIRRORS = 260 };

// Field names match the keys of the settings file.
struct BOOTSTRAP_SETTINGS {
    wchar_t ServerAddress[SETTINGS_CCH_TEXT];
    int32_t ServerPort;  // only the low 16 bits reach the connection
    wchar_t MsiServerPath[SETTINGS_CCH_TEXT];
    wchar_t MsiLocalPath[SETTINGS_CCH_TEXT];
    wchar_t MsiSha256[SETTINGS_CCH_TEXT];  // hex SHA-256 the package must have; empty: no pin
    wchar_t ServerScheme[SETTINGS_CCH_TEXT];  // "http" or "https", any letter case
    // Further hosts with the same scheme and path: "host[:port]" separated by commas; empty: none.
    wchar_t ServerMirrors[SETTINGS_CCH_MIRRORS];
};

// Process-wide; written only by LoadSettings before the worker starts, read-only afterwards.
extern BOOTSTRAP_SETTINGS BootstrapSettings;

// Reads "LumvexInstallerConfig.ini" from the working directory over the defaults.
// Never fails: a missing or unreadable file leaves the defaults. UI thread, once, first.
void LoadSettings();
