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

// The two ways to a host, direct (the client's own route) and through the user's proxy, and
// what each has shown so far for it.
struct ROUTE_CHOICE {
    bool viaProxy;    // the next try goes through the user's proxy
    bool haveProxy;   // the user's settings name a proxy for this host
    bool answered;    // a way brought the server's own answer: it serves the rest of the run
    bool refused[2];  // an answer on the direct way [0] or the proxy [1] that was not the package
    bool spoke[2];    // some answer came by that way, if only "later"
    bool silent[2];   // a try by that way got no answer at all
};

// After each try, whether an answer came by its way.
void NoteTry(ROUTE_CHOICE *choice, bool answered);

// After a try that got no answer at all, the first time the user's settings were read: the
// proxy takes the next try at once, while no way has answered and it is not refused. True
// when the way changed.
bool TurnToProxy(ROUTE_CHOICE *choice);

// After a try whose answer was not the package (a logon demand, a refusal, a gateway error, a
// page that is not the package): that way is refused for this host, and the other takes the
// next try at once where there is one and it is not refused too. True when the way changed.
bool TurnFromRefusal(ROUTE_CHOICE *choice);

// Before a retry: while no way has brought the server's answer, the other way than the last
// try's, where there is one that is not refused and it is not a way that never answered while
// this one did (a proxy that is gone, beside a server that says "later"); otherwise the way
// stays.
void TurnForRetry(ROUTE_CHOICE *choice);

// 403, 407 and the 5xx: what a proxy, a filter or a gateway on the way answers as readily as
// the server itself.
bool RefusesRoute(int32_t status);

// The schemes a proxy may offer, by the client's numbers.
enum { LOGON_NTLM = 0x2, LOGON_NEGOTIATE = 0x10 };

// The scheme to answer a proxy's logon demand with the user's own logon: Negotiate, else NTLM;
// 0 when it offers neither (Basic and Digest want a password, and nobody is asked for one).
uint32_t ProxyLogonScheme(uint32_t offered);

// The proxy ("host:port") the user's list names for this scheme, unless the bypass list
// matches host; false when there is none. The list is the system's: entries split by ";" or
// blanks, "host:port" for every scheme or "http=host:port", "https=host:port". The bypass
// list: entries split by ";", "," or blanks, "*" matching any run of characters, letter case
// ignored, "<local>" matching any host name without a dot.
bool ChooseProxy(const wchar_t *proxyList, const wchar_t *bypassList, bool secure, const wchar_t *host, wchar_t *proxy,
                 size_t cchProxy);

// The scheme and host of an absolute URL, as a redirect names the next: "http" or "https", and
// the host without user, port or path (an IPv6 literal with its brackets). False for anything
// else, or a host that does not fit in cchHost characters.
bool ReadUrlHost(const wchar_t *url, bool *secure, wchar_t *host, size_t cchHost);

// "<scheme>://<host>:<port><path>", as a proxy script is asked about; false when it does
// not fit in cchUrl characters.
bool FormatUrl(wchar_t *url, size_t cchUrl, bool secure, const wchar_t *host, uint16_t port, const wchar_t *path);
