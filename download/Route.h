// The way this run reaches the server: the client's own route, or the user's proxy while that
// route gets no answer. Worker thread only.
#pragma once

#include <stdint.h>

#include <windows.h>
#include <winhttp.h>

#include "core/HostPolicy.h"
#include "core/RoutePolicy.h"
#include "settings/Settings.h"

// A URL as a proxy script is asked about it, or as a redirect names it.
enum { CCH_URL = 3 * SETTINGS_CCH_TEXT };

// The client's own time-out for each send and each receive.
enum { MS_SEND_RECEIVE_TIMEOUT = 30000 };

struct ROUTE {
    SERVER_SCHEME scheme;
    const wchar_t *host;  // the server's, in the run's list of hosts
    uint16_t port;
    ROUTE_CHOICE choice;  // through proxy, else the client's default
    bool userProxyRead;
    wchar_t proxy[SETTINGS_CCH_TEXT];  // the user's proxy for the package; empty: none found
};

// The scheme of the settings and this server's host and port, by the client's default route;
// the user's proxy is looked for afresh, for this host.
void BeginRoute(ROUTE *route, const SERVER *server);

// A session for the route, with the run's time-outs (at most two of a name's addresses tried,
// so that a try's bound holds whatever the name's addresses) and TLS 1.2 asked for where the
// system leaves it off; NULL, with the last error set, when it cannot be opened. The caller
// closes it.
HINTERNET OpenSession(const ROUTE *route);

// The wait for the request's next read, the other time-outs the session's own. Set as time-outs,
// not as the one option: some clients take the option only for the next connection.
bool SetReceiveTimeout(HINTERNET hRequest, DWORD msReceive);

// After a try without an answer, while no try for this host has had one: reads the user's
// proxy settings (once a host, a script or detection given at most msProxySearch) and, when
// they name a proxy for the package's URL, turns the route to it. True when it did.
bool TakeUserProxy(ROUTE *route);

// After a try whose answer was not the package: that way is refused for this host, and the
// other (the user's proxy, read as above, or the client's own route) takes the next try when it
// is not refused too. True when it does.
bool TakeOtherRoute(ROUTE *route);

// Before a retry: while no try has had the server's answer, the other way than the last try's.
void SwitchRoute(ROUTE *route);

// The route's requests to host (the route's own, or one a redirect led to) go through a proxy:
// the user's, or the one the client itself is set to use for that host.
bool ThroughProxy(const ROUTE *route, bool secure, const wchar_t *host);
