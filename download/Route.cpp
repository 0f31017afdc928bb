#include "Route.h"

#include "platform/SystemLibraries.h"

static const DWORD TLS_1_0_TO_1_2 =
    WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
enum { CCH_URL = 3 * SETTINGS_CCH_TEXT };

void BeginRoute(ROUTE *route)
{
    ZeroMemory(route, sizeof(*route));
    route->scheme = ParseScheme(BootstrapSettings.ServerScheme);
    route->port = PortFor(route->scheme, BootstrapSettings.ServerPort);
}

static bool SystemAsksForTls12()
{
    OSVERSIONINFOW version;
    ZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    return GetVersionExW(&version) && AsksForTls12(version.dwMajorVersion, version.dwMinorVersion);
}

HINTERNET OpenSession(const ROUTE *route)
{
    HINTERNET hSession =
        route->viaProxy
            ? WinHttp.Open(L"", WINHTTP_ACCESS_TYPE_NAMED_PROXY, route->proxy, WINHTTP_NO_PROXY_BYPASS, 0)
            : WinHttp.Open(L"", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
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

// What a proxy script, or the one automatic detection finds, says for the package's URL.
static bool ProxyFromScript(ROUTE *route, const wchar_t *scriptUrl)
{
    bool found = false;
    wchar_t url[CCH_URL];
    bool secure = route->scheme == SCHEME_HTTPS;
    HINTERNET hSession = NULL;
    WINHTTP_AUTOPROXY_OPTIONS options;
    WINHTTP_PROXY_INFO info;
    ZeroMemory(&options, sizeof(options));
    ZeroMemory(&info, sizeof(info));
    options.dwFlags = scriptUrl != NULL ? WINHTTP_AUTOPROXY_CONFIG_URL : WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = scriptUrl != NULL ? 0 : WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    options.lpszAutoConfigUrl = scriptUrl;
    if (FormatUrl(url, CCH_URL, secure, BootstrapSettings.ServerAddress, route->port, BootstrapSettings.MsiServerPath) &&
        (hSession = WinHttp.Open(L"", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0)) !=
            NULL &&
        WinHttp.GetProxyForUrl(hSession, url, &options, &info) && info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY)
        found = ChooseProxy(info.lpszProxy, info.lpszProxyBypass, secure, BootstrapSettings.ServerAddress, route->proxy,
                            SETTINGS_CCH_TEXT);
    FreeText(info.lpszProxy);
    FreeText(info.lpszProxyBypass);
    if (hSession != NULL)
        WinHttp.CloseHandle(hSession);
    return found;
}

bool TakeUserProxy(ROUTE *route)
{
    bool found = false;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config;
    ZeroMemory(&config, sizeof(config));
    if (!route->answered && !route->userProxyRead && WinHttp.GetIEProxyConfigForCurrentUser(&config)) {
        // Not every client takes a script and detection in one question: the script first.
        if (config.lpszAutoConfigUrl != NULL)
            found = ProxyFromScript(route, config.lpszAutoConfigUrl);
        if (!found && config.fAutoDetect)
            found = ProxyFromScript(route, NULL);
        if (!found && config.lpszProxy != NULL)
            found = ChooseProxy(config.lpszProxy, config.lpszProxyBypass, route->scheme == SCHEME_HTTPS,
                                BootstrapSettings.ServerAddress, route->proxy, SETTINGS_CCH_TEXT);
    }
    route->userProxyRead = true;
    route->viaProxy = route->viaProxy || found;
    FreeText(config.lpszAutoConfigUrl);
    FreeText(config.lpszProxy);
    FreeText(config.lpszProxyBypass);
    return found;
}
