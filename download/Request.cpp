#include "Request.h"

#include "platform/SystemLibraries.h"
#include "text/PlainText.h"

// A package's answer has a head of a few hundred bytes; a server's cookies may add some KiB.
static const DWORD CB_HEAD_MAX = 32 * 1024;

// Read right after the failing call, before any cleanup can overwrite it. A failure
// must never read as success, should the platform leave no code.
static void PlatformFailure(TRY_OUTCOME *attempt)
{
    DWORD error = GetLastError();
    attempt->result = error != 0 ? error : 1;
    attempt->transient = IsTransientError(attempt->result);
}

bool OpenSessionFor(const ROUTE *route, HTTP_REQUEST *http, TRY_OUTCOME *attempt)
{
    bool opened = LoadWinHttp() && (http->hSession = OpenSession(route)) != NULL;
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

// A request sent and its answer's head awaited on a thread of their own, so that the worker
// waits for them only so long. The thread has its own copy of what it sends.
struct EXCHANGE {
    LONG references;  // the worker's and the thread's; the last to let go frees it
    HINTERNET hRequest;
    bool hasHeaders;
    wchar_t headers[CCH_VALIDATOR + 64];
    BOOL done;             // written by the thread before it ends
    DWORD error;
    wchar_t url[CCH_URL];  // where the last redirect led; empty: none; "?": a URL too long to say
};

static void ReleaseExchange(EXCHANGE *exchange)
{
    if (InterlockedDecrement(&exchange->references) == 0)
        HeapFree(GetProcessHeap(), 0, exchange);
}

// Called by the client, on the exchange's thread, for each redirect it follows.
static void CALLBACK NoteRedirect(HINTERNET hRequest, DWORD_PTR context, DWORD status, void *information,
                                  DWORD cchInformation)
{
    EXCHANGE *exchange = (EXCHANGE *)context;
    (void)hRequest;
    (void)cchInformation;
    if (status == WINHTTP_CALLBACK_STATUS_REDIRECT && exchange != NULL && information != NULL &&
        !CopyText(exchange->url, CCH_URL, (const wchar_t *)information))
        CopyText(exchange->url, CCH_URL, L"?");
}

static DWORD WINAPI ExchangeThread(void *context)
{
    EXCHANGE *exchange = (EXCHANGE *)context;
    const wchar_t *headers = exchange->hasHeaders ? exchange->headers : WINHTTP_NO_ADDITIONAL_HEADERS;
    exchange->done = WinHttp.SendRequest(exchange->hRequest, headers, exchange->hasHeaders ? (DWORD)-1L : 0,
                                         WINHTTP_NO_REQUEST_DATA, 0, 0, (DWORD_PTR)exchange) &&
                     WinHttp.ReceiveResponse(exchange->hRequest, NULL);
    exchange->error = GetLastError();
    ReleaseExchange(exchange);
    return 0;
}

// Sends the request and waits for its answer's whole head, redirects followed, within
// msAnswerWait: the client's time-outs hold for each step and each read only, and a server
// sending a line now and then would hold the try for as long as it likes. Past the wait the
// try ends as a stall does; the request is closed, which ends the thread's wait where the
// client allows it, else the thread ends on its own. url then says where the last redirect led.
static bool Exchange(HTTP_REQUEST *http, const wchar_t *headers, wchar_t *url, TRY_OUTCOME *attempt)
{
    bool done = false;
    HANDLE hThread = NULL;
    EXCHANGE *exchange = (EXCHANGE *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(EXCHANGE));
    url[0] = L'\0';
    attempt->local = exchange == NULL;
    if (exchange != NULL) {
        exchange->references = 2;
        exchange->hRequest = http->hRequest;
        exchange->hasHeaders = headers != NULL;
        if (headers != NULL)
            CopyText(exchange->headers, sizeof(exchange->headers) / sizeof(exchange->headers[0]), headers);
        hThread = CreateThread(NULL, 0, ExchangeThread, exchange, 0, NULL);
        // Without a thread of its own, the client's time-outs alone hold.
        if (hThread == NULL)
            ExchangeThread(exchange);
        if (hThread == NULL || WaitForSingleObject(hThread, TransferTiming.msAnswerWait) == WAIT_OBJECT_0) {
            // The thread's end orders its writes before these reads.
            done = exchange->done != FALSE;
            CopyText(url, CCH_URL, exchange->url);
            SetLastError(exchange->error);
            if (!done)
                PlatformFailure(attempt);
        } else {
            CloseHandleOf(&http->hRequest);
            attempt->result = ERROR_WINHTTP_TIMEOUT;
            attempt->transient = true;
            attempt->stalled = true;
        }
        if (hThread != NULL)
            CloseHandle(hThread);
        ReleaseExchange(exchange);
    }
    return done;
}

// The head of the answer that came, scanned.
static bool ReceiveAnswer(HINTERNET hRequest, ANSWER *answer, TRY_OUTCOME *attempt)
{
    bool scanned = false;
    wchar_t *headers = NULL;
    DWORD cbHeaders = 0;
    DWORD cchHeaders;
    BOOL sized;
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

// A server has shown its certificate: the request went inside a TLS tunnel, past any proxy.
static bool ServerCertificateShown(HINTERNET hRequest)
{
    WINHTTP_CERTIFICATE_INFO info;
    DWORD cb = sizeof(info);
    ZeroMemory(&info, sizeof(info));
    bool shown = WinHttp.QueryOption(hRequest, WINHTTP_OPTION_SECURITY_CERTIFICATE_STRUCT, &info, &cb) != FALSE;
    // The client's copies, ours to free.
    LocalFree(info.lpszSubjectInfo);
    LocalFree(info.lpszIssuerInfo);
    LocalFree(info.lpszProtocolName);
    LocalFree(info.lpszSignatureAlgName);
    LocalFree(info.lpszEncryptionAlgName);
    return shown;
}

// A proxy, not the server, asks who the user is: the request went through a proxy to the host
// the answer came from (redirects followed), and no server answered from inside a tunnel, where
// a proxy's own demand never comes.
static bool AnsweredByProxy(HINTERNET hRequest, const ROUTE *route, const wchar_t *url)
{
    bool secure = route->scheme == SCHEME_HTTPS;
    wchar_t host[SETTINGS_CCH_TEXT];
    bool known = url[0] == L'\0' ? CopyText(host, SETTINGS_CCH_TEXT, route->host)
                                 : ReadUrlHost(url, &secure, host, SETTINGS_CCH_TEXT);
    return known && !ServerCertificateShown(hRequest) && ThroughProxy(route, secure, host);
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
    wchar_t url[CCH_URL];
    CloseHandleOf(&http->hRequest);
    // Some clients move a connection to where its last redirect led: the next request would
    // go there, with the first path.
    CloseHandleOf(&http->hConnect);
    http->hConnect = WinHttp.Connect(http->hSession, route->host, route->port, 0);
    http->hRequest = http->hConnect == NULL ? NULL
                                            : WinHttp.OpenRequest(http->hConnect, L"GET", path, NULL, WINHTTP_NO_REFERER,
                                                                  WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                                  route->scheme == SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
    if (http->hRequest == NULL)
        PlatformFailure(attempt);
    // The client keeps at most this much of a head; some clients read what is sent regardless.
    DWORD cbHeadMax = CB_HEAD_MAX;
    if (http->hRequest != NULL)
        WinHttp.SetOption(http->hRequest, WINHTTP_OPTION_MAX_RESPONSE_HEADER_SIZE, &cbHeadMax, sizeof(cbHeadMax));
    // Where each redirect leads, for the answer's own route; unwatched, nowhere is known.
    bool watched = http->hRequest != NULL && WinHttp.SetStatusCallback(http->hRequest, NoteRedirect,
                                                                        WINHTTP_CALLBACK_FLAG_REDIRECT,
                                                                        0) != WINHTTP_INVALID_STATUS_CALLBACK;
    bool answered = http->hRequest != NULL && Exchange(http, headers, url, attempt) &&
                    ReceiveAnswer(http->hRequest, answer, attempt);
    // Once, and only where a proxy is on the way: a server that asks who the user is has refused
    // the way, and a proxy that still asks has refused the user.
    if (answered && answer->status == 407 && AnsweredByProxy(http->hRequest, route, watched ? url : L"?") &&
        LogOnToProxy(http->hRequest))
        answered = Exchange(http, headers, url, attempt) && ReceiveAnswer(http->hRequest, answer, attempt);
    attempt->refusedRoute = answered && RefusesRoute(answer->status);
    return answered;
}

bool AwaitPiece(HINTERNET hRequest, const STALL_WATCH *watch, DWORD *cbAvailable, TRY_OUTCOME *attempt)
{
    DWORD msWait = MsUntilStalled(watch, GetTickCount());
    bool rule = msWait < MS_SEND_RECEIVE_TIMEOUT;
    msWait = rule ? msWait : (DWORD)MS_SEND_RECEIVE_TIMEOUT;
    *cbAvailable = 0;
    // A client that kept its own time-out would only judge the window late, never wrongly.
    bool waited = msWait > 0 && SetReceiveTimeout(hRequest, msWait) && WinHttp.QueryDataAvailable(hRequest, cbAvailable);
    if (!waited) {
        attempt->transient = true;
        attempt->stalled = rule;
    }
    return waited;
}

bool ReadExactly(HINTERNET hRequest, BYTE *data, DWORD cb, STALL_WATCH *watch, TRY_OUTCOME *attempt)
{
    DWORD cbGot = 0;
    DWORD cbAvailable = 0;
    DWORD cbRead = 0;
    bool stalled = false;
    // Only what has arrived is read: a read for more waits for all of it, and the stall rule
    // would look on while a trickle fills it.
    while (cbGot < cb && !stalled && AwaitPiece(hRequest, watch, &cbAvailable, attempt) && cbAvailable > 0 &&
           WinHttp.ReadData(hRequest, data + cbGot, cbAvailable < cb - cbGot ? cbAvailable : cb - cbGot, &cbRead) &&
           cbRead > 0) {
        cbGot += cbRead;
        // Every piece counts for its window; the one that completes what was asked is never a stall.
        stalled = IsStalled(watch, GetTickCount(), cbRead) && cbGot < cb;
    }
    if (cbGot < cb) {
        attempt->transient = true;
        attempt->stalled = attempt->stalled || stalled;
    }
    return cbGot == cb;
}

void CloseRequest(HTTP_REQUEST *http)
{
    CloseHandleOf(&http->hRequest);
    CloseHandleOf(&http->hConnect);
    CloseHandleOf(&http->hSession);
}
