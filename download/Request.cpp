#include "Request.h"

#include "platform/SystemLibraries.h"

// Read right after the failing call, before any cleanup can overwrite it. A failure
// must never read as success, should the platform leave no code.
static void PlatformFailure(TRY_OUTCOME *attempt)
{
    DWORD error = GetLastError();
    attempt->result = error != 0 ? error : 1;
    attempt->transient = IsTransientError(attempt->result);
}

bool OpenConnection(const ROUTE *route, HTTP_REQUEST *http, TRY_OUTCOME *attempt)
{
    bool opened = LoadWinHttp() && (http->hSession = OpenSession(route)) != NULL &&
                  (http->hConnect = WinHttp.Connect(http->hSession, route->host, route->port, 0)) != NULL;
    if (!opened)
        PlatformFailure(attempt);
    return opened;
}

static void CloseHandleOf(HINTERNET *hInternet)
{
    if (*hInternet != NULL)
        WinHttp.CloseHandle(*hInternet);
    *hInternet = NULL;
}

static bool Send(HINTERNET hRequest, const wchar_t *headers, TRY_OUTCOME *attempt)
{
    bool sent = WinHttp.SendRequest(hRequest, headers != NULL ? headers : WINHTTP_NO_ADDITIONAL_HEADERS,
                                    headers != NULL ? (DWORD)-1L : 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
    if (!sent)
        PlatformFailure(attempt);
    return sent;
}

static bool ReceiveAnswer(HINTERNET hRequest, ANSWER *answer, TRY_OUTCOME *attempt)
{
    bool scanned = false;
    wchar_t *headers = NULL;
    DWORD cbHeaders = 0;
    DWORD cchHeaders;
    BOOL sized;
    // The receive's own code says whether the network may come back; the size query after a
    // failed receive would only say that no answer is there.
    if (!WinHttp.ReceiveResponse(hRequest, NULL)) {
        PlatformFailure(attempt);
        goto Cleanup;
    }
    attempt->answered = true;
    sized = WinHttp.QueryHeaders(hRequest, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, NULL,
                                 &cbHeaders, WINHTTP_NO_HEADER_INDEX);
    if (sized || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        PlatformFailure(attempt);
        goto Cleanup;
    }
    // One spare character keeps the text terminated whatever the second query writes.
    cchHeaders = cbHeaders / sizeof(wchar_t);
    headers = (wchar_t *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (cchHeaders + 1) * sizeof(wchar_t));
    if (headers == NULL) {
        attempt->local = true;
        goto Cleanup;
    }
    cbHeaders = cchHeaders * sizeof(wchar_t);
    if (!WinHttp.QueryHeaders(hRequest, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, headers,
                              &cbHeaders, WINHTTP_NO_HEADER_INDEX)) {
        PlatformFailure(attempt);
        goto Cleanup;
    }
    ScanAnswer(headers, cchHeaders, answer);
    attempt->retryAfter = answer->retryAfter;
    scanned = true;

Cleanup:
    if (headers != NULL)
        HeapFree(GetProcessHeap(), 0, headers);
    return scanned;
}

// The documented way to the user's own logon: the client may send it to any host (the proxy is
// not on the intranet list), with no name and password of the program's, under the strongest
// scheme the proxy offers. Basic and Digest would need a password nobody is asked for.
static bool LogOnToProxy(HINTERNET hRequest)
{
    DWORD offered = 0;
    DWORD first = 0;
    DWORD target = 0;
    DWORD policy = WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW;
    DWORD scheme = 0;
    return WinHttp.QueryAuthSchemes(hRequest, &offered, &first, &target) && target == WINHTTP_AUTH_TARGET_PROXY &&
           (scheme = ProxyLogonScheme(offered)) != 0 &&
           WinHttp.SetOption(hRequest, WINHTTP_OPTION_AUTOLOGON_POLICY, &policy, sizeof(policy)) &&
           WinHttp.SetCredentials(hRequest, WINHTTP_AUTH_TARGET_PROXY, scheme, NULL, NULL, NULL);
}

bool AskFor(HTTP_REQUEST *http, const ROUTE *route, const wchar_t *path, const wchar_t *headers, ANSWER *answer,
            TRY_OUTCOME *attempt)
{
    CloseHandleOf(&http->hRequest);
    http->hRequest = WinHttp.OpenRequest(http->hConnect, L"GET", path, NULL, WINHTTP_NO_REFERER,
                                         WINHTTP_DEFAULT_ACCEPT_TYPES,
                                         route->scheme == SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
    if (http->hRequest == NULL)
        PlatformFailure(attempt);
    bool answered = http->hRequest != NULL && Send(http->hRequest, headers, attempt) &&
                    ReceiveAnswer(http->hRequest, answer, attempt);
    // Once: a proxy that still asks has refused the user.
    if (answered && answer->status == 407 && LogOnToProxy(http->hRequest))
        answered = Send(http->hRequest, headers, attempt) && ReceiveAnswer(http->hRequest, answer, attempt);
    attempt->refusedRoute = answered && RefusesRoute(answer->status);
    return answered;
}

bool ReadExactly(HINTERNET hRequest, BYTE *data, DWORD cb, STALL_WATCH *watch, uint32_t *cbTry, TRY_OUTCOME *attempt)
{
    DWORD cbGot = 0;
    DWORD cbAvailable = 0;
    DWORD cbRead = 0;
    bool stalled = false;
    // Only what has arrived is read: a read for more waits for all of it, and the stall rule
    // would look on while a trickle fills it.
    while (cbGot < cb && !stalled && WinHttp.QueryDataAvailable(hRequest, &cbAvailable) && cbAvailable > 0 &&
           WinHttp.ReadData(hRequest, data + cbGot, cbAvailable < cb - cbGot ? cbAvailable : cb - cbGot, &cbRead) &&
           cbRead > 0) {
        cbGot += cbRead;
        *cbTry += cbRead;
        stalled = cbGot < cb && IsStalled(watch, GetTickCount(), *cbTry);
    }
    if (cbGot < cb) {
        attempt->transient = true;
        attempt->stalled = stalled;
    }
    return cbGot == cb;
}

void CloseRequest(HTTP_REQUEST *http)
{
    CloseHandleOf(&http->hRequest);
    CloseHandleOf(&http->hConnect);
    CloseHandleOf(&http->hSession);
}
