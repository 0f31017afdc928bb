// How the server is reached: the scheme and port, the TLS protocols to ask for, and which of
// the user's proxies serves a host. No platform calls.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum SERVER_SCHEME {
    SCHEME_INVALID,  // anything else: every download fails rather than go out unprotected
    SCHEME_HTTP,
    SCHEME_HTTPS,
};

// "http" or "https" in any letter case; anything else, the empty text included, is invalid.
SERVER_SCHEME ParseScheme(const wchar_t *text);

// The low 16 bits of the port setting; 0 stands for the scheme's own port, 80 or 443.
uint16_t PortFor(SERVER_SCHEME scheme, int32_t serverPort);

// True, for the system's real version, on a system that can speak TLS 1.2 but leaves it off
// unless asked (Windows 7, 8.0 and Server 2012), and on older ones, which refuse the request
// harmlessly. Later systems keep their own choice, so newer protocols stay available.
bool AsksForTls12(uint32_t major, uint32_t minor);

// Whether the next try goes through the user's proxy: while no try of the run has had an
// answer and there is a proxy, the tries alternate between it and the client's own route;
// otherwise the route stays.
bool NextTryViaProxy(bool answered, bool haveProxy, bool viaProxy);

// The proxy ("host:port") the user's list names for this scheme, unless the bypass list
// matches host; false when there is none. The list is the system's: entries split by ";" or
// blanks, "host:port" for every scheme or "http=host:port", "https=host:port". The bypass
// list: entries split by ";", "," or blanks, "*" matching any run of characters, letter case
// ignored, "<local>" matching any host name without a dot.
bool ChooseProxy(const wchar_t *proxyList, const wchar_t *bypassList, bool secure, const wchar_t *host, wchar_t *proxy,
                 size_t cchProxy);

// "<scheme>://<host>:<port><path>", as a proxy script is asked about; false when it does
// not fit in cchUrl characters.
bool FormatUrl(wchar_t *url, size_t cchUrl, bool secure, const wchar_t *host, uint16_t port, const wchar_t *path);
