// The way this run reaches the server: the client's own route, or the user's proxy while that
// route gets no answer. Worker thread only.
#pragma once

#include <stdint.h>

#include <windows.h>
#include <winhttp.h>

#include "core/HostPolicy.h"
#include "core/RoutePolicy.h"
#include "settings/Settings.h"

struct ROUTE {
    SERVER_SCHEME scheme;
    const wchar_t *host;  // the server's, in the run's list of hosts
    uint16_t port;
    bool viaProxy;  // through proxy, else the client's default
    bool answered;  // a try got an answer this way: it serves the rest of the run
    bool userProxyRead;
    wchar_t proxy[SETTINGS_CCH_TEXT];  // the user's proxy for the package; empty: none found
};

// The scheme of the settings and this server's host and port, by the client's default route;
// the user's proxy is looked for afresh, for this host.
void BeginRoute(ROUTE *route, const SERVER *server);

// A session for the route, with the run's time-outs and TLS 1.2 asked for where the system
// leaves it off; NULL, with the last error set, when it cannot be opened. The caller closes it.
HINTERNET OpenSession(const ROUTE *route);

// After a failed try, while no try of the run has had an answer: reads the user's proxy
// settings (once a run, a script or detection given at most msProxySearch) and, when they
// name a proxy for the package's URL, turns the route to it. True when it did.
bool TakeUserProxy(ROUTE *route);

// Before a retry: while no try has had an answer, the other way than the last try went.
void SwitchRoute(ROUTE *route);
