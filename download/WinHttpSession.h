// A WinHTTP session with the time-outs every request of the transfer has. Worker thread only.
#pragma once

#include <windows.h>
#include <winhttp.h>

// A session of this access type (and proxy, for WINHTTP_ACCESS_TYPE_NAMED_PROXY): its resolve
// and connect time-outs, at most two of a name's addresses, 30 s for each send and read. NULL,
// with the last error set, when it cannot be opened; the caller closes it.
HINTERNET OpenTimedSession(DWORD accessType, const wchar_t *proxy);
