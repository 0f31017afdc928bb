// The transfer of the package into PackagePath, run over the Win32 layer's platform.
#pragma once

#include <windows.h>

// RunTransfer (core/Transfer.h) over WinHTTP, the file system and CryptoAPI: fetches MsiServerPath from the main server or a mirror, by the client's route or the user's
// proxy; the body goes to "<PackagePath>.part", which replaces PackagePath only through one
// gate: a 2xx answer, exactly Content-Length bytes that start as a package does, and the whole
// body matches MsiSha256 when that is set and the publisher's signature when the build carries
// package keys. With phPackage, *phPackage then holds the package open for reading, others
// allowed only to read it, for the caller to close (INVALID_HANDLE_VALUE when it is not held).
// Returns 0 on success; the platform's error code when the request or the response headers
// fail; 1 for every later failure. A failed run leaves only what a later run can resume: the
// .part and its state while a validator vouches for the bytes, and whatever an earlier run
// left unless this run's server showed another package. Settings that do not read touch no
// file and send nothing.
// Worker thread; releases every other handle and buffer before it returns.
DWORD DownloadInstaller(HANDLE *phPackage = NULL);
