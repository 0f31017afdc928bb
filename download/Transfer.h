// The HTTP transfer of the package into MsiLocalPath.
#pragma once

#include <windows.h>

// Fetches MsiServerPath from the main server or a mirror, by the client's route or the user's
// proxy; the body goes to "<MsiLocalPath>.part", which replaces MsiLocalPath only through one
// gate: a 2xx answer, exactly Content-Length bytes, a ".msi" name received a package, and the
// whole body matches MsiSha256 when that is set and the publisher's signature when the build
// carries package keys.
// Returns 0 on success; the platform's error code when the request or the response headers
// fail; 1 for every later failure. A failed run leaves only what a later run can resume: the
// .part and its state while a validator vouches for the bytes, and whatever an earlier run
// left unless this run's server showed another package.
// Worker thread; releases every handle and buffer before it returns.
DWORD DownloadInstaller();
