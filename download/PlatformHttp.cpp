// The transfer's requests over WinHTTP: each GET on a session and connection of its own, its
// answer's head awaited on a thread of its own, its body read a piece at a time.
#include "core/TransferPlatform.h"

#include "WinHttpSession.h"
#include "core/RetryPolicy.h"
#include "platform/SystemLibraries.h"
#include "text/PlainText.h"

static const DWORD TLS_1_0_TO_1_2 =
    WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
// Set explicitly: some systems' own defaults wait for ever on a name lookup. The connect time-out
// holds for each address of a name, and the client tries several: two of them, so that behind
// a firewall that drops packets a try costs the same 20 s whatever the name's addresses.
static const int MS_RESOLVE_TIMEOUT = 15000;
static const int MS_CONNECT_TIMEOUT = 10000;
static const DWORD CONNECT_ADDRESSES = 2;
// A package's answer has a head of a few hundred bytes; a server's cookies may add some KiB.
static const DWORD CB_HEAD_MAX = 32 * 1024;

typedef LONG(WINAPI *RTL_GET_VERSION)(OSVERSIONINFOW *version);

struct PLATFORM_REQUEST {
    HINTERNET hSession;
    HINTERNET hConnect;
    HINTERNET hRequest;
};

HINTERNET OpenTimedSession(DWORD accessType, const wchar_t *proxy)
{
    HINTERNET hSession = WinHttp.Open(L"", accessType, proxy, WINHTTP_NO_PROXY_BYPASS, 0);
    DWORD addresses = CONNECT_ADDRESSES;
    if (hSession != NULL) {
        WinHttp.SetTimeouts(hSession, MS_RESOLVE_TIMEOUT, MS_CONNECT_TIMEOUT, MS_SEND_RECEIVE_TIMEOUT,
                            MS_SEND_RECEIVE_TIMEOUT);
        WinHttp.SetOption(hSession, WINHTTP_OPTION_CONNECT_RETRIES, &addresses, sizeof(addresses));
    }
    return hSession;
}

// By the system's real version: GetVersionEx reports 6.2 on every later system to a program
// whose manifest does not name them. Without RtlGetVersion the system is older than any that
// needs no asking.
static bool SystemAsksForTls12()
{
    OSVERSIONINFOW version;
    ZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    HMODULE hNtdll = GetModuleHandleW(L"ntdll.dll");
    RTL_GET_VERSION getVersion =
        hNtdll != NULL ? (RTL_GET_VERSION)(void *)GetProcAddress(hNtdll, "RtlGetVersion") : NULL;
    return getVersion == NULL || getVersion(&version) != 0 ||
           AsksForTls12(version.dwMajorVersion, version.dwMinorVersion);
}

// A session by the way the request takes, with the run's time-outs (at most two of a name's
// addresses tried, so that a try's bound holds whatever the name's addresses) and TLS 1.2 asked
// for where the system leaves it off.
static HINTERNET OpenSession(const ASK *ask)
{
    HINTERNET hSession = ask->proxy != NULL ? OpenTimedSession(WINHTTP_ACCESS_TYPE_NAMED_PROXY, ask->proxy)
                                            : OpenTimedSession(WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME);
    // Also for plain HTTP: the server may redirect to HTTPS. A system without TLS 1.2 refuses
    // the option and keeps its own protocols.
    DWORD protocols = TLS_1_0_TO_1_2;
    if (hSession != NULL && SystemAsksForTls12())
        WinHttp.SetOption(hSession, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols));
    return hSession;
}

// Read right after the failing call, before any cleanup can overwrite it. A failure must never
// read as success, should the platform leave no code.
static void Failed(ASKED *asked)
{
    DWORD error = GetLastError();
    asked->error = error != 0 ? error : 1;
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
    BOOL done;                   // written by the thread before it ends
    DWORD error;
    wchar_t url[CCH_ASKED_URL];  // where the last redirect led; empty: none; "?": a URL too long to say
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
        !CopyText(exchange->url, CCH_ASKED_URL, (const wchar_t *)information))
        CopyText(exchange->url, CCH_ASKED_URL, L"?");
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
// request is closed, which ends the thread's wait where the client allows it, else the thread
// ends on its own. asked->url then says where the last redirect led.
static bool Exchange(PLATFORM_REQUEST *request, const wchar_t *headers, ASKED *asked)
{
    bool done = false;
    HANDLE hThread = NULL;
    EXCHANGE *exchange = (EXCHANGE *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(EXCHANGE));
    asked->url[0] = L'\0';
    if (exchange == NULL) {
        asked->error = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    exchange->references = 2;
    exchange->hRequest = request->hRequest;
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
        CopyText(asked->url, CCH_ASKED_URL, exchange->url);
        SetLastError(exchange->error);
        if (!done)
            Failed(asked);
    } else {
        CloseHandleOf(&request->hRequest);
        asked->error = ERROR_WINHTTP_TIMEOUT;
        asked->timedOut = true;
    }
    if (hThread != NULL)
        CloseHandle(hThread);
    ReleaseExchange(exchange);
    return done;
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

// The head of the answer that came, scanned, and what a demand for a logon offers.
static bool ReceiveAnswer(HINTERNET hRequest, ASKED *asked)
{
    wchar_t *headers = NULL;
    DWORD cbHeaders = 0;
    DWORD cchHeaders = 0;
    DWORD offered = 0;
    DWORD first = 0;
    DWORD target = 0;
    BOOL sized = WinHttp.QueryHeaders(hRequest, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, NULL,
                                      &cbHeaders, WINHTTP_NO_HEADER_INDEX);
    if (sized || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        Failed(asked);
        goto Cleanup;
    }
    // One spare character keeps the text terminated whatever the second query writes.
    cchHeaders = cbHeaders / sizeof(wchar_t);
    headers = (wchar_t *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (cchHeaders + 1) * sizeof(wchar_t));
    if (headers == NULL) {
        asked->error = ERROR_NOT_ENOUGH_MEMORY;
        goto Cleanup;
    }
    cbHeaders = cchHeaders * sizeof(wchar_t);
    if (!WinHttp.QueryHeaders(hRequest, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, headers,
                              &cbHeaders, WINHTTP_NO_HEADER_INDEX)) {
        Failed(asked);
        goto Cleanup;
    }
    ScanAnswer(headers, cchHeaders, &asked->answer);
    asked->answered = true;
    asked->certificateShown = ServerCertificateShown(hRequest);
    if (asked->answer.status == 407 && WinHttp.QueryAuthSchemes(hRequest, &offered, &first, &target)) {
        asked->logonsOffered = offered;
        asked->logonForProxy = target == WINHTTP_AUTH_TARGET_PROXY;
    }

Cleanup:
    if (headers != NULL)
        HeapFree(GetProcessHeap(), 0, headers);
    return asked->answered;
}

// The request once, from its sending to its answer's head.
static void Send(PLATFORM_REQUEST *request, const ASK *ask, ASKED *asked)
{
    ZeroMemory(asked, sizeof(*asked));
    if (Exchange(request, ask->headers, asked))
        ReceiveAnswer(request->hRequest, asked);
}

PLATFORM_REQUEST *PlatformAsk(const ASK *ask, ASKED *asked)
{
    PLATFORM_REQUEST *request =
        (PLATFORM_REQUEST *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(PLATFORM_REQUEST));
    // Where each redirect leads, for the answer's own route; unwatched, nowhere is known.
    bool opened = request != NULL && LoadWinHttp() && (request->hSession = OpenSession(ask)) != NULL &&
                  (request->hConnect = WinHttp.Connect(request->hSession, ask->host, ask->port, 0)) != NULL &&
                  (request->hRequest = WinHttp.OpenRequest(request->hConnect, L"GET", ask->path, NULL, WINHTTP_NO_REFERER,
                                                           WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                           ask->scheme == SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0)) != NULL;
    ZeroMemory(asked, sizeof(*asked));
    if (!opened) {
        Failed(asked);
    } else {
        // The client keeps at most this much of a head; some clients read what is sent regardless.
        DWORD cbHeadMax = CB_HEAD_MAX;
        WinHttp.SetOption(request->hRequest, WINHTTP_OPTION_MAX_RESPONSE_HEADER_SIZE, &cbHeadMax, sizeof(cbHeadMax));
        bool watched = WinHttp.SetStatusCallback(request->hRequest, NoteRedirect, WINHTTP_CALLBACK_FLAG_REDIRECT, 0) !=
                       WINHTTP_INVALID_STATUS_CALLBACK;
        Send(request, ask, asked);
        if (!watched)
            CopyText(asked->url, CCH_ASKED_URL, L"?");
    }
    return request;
}

bool PlatformAskWithLogon(PLATFORM_REQUEST *request, const ASK *ask, uint32_t scheme, ASKED *asked)
{
    // The documented way to the user's own logon: the client may send it to any host (the proxy
    // is not on the intranet list), with no name and password of the program's.
    DWORD policy = WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW;
    bool set = request->hRequest != NULL &&
               WinHttp.SetOption(request->hRequest, WINHTTP_OPTION_AUTOLOGON_POLICY, &policy, sizeof(policy)) &&
               WinHttp.SetCredentials(request->hRequest, WINHTTP_AUTH_TARGET_PROXY, scheme, NULL, NULL, NULL);
    if (set)
        Send(request, ask, asked);
    return set;
}

bool PlatformReadPiece(PLATFORM_REQUEST *request, uint32_t msWait, uint8_t *data, uint32_t cbMax, uint32_t *cbRead,
                       uint32_t *error)
{
    DWORD cbAvailable = 0;
    DWORD cbDone = 0;
    *cbRead = 0;
    // Set as time-outs, not as the one option: some clients take the option only for the next
    // connection.
    bool came = request->hRequest != NULL &&
                WinHttp.SetTimeouts(request->hRequest, MS_RESOLVE_TIMEOUT, MS_CONNECT_TIMEOUT, MS_SEND_RECEIVE_TIMEOUT,
                                    (int)msWait) &&
                WinHttp.QueryDataAvailable(request->hRequest, &cbAvailable);
    if (came && cbAvailable > 0) {
        came = WinHttp.ReadData(request->hRequest, data, cbAvailable < cbMax ? cbAvailable : cbMax, &cbDone) &&
               cbDone > 0;
        *cbRead = cbDone;
    }
    *error = came ? 0 : GetLastError();
    return came;
}

void PlatformCloseRequest(PLATFORM_REQUEST *request)
{
    CloseHandleOf(&request->hRequest);
    CloseHandleOf(&request->hConnect);
    CloseHandleOf(&request->hSession);
    HeapFree(GetProcessHeap(), 0, request);
}
