#include "Transfer.h"

#include "core/Transfer.h"

DWORD DownloadInstaller(HANDLE *phPackage)
{
    PLATFORM_FILE *held = NULL;
    DWORD result = RunTransfer(&held);
    // The platform's file is its handle.
    if (phPackage != NULL)
        *phPackage = held != NULL ? (HANDLE)held : INVALID_HANDLE_VALUE;
    else if (held != NULL)
        PlatformClose(held);
    return result;
}
