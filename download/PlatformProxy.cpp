// The user's proxy, from the user's Internet settings as a browser reads them, and the client's
// own, for the transfer.
#include "core/TransferPlatform.h"

#include "WinHttpSession.h"
#include "core/RetryPolicy.h"
#include "platform/SystemLibraries.h"
#include "settings/Settings.h"
#include "text/PlainText.h"

enum { CCH_URL = CCH_ASKED_URL };

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
    wchar_t path[SETTINGS_CCH_TEXT];
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
    if (FormatUrl(url, CCH_URL, search->secure, search->host, search->port, search->path) &&
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
static bool SearchWithin(PROXY_SEARCH *search, wchar_t *proxy, size_t cchProxy)
{
    bool found = false;
    HANDLE hThread = CreateThread(NULL, 0, SearchProxy, search, 0, NULL);
    if (hThread == NULL) {
        ReleaseSearch(search);
    } else {
        // The thread's end orders its writes before these reads.
        found = WaitForSingleObject(hThread, TransferTiming.msProxySearch) == WAIT_OBJECT_0 && search->found &&
                CopyText(proxy, cchProxy, search->proxy);
        CloseHandle(hThread);
    }
    return found;
}

bool PlatformUserProxy(SERVER_SCHEME scheme, const wchar_t *host, uint16_t port, const wchar_t *path, wchar_t *proxy,
                       size_t cchProxy)
{
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config;
    bool found = false;
    ZeroMemory(&config, sizeof(config));
    if (LoadWinHttp() && WinHttp.GetIEProxyConfigForCurrentUser(&config)) {
        PROXY_SEARCH *search = config.lpszAutoConfigUrl != NULL || config.fAutoDetect
                                   ? (PROXY_SEARCH *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(PROXY_SEARCH))
                                   : NULL;
        if (search != NULL) {
            search->references = 2;
            CopyText(search->host, SETTINGS_CCH_TEXT, host);
            CopyText(search->path, SETTINGS_CCH_TEXT, path);
            search->secure = scheme == SCHEME_HTTPS;
            search->port = port;
            search->autoDetect = config.fAutoDetect != FALSE;
            if (config.lpszAutoConfigUrl != NULL)
                CopyText(search->scriptUrl, CCH_URL, config.lpszAutoConfigUrl);
            found = SearchWithin(search, proxy, cchProxy);
            ReleaseSearch(search);
        }
        if (!found && config.lpszProxy != NULL)
            found = ChooseProxy(config.lpszProxy, config.lpszProxyBypass, scheme == SCHEME_HTTPS, host, proxy, cchProxy);
    }
    FreeText(config.lpszAutoConfigUrl);
    FreeText(config.lpszProxy);
    FreeText(config.lpszProxyBypass);
    return found;
}

bool PlatformClientProxies(bool secure, const wchar_t *host)
{
    WINHTTP_PROXY_INFO info;
    wchar_t proxy[SETTINGS_CCH_TEXT];
    ZeroMemory(&info, sizeof(info));
    bool through = LoadWinHttp() && WinHttp.GetDefaultProxyConfiguration(&info) &&
                   info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY &&
                   ChooseProxy(info.lpszProxy, info.lpszProxyBypass, secure, host, proxy, SETTINGS_CCH_TEXT);
    FreeText(info.lpszProxy);
    FreeText(info.lpszProxyBypass);
    return through;
}
