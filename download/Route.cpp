#include "Route.h"

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

typedef LONG(WINAPI *RTL_GET_VERSION)(OSVERSIONINFOW *version);

void BeginRoute(ROUTE *route, const SERVER *server)
{
    ZeroMemory(route, sizeof(*route));
    route->scheme = ParseScheme(BootstrapSettings.ServerScheme);
    route->host = server->host;
    route->port = PortFor(route->scheme, server->port);
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

bool SetReceiveTimeout(HINTERNET hRequest, DWORD msReceive)
{
    return WinHttp.SetTimeouts(hRequest, MS_RESOLVE_TIMEOUT, MS_CONNECT_TIMEOUT, MS_SEND_RECEIVE_TIMEOUT, (int)msReceive) !=
           FALSE;
}

static HINTERNET OpenTimedSession(DWORD accessType, const wchar_t *proxy)
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

HINTERNET OpenSession(const ROUTE *route)
{
    HINTERNET hSession = route->choice.viaProxy ? OpenTimedSession(WINHTTP_ACCESS_TYPE_NAMED_PROXY, route->proxy)
                                         : OpenTimedSession(WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME);
    // Also for plain HTTP: the server may redirect to HTTPS. A system without TLS 1.2 refuses
    // the option and keeps its own protocols.
    DWORD protocols = TLS_1_0_TO_1_2;
    if (hSession != NULL && SystemAsksForTls12())
        WinHttp.SetOption(hSession, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols));
    return hSession;
}

static void FreeText(wchar_t *text)
{
    if (text != NULL)
        GlobalFree(text);
}

// A proxy script or detection, asked on a thread of its own. Some systems run the script
// inside the process, where one that never ends would hold the worker for good.
struct PROXY_SEARCH {
    LONG references;  // the worker's and the search thread's; the last to let go frees it
    wchar_t host[SETTINGS_CCH_TEXT];
    bool secure;
    uint16_t port;
    bool autoDetect;
    bool found;  // written by the search thread before it ends
    wchar_t scriptUrl[CCH_URL];
    wchar_t proxy[SETTINGS_CCH_TEXT];
};

static void ReleaseSearch(PROXY_SEARCH *search)
{
    if (InterlockedDecrement(&search->references) == 0)
        HeapFree(GetProcessHeap(), 0, search);
}

// What a proxy script (or, with none, the one automatic detection) finds says for the
// package's URL.
static bool ProxyFromScript(PROXY_SEARCH *search, const wchar_t *scriptUrl)
{
    bool found = false;
    wchar_t url[CCH_URL];
    HINTERNET hSession = NULL;
    WINHTTP_AUTOPROXY_OPTIONS options;
    WINHTTP_PROXY_INFO info;
    ZeroMemory(&options, sizeof(options));
    ZeroMemory(&info, sizeof(info));
    options.dwFlags = scriptUrl != NULL ? WINHTTP_AUTOPROXY_CONFIG_URL : WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = scriptUrl != NULL ? 0 : WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    options.lpszAutoConfigUrl = scriptUrl;
    if (FormatUrl(url, CCH_URL, search->secure, search->host, search->port, BootstrapSettings.MsiServerPath) &&
        (hSession = OpenTimedSession(WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME)) != NULL &&
        WinHttp.GetProxyForUrl(hSession, url, &options, &info) && info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY)
        found = ChooseProxy(info.lpszProxy, info.lpszProxyBypass, search->secure, search->host, search->proxy,
                            SETTINGS_CCH_TEXT);
    FreeText(info.lpszProxy);
    FreeText(info.lpszProxyBypass);
    if (hSession != NULL)
        WinHttp.CloseHandle(hSession);
    return found;
}

static DWORD WINAPI SearchProxy(void *context)
{
    PROXY_SEARCH *search = (PROXY_SEARCH *)context;
    // Not every client takes a script and detection in one question: the script first.
    search->found = (search->scriptUrl[0] != L'\0' && ProxyFromScript(search, search->scriptUrl)) ||
                    (search->autoDetect && ProxyFromScript(search, NULL));
    ReleaseSearch(search);
    return 0;
}

// The search gets msProxySearch; one still running then is left to end on its own.
static bool SearchWithin(ROUTE *route, const WINHTTP_CURRENT_USER_IE_PROXY_CONFIG *config)
{
    bool found = false;
    PROXY_SEARCH *search = (PROXY_SEARCH *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(PROXY_SEARCH));
    if (search == NULL)
        return false;
    search->references = 2;
    CopyText(search->host, SETTINGS_CCH_TEXT, route->host);
    search->secure = route->scheme == SCHEME_HTTPS;
    search->port = route->port;
    search->autoDetect = config->fAutoDetect != FALSE;
    if (config->lpszAutoConfigUrl != NULL)
        CopyText(search->scriptUrl, CCH_URL, config->lpszAutoConfigUrl);
    HANDLE hThread = CreateThread(NULL, 0, SearchProxy, search, 0, NULL);
    if (hThread == NULL) {
        ReleaseSearch(search);
    } else {
        // The thread's end orders its writes before these reads.
        if (WaitForSingleObject(hThread, TransferTiming.msProxySearch) == WAIT_OBJECT_0 && search->found) {
            CopyText(route->proxy, SETTINGS_CCH_TEXT, search->proxy);
            found = true;
        }
        CloseHandle(hThread);
    }
    ReleaseSearch(search);
    return found;
}

// The user's proxy for this host, read once a host.
static void FindUserProxy(ROUTE *route)
{
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config;
    ZeroMemory(&config, sizeof(config));
    if (!route->userProxyRead && WinHttp.GetIEProxyConfigForCurrentUser(&config)) {
        bool found = false;
        if (config.lpszAutoConfigUrl != NULL || config.fAutoDetect)
            found = SearchWithin(route, &config);
        if (!found && config.lpszProxy != NULL)
            found = ChooseProxy(config.lpszProxy, config.lpszProxyBypass, route->scheme == SCHEME_HTTPS, route->host,
                                route->proxy, SETTINGS_CCH_TEXT);
        route->choice.haveProxy = found;
    }
    route->userProxyRead = true;
    FreeText(config.lpszAutoConfigUrl);
    FreeText(config.lpszProxy);
    FreeText(config.lpszProxyBypass);
}

bool TakeUserProxy(ROUTE *route)
{
    if (route->userProxyRead || route->choice.answered)
        return false;
    FindUserProxy(route);
    return TurnToProxy(&route->choice);
}

bool TakeOtherRoute(ROUTE *route)
{
    FindUserProxy(route);
    return TurnFromRefusal(&route->choice);
}

void SwitchRoute(ROUTE *route)
{
    TurnForRetry(&route->choice);
}

bool ThroughProxy(const ROUTE *route, bool secure, const wchar_t *host)
{
    WINHTTP_PROXY_INFO info;
    wchar_t proxy[SETTINGS_CCH_TEXT];
    ZeroMemory(&info, sizeof(info));
    // The user's proxy takes every host of the session: it has no bypass list here.
    bool through = route->choice.viaProxy ||
                   (WinHttp.GetDefaultProxyConfiguration(&info) &&
                    info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY &&
                    ChooseProxy(info.lpszProxy, info.lpszProxyBypass, secure, host, proxy, SETTINGS_CCH_TEXT));
    FreeText(info.lpszProxy);
    FreeText(info.lpszProxyBypass);
    return through;
}
