// Everything the transfer asks of the system, and nothing more: a request and its answer, the
// package's own files, the clock, SHA-256 and RSA, the progress report, the user's proxy. The
// program's Win32 layer gives these over WinHTTP, the file system and CryptoAPI; the simulator
// over a world of its own. They report what happened and decide nothing. Resolved at the link:
// the transfer calls them directly.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "HeaderScan.h"
#include "PackageCheck.h"
#include "PackageTrust.h"
#include "RoutePolicy.h"
#include "SignatureText.h"

// Each platform's own; the transfer holds them, and releases every one it got.
struct PLATFORM_FILE;
struct PLATFORM_REQUEST;
struct PLATFORM_HASH;

// ---- The clock

// Milliseconds since some start; wraps after 49.7 days.
uint32_t PlatformTicks();
void PlatformSleep(uint32_t ms);

// ---- The progress report

// After each piece is on disk: the bar and the size text show it before the next is asked for.
void ReportProgress(uint32_t received, uint32_t total);

// ---- The package's own files, by name: nothing else can be named.

enum PACKAGE_NAME {
    NAME_PACKAGE,    // the package's full path, made once from the settings
    NAME_PART,       // "<path>.part": the body while it arrives
    NAME_STATE,      // "<path>.resume": what a later run needs to resume it
    NAME_STATE_NEW,  // "<path>.resume.new": the state while it is written
};

enum FILE_OPENING {
    OPEN_HELD,     // an existing file, to read and write, nobody else meanwhile
    CREATE_HELD,   // a new file, to read and write, nobody else meanwhile; fails where the name is taken
    OPEN_SHARED,   // an existing file, to read, others may read it too
};

// What an open found.
struct FILE_FACTS {
    bool heldElsewhere;   // the name is open elsewhere in a way that refuses this opening
    bool link;            // one of several names of the data, or a reparse point: writing through
                          // it would change another file (false where it could not be told)
    uint32_t volume;      // which file it is: the same three numbers, the same file
    uint64_t index;
    bool identified;      // ... where the system says
};

// NULL when it cannot be opened. Opens what the name leads to, links included: facts say so.
PLATFORM_FILE *PlatformOpen(PACKAGE_NAME name, FILE_OPENING opening, FILE_FACTS *facts);
// Up to cb bytes at the file's position; *cbRead 0 at its end.
bool PlatformRead(PLATFORM_FILE *file, uint8_t *data, uint32_t cb, uint32_t *cbRead);
// All cb bytes at the file's position, or false.
bool PlatformWrite(PLATFORM_FILE *file, const uint8_t *data, uint32_t cb);
bool PlatformSeek(PLATFORM_FILE *file, uint32_t offset);
// The file ends at its position.
bool PlatformCut(PLATFORM_FILE *file);
bool PlatformSize(PLATFORM_FILE *file, uint64_t *cb);
// What was written is on the disk.
bool PlatformFlush(PLATFORM_FILE *file);
void PlatformClose(PLATFORM_FILE *file);
// Removes the name (a link's name only, never the data of another).
bool PlatformDelete(PACKAGE_NAME name);
// from takes the name to, replacing what had it; on the disk when it returns.
bool PlatformRename(PACKAGE_NAME from, PACKAGE_NAME to);
// What has the package's name now.
enum NAME_HOLDER {
    NAME_EMPTY,     // nothing
    NAME_FILE,      // a plain file nobody holds: it may be replaced
    NAME_REFUSED,   // a folder, a read-only file, or a file another program holds
};
NAME_HOLDER PlatformNameHolder();
// Bytes the package's volume still takes from this user; false when it does not say.
bool PlatformFreeSpace(uint64_t *cb);

// ---- SHA-256 and RSA

// NULL when the system has no SHA-256.
PLATFORM_HASH *PlatformHashBegin();
bool PlatformHashAdd(PLATFORM_HASH *hash, const uint8_t *data, uint32_t cb);
// The digest of everything added; the hash takes no more afterwards.
bool PlatformHashEnd(PLATFORM_HASH *hash, uint8_t digest[CB_SHA256]);
void PlatformHashRelease(PLATFORM_HASH *hash);
// RSA PKCS#1 v1.5 with SHA-256: key signed the first cbSigned bytes of text as signature says.
bool PlatformRsaVerifies(const PACKAGE_KEY *key, const char *text, const PACKAGE_SIGNATURE *signature);

// ---- The network

// The client's own time-out for each send and each read: a read never waits longer.
enum { MS_SEND_RECEIVE_TIMEOUT = 30000 };

// A GET as the transfer asks it.
struct ASK {
    SERVER_SCHEME scheme;
    const wchar_t *host;
    uint16_t port;
    const wchar_t *path;
    const wchar_t *headers;  // extra lines, each ending in CR LF; NULL: none
    const wchar_t *proxy;    // the user's proxy, "host:port", to go through; NULL: the client's own way
};

enum { CCH_ASKED_URL = 780 };

// What came back to one.
struct ASKED {
    bool answered;      // a whole head came, redirects followed by the client; answer holds it
    uint32_t error;     // else the platform's code for why not (never 0)
    bool timedOut;      // ... no whole head within TransferTiming.msAnswerWait, whatever came
    ANSWER answer;
    wchar_t url[CCH_ASKED_URL];  // where the client's last redirect led: "" none, "?" not known
    bool certificateShown;       // a server showed its certificate: the answer came through a
                                 // TLS tunnel, past any proxy
    uint32_t logonsOffered;      // schemes a 407 offers (LOGON_NTLM, LOGON_NEGOTIATE, ...) ...
    bool logonForProxy;          // ... and whether it names itself a proxy
};

// Sends the GET on a connection of its own and waits for its answer's head; NULL when it
// could not even be made (asked->error says why). The answer's body is read with
// PlatformReadPiece; PlatformCloseRequest is due either way but NULL.
PLATFORM_REQUEST *PlatformAsk(const ASK *ask, ASKED *asked);
// The same request once more, the user's own logon offered to the proxy under scheme.
bool PlatformAskWithLogon(PLATFORM_REQUEST *request, const ASK *ask, uint32_t scheme, ASKED *asked);
// The body's next piece, waiting for it at most msWait: true with *cbRead > 0, or 0 where the
// client says the body ended; false when none came (*error the platform's code, or 0 for a
// wait that ran out).
bool PlatformReadPiece(PLATFORM_REQUEST *request, uint32_t msWait, uint8_t *data, uint32_t cbMax, uint32_t *cbRead,
                       uint32_t *error);
void PlatformCloseRequest(PLATFORM_REQUEST *request);

// The user's own proxy for this URL, as the user's Internet settings name it ("host:port"; a
// script or detection given at most TransferTiming.msProxySearch); false when they name none.
bool PlatformUserProxy(SERVER_SCHEME scheme, const wchar_t *host, uint16_t port, const wchar_t *path, wchar_t *proxy,
                       size_t cchProxy);
// The client's own proxy takes requests to host by default.
bool PlatformClientProxies(bool secure, const wchar_t *host);
