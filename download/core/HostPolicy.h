// Which hosts serve the package, in what order, and which failures another host may mend: the
// main server, then the mirrors as written; a run that resumes starts at the host its kept
// bytes came from. No platform calls.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "RetryPolicy.h"
#include "settings/Settings.h"

enum { MAX_MIRRORS = 8, MAX_SERVERS = 1 + MAX_MIRRORS };

// One host: its name, and its port as the settings give it (only the low 16 bits reach the
// connection; 0 stands for the scheme's own port).
struct SERVER {
    wchar_t host[SETTINGS_CCH_TEXT];
    int32_t port;
};

struct SERVER_LIST {
    SERVER servers[MAX_SERVERS];
    uint32_t count;
};

// The main server, then each mirror of ServerMirrors in the order written: "host" or
// "host:port" items separated by commas, blanks around them cut, at most MAX_MIRRORS. False,
// with the main server alone listed, when the text is not such a list: an empty item, a host
// holding a blank, ":" or "/", a port that is not 1 to 65535, too many items, or a text that
// fills its field (it may have been cut).
bool ListServers(const BOOTSTRAP_SETTINGS *settings, SERVER_LIST *list);

// The index of the server with this host and port setting, or -1.
int32_t FindServer(const SERVER_LIST *list, const wchar_t *host, int32_t port);

// Moves the server at index first to the front; the others keep their order.
void PutFirst(SERVER_LIST *list, uint32_t first);

// After a host's last try failed: true when another host may mend it (an unreachable or
// unwilling server, an answer that is not the package), false when the failure is this
// machine's own (the package name, the disk).
bool LeavesForNextHost(const TRY_OUTCOME *outcome);
