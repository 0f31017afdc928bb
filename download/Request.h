// One try's HTTP exchange with a host: session and connection by the try's route, then one
// GET after another on them. Worker thread only.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include "Route.h"
#include "core/HeaderScan.h"
#include "core/RetryPolicy.h"

struct HTTP_REQUEST {
    HINTERNET hSession;
    HINTERNET hConnect;
    HINTERNET hRequest;  // the GET under way, if any
};

// Session and connection for the route; false, with the platform's code in attempt, when
// they cannot be opened. CloseRequest is due either way.
bool OpenConnection(const ROUTE *route, HTTP_REQUEST *http, TRY_OUTCOME *attempt);

// Sends a GET for path with the extra header lines (NULL: none), after closing the one before;
// false, with the platform's code in attempt, when it cannot be sent.
bool SendGet(HTTP_REQUEST *http, const ROUTE *route, const wchar_t *path, const wchar_t *headers,
             TRY_OUTCOME *attempt);

// The final answer's headers (redirects are the client's), scanned into answer; attempt says
// that an answer came, or why none did.
bool ReceiveAnswer(HINTERNET hRequest, ANSWER *answer, TRY_OUTCOME *attempt);

// Reads exactly cb bytes of the body (a read may bring fewer than asked); false, and the try
// transient, when the body ends or breaks first.
bool ReadExactly(HINTERNET hRequest, BYTE *data, DWORD cb, TRY_OUTCOME *attempt);

// Closes whatever is open, request first.
void CloseRequest(HTTP_REQUEST *http);
