// One try's HTTP exchange with a host: a session by the try's route, then one GET after another,
// each on a connection of its own. Worker thread only.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include "Route.h"
#include "core/HeaderScan.h"
#include "core/RetryPolicy.h"

struct HTTP_REQUEST {
    HINTERNET hSession;
    HINTERNET hConnect;  // the GET's own: a redirect it followed moves no other
    HINTERNET hRequest;  // the GET under way, if any
};

// The session for the route; false, with the platform's code in attempt, when it cannot be
// opened. CloseRequest is due either way.
bool OpenSessionFor(const ROUTE *route, HTTP_REQUEST *http, TRY_OUTCOME *attempt);

// Sends a GET for path with the extra header lines (NULL: none), on a connection of its own to
// the route's host after closing the request and connection before,
// and scans the final answer's headers into answer (redirects are the client's). A proxy that
// asks who the user is gets the user's own logon, once. False, attempt saying why, when no
// answer came; attempt says too whether the answer may come from something on the way.
bool AskFor(HTTP_REQUEST *http, const ROUTE *route, const wchar_t *path, const wchar_t *headers, ANSWER *answer,
            TRY_OUTCOME *attempt);

// Waits for the body's next piece no longer than the stall rule lets it take (nor the client's
// receive time-out), so that a short window ends the try at its end, whenever a piece would
// come; *cbAvailable then says how much is there, 0 at the body's end. False, the try transient
// (and stalled where the rule ended it), when none came.
bool AwaitPiece(HINTERNET hRequest, const STALL_WATCH *watch, DWORD *cbAvailable, TRY_OUTCOME *attempt);

// Reads exactly cb bytes of the body (a read may bring fewer than asked), the stall rule
// watching; false, and the try transient, when the body ends, breaks or stalls first.
bool ReadExactly(HINTERNET hRequest, BYTE *data, DWORD cb, STALL_WATCH *watch, TRY_OUTCOME *attempt);

// Closes whatever is open, request first.
void CloseRequest(HTTP_REQUEST *http);
