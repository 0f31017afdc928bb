// The settings that direct the download, and their loader.
#pragma once

#include <stdint.h>

// Text fields hold this many wide characters, terminator included. The pin and the scheme
// have short values only: their fields keep one character more than the longest, so that a
// longer value, cut, still reads as the wrong one.
enum { SETTINGS_CCH_TEXT = 260, SETTINGS_CCH_MIRRORS = 260, SETTINGS_CCH_SHA256 = 66, SETTINGS_CCH_SCHEME = 8 };

// Field names match the keys of the settings file.
struct BOOTSTRAP_SETTINGS {
    wchar_t ServerAddress[SETTINGS_CCH_TEXT];
    int32_t ServerPort;  // only the low 16 bits reach the connection
    wchar_t MsiServerPath[SETTINGS_CCH_TEXT];
    wchar_t MsiLocalPath[SETTINGS_CCH_TEXT];
    wchar_t MsiSha256[SETTINGS_CCH_SHA256];    // hex SHA-256 the package must have; empty: no pin
    wchar_t ServerScheme[SETTINGS_CCH_SCHEME];  // "http" or "https", any letter case
    // Further hosts with the same scheme and path: "host[:port]" separated by commas; empty: none.
    wchar_t ServerMirrors[SETTINGS_CCH_MIRRORS];
};

// Process-wide; written only by LoadSettings before the worker starts, read-only afterwards.
extern BOOTSTRAP_SETTINGS BootstrapSettings;

// The build carries a pin: a settings file, which sits wherever the program was started, can
// then neither clear nor replace it.
extern const bool MsiSha256BuiltIn;

// The longest full path the package may have, terminator included: its longest companion,
// "<path>.resume.new", must still fit in MAX_PATH.
enum { CCH_PACKAGE_PATH = 260 - 11 };

// The package's file by its full path, made once from MsiLocalPath and the working folder;
// empty when MsiLocalPath names no package's file (see IsPackagePath), the full path is longer
// than CCH_PACKAGE_PATH allows, or a folder has that name. Every file operation of the
// download and the shell use this, never a search. Written like BootstrapSettings.
extern wchar_t PackagePath[CCH_PACKAGE_PATH];

// Reads "LumvexInstallerConfig.ini" from the working directory over the defaults, then makes
// PackagePath. Never fails: a missing or unreadable file leaves the defaults. UI thread, once,
// first.
void LoadSettings();

// Makes PackagePath from MsiLocalPath as it stands; LoadSettings calls it.
void ResolvePackagePath();
