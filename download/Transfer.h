// The transfer of the package into PackagePath, run over the Win32 layer's platform.
#pragma once

#include <windows.h>

// RunTransfer (core/Transfer.h, which says what it fetches, keeps and returns) over WinHTTP,
// the file system and CryptoAPI. With phPackage, *phPackage then holds the package open for
// reading, others allowed only to read it, for the caller to close (INVALID_HANDLE_VALUE when
// it is not held); without it, the held package is closed here.
// Worker thread; releases every other handle and buffer before it returns.
DWORD DownloadInstaller(HANDLE *phPackage = NULL);
