#include "Transfer.h"

#include <string.h>
#include <wchar.h>

#include "HostPolicy.h"
#include "PackageTrust.h"
#include "ResumePolicy.h"
#include "RetryPolicy.h"
#include "RoutePolicy.h"
#include "settings/Settings.h"
#include "text/PlainText.h"

// Kept bytes are read back, and the held package read again, in pieces of this size.
static const uint32_t CB_READ_BACK = 16 * 1024;
// A run that is killed loses at most this much of what it received.
static const uint32_t CB_CHECKPOINT = 4 * 1024 * 1024;
// The body arrives in pieces of at most this size.
enum { CB_PIECE = 64 * 1024 };

// ---- The checks every package passes before it takes its name

struct PACKAGE_VERIFIER {
    bool pinned;                 // MsiSha256 is set and reads as a SHA-256
    uint8_t pin[CB_SHA256];
    uint32_t cbTaken;            // bytes taken so far, in order from the first
    bool passed;                 // the gate found the whole body to be the package
    bool hashed;                 // ... and took its SHA-256, as a pin or a signature asked
    uint8_t digest[CB_SHA256];
    PLATFORM_HASH *hash;         // over every byte taken, when a pin or a signature will ask
};

// Sets up the checks that apply; pinned and pin are known from then on. False when the pin is
// not 64 hex digits or hashing is not available; EndVerify is still due.
static bool BeginVerify(PACKAGE_VERIFIER *verifier)
{
    memset(verifier, 0, sizeof(*verifier));
    verifier->pinned = ParseSha256(BootstrapSettings.MsiSha256, verifier->pin);
    // A pin that does not read fails every body rather than let one go unchecked.
    if (!verifier->pinned && BootstrapSettings.MsiSha256[0] != L'\0')
        return false;
    if (!verifier->pinned && PackageTrust.keyCount == 0)
        return true;
    verifier->hash = PlatformHashBegin();
    return verifier->hash != NULL;
}

static void EndVerify(PACKAGE_VERIFIER *verifier)
{
    if (verifier->hash != NULL)
        PlatformHashRelease(verifier->hash);
    verifier->hash = NULL;
}

// The next piece of the body, which starts offset bytes into it. False once the body cannot
// be the package: a piece out of order, or first bytes that are not a package's.
static bool UpdateVerify(PACKAGE_VERIFIER *verifier, uint32_t offset, const uint8_t *data, uint32_t cb)
{
    if (offset != verifier->cbTaken || !MatchesPackageSignature(offset, data, cb) ||
        (verifier->hash != NULL && !PlatformHashAdd(verifier->hash, data, cb)))
        return false;
    verifier->cbTaken += cb;
    return true;
}

// The gate every package passes before it takes its name: exactly cbBody bytes taken, and
// they are the expected package (its first bytes, the pin, and with keys built in the
// publisher's signature, whose length and digest it must have).
static bool FinishVerify(PACKAGE_VERIFIER *verifier, uint32_t cbBody, const PACKAGE_SIGNATURE *signature)
{
    bool hashed = verifier->hash != NULL && PlatformHashEnd(verifier->hash, verifier->digest);
    // Keys built in: no package opens without the publisher's word for it.
    bool signedOk = PackageTrust.keyCount == 0 ||
                    (signature != NULL && hashed && signature->length == cbBody &&
                     memcmp(verifier->digest, signature->sha256, CB_SHA256) == 0);
    verifier->passed = verifier->cbTaken == cbBody && cbBody >= CB_PACKAGE_SIGNATURE &&
                       (!verifier->pinned || (hashed && memcmp(verifier->digest, verifier->pin, CB_SHA256) == 0)) &&
                       signedOk;
    verifier->hashed = hashed;
    return verifier->passed;
}

// The file, read from its first byte, still has the SHA-256 the gate took (true when the gate
// took none): nothing changed it between the check and the hold.
static bool StillPasses(const PACKAGE_VERIFIER *verifier, PLATFORM_FILE *file)
{
    uint8_t piece[CB_READ_BACK];
    uint8_t digest[CB_SHA256];
    uint32_t cbRead = 0;
    if (!verifier->hashed)
        return true;
    PLATFORM_HASH *hash = PlatformHashBegin();
    bool read = hash != NULL && PlatformSeek(file, 0);
    while (read && PlatformRead(file, piece, sizeof(piece), &cbRead) && cbRead > 0)
        read = PlatformHashAdd(hash, piece, cbRead);
    bool same = read && cbRead == 0 && PlatformHashEnd(hash, digest) &&
                memcmp(digest, verifier->digest, CB_SHA256) == 0;
    if (hash != NULL)
        PlatformHashRelease(hash);
    return same;
}

// ---- The package's own files: the .part and the state beside it

struct PART_FILE {
    PLATFORM_FILE *file;        // held from the first byte of a body to the end of the run
    FILE_FACTS facts;           // ... and which file it is
    uint32_t checkpoint;        // the count the state on disk records
    uint32_t checkpointDue;     // the count at which the next checkpoint is tried
    const SERVER *source;       // the host the bytes came from, as the state records it
    bool hasSha256;             // the SHA-256 they are checked against, where known,
    uint8_t sha256[CB_SHA256];  // as the state records it
    bool heldElsewhere;         // another copy, or another program, had the .part open
};

static void InitPartFile(PART_FILE *part)
{
    memset(part, 0, sizeof(*part));
    part->checkpointDue = CB_CHECKPOINT;
}

// A new, empty file of our own under the name, held. Whatever had the name goes first, a link
// taking only its own name with it; never opened to be cut, which would cut the data of every
// name a link shares.
static PLATFORM_FILE *CreateOwn(PACKAGE_NAME name, FILE_FACTS *facts)
{
    PlatformDelete(name);
    return PlatformOpen(name, CREATE_HELD, facts);
}

// The file under the name, held; a link gives up its name to a new, empty file of our own.
static PLATFORM_FILE *OpenOwn(PACKAGE_NAME name, FILE_FACTS *facts)
{
    PLATFORM_FILE *file = PlatformOpen(name, OPEN_HELD, facts);
    if (file != NULL && facts->link) {
        PlatformClose(file);
        file = CreateOwn(name, facts);
    }
    return file;
}

// The package's volume holds cbToWrite more bytes with the margin to spare, counting the .part's
// bytes as free when a new body replaces them. False too when the volume does not say.
static bool HasRoomFor(const PART_FILE *part, uint32_t cbToWrite, bool replacing)
{
    uint64_t available = 0;
    uint64_t kept = 0;
    bool known = PlatformFreeSpace(&available);
    if (replacing && part->file != NULL && !PlatformSize(part->file, &kept))
        kept = 0;
    return known && FitsOnVolume(available + kept, cbToWrite);
}

// The state as written, read as untrusted text: anything odd reads as no state.
static bool ReadState(RESUME_STATE *state)
{
    char text[RESUME_CB_TEXT + 1];
    uint32_t cbRead = 0;
    uint32_t cbPiece = 0;
    FILE_FACTS facts;
    PLATFORM_FILE *file = PlatformOpen(NAME_STATE, OPEN_SHARED, &facts);
    bool read = file != NULL;
    while (read && cbRead < sizeof(text) && (read = PlatformRead(file, (uint8_t *)text + cbRead,
                                                                   (uint32_t)sizeof(text) - cbRead, &cbPiece)) &&
           cbPiece > 0)
        cbRead += cbPiece;
    if (file != NULL)
        PlatformClose(file);
    // A full buffer means a longer file than any state: not one of ours.
    return read && cbRead <= RESUME_CB_TEXT && ParseResumeState(text, cbRead, state);
}

// Deletes the state and the .part, if this run holds the .part; the state first, while the
// .part is still held, so that no other copy's state is ever touched.
static void DiscardPart(PART_FILE *part)
{
    if (part->file == NULL)
        return;
    PlatformDelete(NAME_STATE);
    PlatformClose(part->file);
    part->file = NULL;
    PlatformDelete(NAME_PART);
}

// Closes the .part, leaving it and its state for a later run.
static void KeepPart(PART_FILE *part)
{
    if (part->file != NULL)
        PlatformClose(part->file);
    part->file = NULL;
}

// Takes up what an earlier run left for these settings and one of these hosts: the .part is
// held, cut to the recorded count and positioned there, state says what it holds and source
// which host it came from. False when nothing fits, after both files are deleted; a .part
// that another copy of the program holds is its own, and neither file is touched.
static bool OpenKeptPart(PART_FILE *part, const SERVER_LIST *servers, RESUME_STATE *state, int32_t *source)
{
    uint64_t size = 0;
    *source = -1;
    // Held first: only then are the two files this run's to keep or delete.
    part->file = OpenOwn(NAME_PART, &part->facts);
    if (part->file == NULL) {
        part->heldElsewhere = part->facts.heldElsewhere;
        return false;
    }
    bool kept = ReadState(state) && (*source = SourceOf(state, &BootstrapSettings, servers)) >= 0 &&
                PlatformSize(part->file, &size) && size >= state->received && PlatformSeek(part->file, state->received) &&
                PlatformCut(part->file);
    if (kept) {
        part->checkpoint = state->received;
        part->checkpointDue = state->received + CB_CHECKPOINT;
        part->hasSha256 = state->hasSha256;
        memcpy(part->sha256, state->sha256, CB_SHA256);
    } else {
        DiscardPart(part);
    }
    return kept;
}

// Feeds the first cb bytes of the held .part to verifier, from its first byte; the file
// position stays at cb. False when they cannot be read or are not the package's.
static bool VerifyKeptBytes(PART_FILE *part, PACKAGE_VERIFIER *verifier, uint32_t cb)
{
    uint8_t piece[CB_READ_BACK];
    bool verified = PlatformSeek(part->file, 0);
    for (uint32_t offset = 0; verified && offset < cb;) {
        uint32_t cbWanted = cb - offset < CB_READ_BACK ? cb - offset : CB_READ_BACK;
        uint32_t cbRead = 0;
        verified = PlatformRead(part->file, piece, cbWanted, &cbRead) && cbRead == cbWanted &&
                   UpdateVerify(verifier, offset, piece, cbRead);
        offset += cbRead;
    }
    return verified;
}

// Written whole and flushed under another name first, then renamed over the old state, so it
// is never seen half-written.
static bool WriteState(const RESUME_STATE *state)
{
    char text[RESUME_CB_TEXT];
    FILE_FACTS facts;
    size_t cb = FormatResumeState(text, sizeof(text), state);
    PLATFORM_FILE *file = cb == 0 ? NULL : CreateOwn(NAME_STATE_NEW, &facts);
    if (file == NULL)
        return false;
    bool written = PlatformWrite(file, (const uint8_t *)text, (uint32_t)cb) && PlatformFlush(file);
    PlatformClose(file);
    written = written && PlatformRename(NAME_STATE_NEW, NAME_STATE);
    if (!written)
        PlatformDelete(NAME_STATE_NEW);
    return written;
}

static bool RecordState(const PART_FILE *part, const wchar_t *validator, uint32_t total, uint32_t received)
{
    RESUME_STATE state;
    memset(&state, 0, sizeof(state));
    SetSource(&state, &BootstrapSettings, part->source);
    CopyText(state.validator, CCH_VALIDATOR, validator);
    state.total = total;
    state.received = received;
    state.hasSha256 = part->hasSha256;
    memcpy(state.sha256, part->sha256, CB_SHA256);
    return WriteState(&state);
}

// Flushes the .part, then records that its first received bytes are the package's under
// validator, which is not empty.
static void CheckpointPart(PART_FILE *part, const wchar_t *validator, uint32_t total, uint32_t received)
{
    part->checkpointDue = received + CB_CHECKPOINT;
    // The count may only name bytes that are on the disk.
    if (PlatformFlush(part->file) && RecordState(part, validator, total, received))
        part->checkpoint = received;
}

// A checkpoint every CB_CHECKPOINT bytes, tried once each time whether or not it is recorded,
// and none without a validator: nothing could vouch for the bytes.
static void CheckpointIfDue(PART_FILE *part, const wchar_t *validator, uint32_t total, uint32_t received)
{
    if (validator[0] != L'\0' && received >= part->checkpointDue)
        CheckpointPart(part, validator, total, received);
}

// Creates the .part, or empties the one already held, for a body that starts from its first
// byte, checked against sha256 where not NULL; the state now records that body when a
// validator vouches for it, and is gone otherwise. False, touching neither file, when the
// .part cannot be had (another copy holds it).
static bool StartPart(PART_FILE *part, const wchar_t *validator, uint32_t total, const uint8_t *sha256)
{
    if (part->file == NULL)
        part->file = CreateOwn(NAME_PART, &part->facts);
    if (part->file == NULL)
        return false;
    part->checkpoint = 0;
    part->checkpointDue = CB_CHECKPOINT;
    part->hasSha256 = sha256 != NULL;
    if (sha256 != NULL)
        memcpy(part->sha256, sha256, CB_SHA256);
    bool started = PlatformSeek(part->file, 0) && PlatformCut(part->file);
    // From the body's first byte, a killed run leaves a state that says what the .part is.
    if (started && validator[0] != L'\0')
        CheckpointPart(part, validator, total, 0);
    else
        PlatformDelete(NAME_STATE);
    return started;
}

// The file that passed the gate, held from just after its rename until the shell has it: the
// installer may read it, nobody may change or replace it. False when the name now leads to
// another file; *held stays NULL where something else holds it already.
static bool HoldPackage(const FILE_FACTS *passed, PLATFORM_FILE **held)
{
    FILE_FACTS facts;
    *held = PlatformOpen(NAME_PACKAGE, OPEN_SHARED, &facts);
    if (*held == NULL)
        return true;
    bool same = facts.identified && facts.volume == passed->volume && facts.index == passed->index;
    if (!same) {
        PlatformClose(*held);
        *held = NULL;
    }
    return same;
}

// Flushes and closes the .part of a whole package that verifier passed (else it refuses) and
// gives it the package's name; the state goes. *held then holds that same file, read once more
// against the digest the gate took. False when it cannot: where the name alone is refused (the
// old package held open), the .part stays with a state that counts all of it, so the next run
// checks it again and only renames; false too when another file has taken the name since, or
// the held file no longer has that digest.
static bool CompletePart(PART_FILE *part, const PACKAGE_VERIFIER *verifier, const wchar_t *validator, uint32_t total,
                         PLATFORM_FILE **held)
{
    // The one way to the package's name: every check passed over the whole body.
    if (!verifier->passed || part->file == NULL)
        return false;
    bool flushed = PlatformFlush(part->file);
    // Which file passed: the one reopened under the package's name must be the same.
    FILE_FACTS passed = part->facts;
    // Gone while the .part is held: a second copy's state is never touched.
    PlatformDelete(NAME_STATE);
    PlatformClose(part->file);
    part->file = NULL;
    bool named = flushed && PlatformRename(NAME_PART, NAME_PACKAGE);
    // A package that cannot take its name is kept whole for the next run, when it is this
    // run's still; one that may not be on the disk whole is not.
    if (!named) {
        part->file = OpenOwn(NAME_PART, &part->facts);
        if (part->file != NULL && (!flushed || !RecordState(part, validator, total, total)))
            DiscardPart(part);
        KeepPart(part);
    }
    bool handed = named && (!passed.identified || HoldPackage(&passed, held));
    // Held, it is read once more: another program may have written to it before the hold.
    if (handed && *held != NULL && !StillPasses(verifier, *held)) {
        PlatformClose(*held);
        *held = NULL;
        handed = false;
    }
    return handed;
}

// ---- The way to the server: the client's own route, or the user's proxy while that route
// gets no answer

struct ROUTE {
    SERVER_SCHEME scheme;
    const wchar_t *host;  // the server's, in the run's list of hosts
    uint16_t port;
    ROUTE_CHOICE choice;  // through the user's proxy, else the client's default
    bool userProxyRead;
    wchar_t proxy[SETTINGS_CCH_TEXT];  // the user's proxy for the package; empty: none found
};

// The scheme of the settings and this server's host and port, by the client's default route;
// the user's proxy is looked for afresh, for this host.
static void BeginRoute(ROUTE *route, const SERVER *server)
{
    memset(route, 0, sizeof(*route));
    route->scheme = ParseScheme(BootstrapSettings.ServerScheme);
    route->host = server->host;
    route->port = PortFor(route->scheme, server->port);
}

// The user's proxy for this host, read once a host.
static void FindUserProxy(ROUTE *route)
{
    if (!route->userProxyRead)
        route->choice.haveProxy = PlatformUserProxy(route->scheme, route->host, route->port,
                                                    BootstrapSettings.MsiServerPath, route->proxy, SETTINGS_CCH_TEXT);
    route->userProxyRead = true;
}

// After a try without an answer, while no try for this host has had one: the user's proxy,
// when the settings name one for the package's URL, takes the next try at once.
static bool TakeUserProxy(ROUTE *route)
{
    if (route->userProxyRead || route->choice.answered)
        return false;
    FindUserProxy(route);
    return TurnToProxy(&route->choice);
}

// After a try whose answer was not the package: that way is refused for this host, and the
// other takes the next try when it is not refused too.
static bool TakeOtherRoute(ROUTE *route)
{
    FindUserProxy(route);
    return TurnFromRefusal(&route->choice);
}

// The route's requests to host (the route's own, or one a redirect led to) go through a proxy:
// the user's, which takes every host of the session, or the client's own for that host.
static bool ThroughProxy(const ROUTE *route, bool secure, const wchar_t *host)
{
    return route->choice.viaProxy || PlatformClientProxies(secure, host);
}

// ---- One try's requests and the pieces of their answers

// How one request is made: where, by which way.
static void Describe(ASK *ask, const ROUTE *route, const wchar_t *path, const wchar_t *headers)
{
    ask->scheme = route->scheme;
    ask->host = route->host;
    ask->port = route->port;
    ask->path = path;
    ask->headers = headers;
    ask->proxy = route->choice.viaProxy ? route->proxy : NULL;
}

// The platform's code for a failure: never 0, should the platform leave none.
static void Failure(TRY_OUTCOME *attempt, uint32_t error)
{
    attempt->result = error != 0 ? error : 1;
    attempt->transient = IsTransientError(attempt->result);
}

// A proxy, not the server, asks who the user is: the request went through a proxy to the host
// the answer came from (redirects followed), and no server answered from inside a tunnel, where
// a proxy's own demand never comes.
static bool AnsweredByProxy(const ROUTE *route, const ASKED *asked)
{
    bool secure = route->scheme == SCHEME_HTTPS;
    wchar_t host[SETTINGS_CCH_TEXT];
    bool known = asked->url[0] == L'\0' ? CopyText(host, SETTINGS_CCH_TEXT, route->host)
                                        : ReadUrlHost(asked->url, &secure, host, SETTINGS_CCH_TEXT);
    return known && !asked->certificateShown && asked->logonForProxy && ThroughProxy(route, secure, host);
}

// Asks for path with the extra header lines (NULL: none), after closing the request before, and
// takes the final answer's head (redirects are the client's). A proxy that asks who the user is
// gets the user's own logon, once. False, attempt saying why, when no answer came; attempt says
// too whether the answer may come from something on the way.
static bool AskFor(PLATFORM_REQUEST **request, const ROUTE *route, const wchar_t *path, const wchar_t *headers,
                   ANSWER *answer, TRY_OUTCOME *attempt)
{
    ASK ask;
    ASKED asked;
    uint32_t scheme = 0;
    if (*request != NULL)
        PlatformCloseRequest(*request);
    Describe(&ask, route, path, headers);
    *request = PlatformAsk(&ask, &asked);
    // Once, and only where a proxy is on the way: a server that asks who the user is has refused
    // the way, and a proxy that still asks has refused the user.
    if (*request != NULL && asked.answered && asked.answer.status == 407 && AnsweredByProxy(route, &asked) &&
        (scheme = ProxyLogonScheme(asked.logonsOffered)) != 0)
        PlatformAskWithLogon(*request, &ask, scheme, &asked);
    attempt->answered = attempt->answered || asked.answered;
    if (asked.answered) {
        *answer = asked.answer;
        attempt->retryAfter = answer->retryAfter;
    } else if (asked.timedOut) {
        // Whatever the server sends meanwhile, a head that takes longer ends the try as a stall.
        attempt->result = asked.error;
        attempt->transient = true;
    } else {
        Failure(attempt, asked.error);
    }
    attempt->refusedRoute = asked.answered && RefusesRoute(answer->status);
    return asked.answered;
}

// The body's next piece, waited for no longer than the stall rule lets it take (nor the
// client's read time-out), so that a short window ends the try at its end, whenever a piece
// would come. True with *cbRead > 0, or 0 at the body's end; false, the try transient, when
// none came.
static bool AwaitPiece(PLATFORM_REQUEST *request, const STALL_WATCH *watch, uint8_t *data, uint32_t cbMax,
                       uint32_t *cbRead, TRY_OUTCOME *attempt)
{
    uint32_t msWait = MsUntilStalled(watch, PlatformTicks());
    bool rule = msWait < MS_SEND_RECEIVE_TIMEOUT;
    uint32_t error = 0;
    *cbRead = 0;
    bool came = msWait > 0 &&
                PlatformReadPiece(request, rule ? msWait : (uint32_t)MS_SEND_RECEIVE_TIMEOUT, data, cbMax, cbRead, &error);
    if (!came)
        attempt->transient = true;
    return came;
}

// Reads exactly cb bytes of the body, the stall rule watching; false, and the try transient,
// when the body ends, breaks or stalls first.
static bool ReadExactly(PLATFORM_REQUEST *request, uint8_t *data, uint32_t cb, STALL_WATCH *watch, TRY_OUTCOME *attempt)
{
    uint32_t cbGot = 0;
    uint32_t cbRead = 0;
    bool stalled = false;
    while (cbGot < cb && !stalled && AwaitPiece(request, watch, data + cbGot, cb - cbGot, &cbRead, attempt) && cbRead > 0) {
        cbGot += cbRead;
        // Every piece counts for its window; the one that completes what was asked is never a stall.
        stalled = IsStalled(watch, PlatformTicks(), cbRead) && cbGot < cb;
    }
    if (cbGot < cb)
        attempt->transient = true;
    return cbGot == cb;
}

// ---- The publisher's signature

// Made by one of the keys built in: the second is the one a publisher moves to.
static bool SignedByBuiltInKey(const char *text, const PACKAGE_SIGNATURE *signature)
{
    bool verified = false;
    for (uint32_t i = 0; i < PackageTrust.keyCount && i < MAX_PACKAGE_KEYS && !verified; ++i)
        verified = PlatformRsaVerifies(&PackageTrust.keys[i], text, signature);
    return verified;
}

// Asks the route's host for "<MsiServerPath>.sig" and keeps it in signature when a built-in key
// made it, for this request path, no earlier than the build takes. False otherwise, attempt
// saying why (transient when the host may give it later).
static bool FetchSignature(PLATFORM_REQUEST **request, const ROUTE *route, PACKAGE_SIGNATURE *signature,
                           TRY_OUTCOME *attempt)
{
    wchar_t path[SETTINGS_CCH_TEXT + 4];
    char text[CB_SIGNATURE_TEXT];
    ANSWER answer;
    STALL_WATCH watch;
    bool asked = SignaturePath(path, sizeof(path) / sizeof(path[0]), BootstrapSettings.MsiServerPath) &&
                 AskFor(request, route, path, NULL, &answer, attempt);
    SIGNATURE_ANSWER judged = asked ? JudgeSignatureAnswer(&answer) : SIGNATURE_MISSING;
    // The body's minutes count from its head, as the package's do: a slow head has its own bound.
    BeginStallWatch(&watch, PlatformTicks());
    if (asked && judged == SIGNATURE_LATER)
        attempt->transient = true;
    bool read = asked && judged == SIGNATURE_TO_READ &&
                ReadExactly(*request, (uint8_t *)text, answer.length, &watch, attempt);
    bool taken = read && ParsePackageSignature(text, answer.length, signature) &&
                 SignatureFits(signature, BootstrapSettings.MsiServerPath, PackageTrust.notBefore) &&
                 SignedByBuiltInKey(text, signature);
    // An answer that is no signature of ours may be a block page or a filter on the way.
    if (asked && (judged == SIGNATURE_TOO_LONG || (read && !taken)))
        attempt->refusedRoute = true;
    return taken;
}

// ---- One run's download, across its hosts and tries

struct TRANSFER {
    SERVER_LIST servers;               // in the order they are tried
    uint32_t current;                  // the one being tried
    bool mayAsk;                       // the settings read and the .part is free: else nothing goes out
    ROUTE route;                       // to the current host
    PART_FILE part;
    PACKAGE_VERIFIER verifier;
    uint32_t received;                 // bytes in the .part, every one of them verified
    uint32_t total;                    // the length of the body they belong to
    wchar_t validator[CCH_VALIDATOR];  // of the answer that began that body; empty: none
    bool bodyStarted;                  // a body of this run replaced what the .part held
    bool continued;                    // the body continues bytes kept before this host's answer
    bool otherVersionLetGo;            // kept bytes proved another version's: the next body is a new one
    bool wholeAskedFor;                // the current host was asked for all, the kept bytes unfit
    bool signatureHeld;                // keys built in: the current host's signature, checked
    bool signatureAskedAgain;          // the current host's was asked for a second time
    PACKAGE_SIGNATURE signature;
    PLATFORM_REQUEST *request;         // the try's request under way, if any
    PLATFORM_FILE *held;               // the package that passed the gate, held for the shell
};

// The current host is now where the kept bytes come from.
static void TakeSourceHere(TRANSFER *transfer)
{
    transfer->part.source = &transfer->servers.servers[transfer->current];
}

// The SHA-256 the package must have on the current host: the pin, else the signature's; NULL
// when neither applies.
static const uint8_t *ExpectedSha256(const TRANSFER *transfer)
{
    if (transfer->verifier.pinned)
        return transfer->verifier.pin;
    return transfer->signatureHeld ? transfer->signature.sha256 : NULL;
}

// Whether and how the kept bytes continue on the current host. Elsewhere a digest vouches only
// when the kept bytes are checked against the same one as this host's package.
static KEPT_VOUCHER Voucher(const TRANSFER *transfer)
{
    const uint8_t *expected = ExpectedSha256(transfer);
    bool pinned = expected != NULL && transfer->part.hasSha256 && memcmp(expected, transfer->part.sha256, CB_SHA256) == 0;
    return VoucherFor(transfer->received, transfer->validator,
                      transfer->part.source == &transfer->servers.servers[transfer->current], pinned);
}

static void RestartVerify(TRANSFER *transfer, bool *ok)
{
    EndVerify(&transfer->verifier);
    *ok = BeginVerify(&transfer->verifier) && *ok;
}

// A package the kept bytes make whole: kept by a run that could not give it its name, or
// brought by a try that broke after its last piece.
static bool IsWhole(const TRANSFER *transfer)
{
    return transfer->total != 0 && transfer->received == transfer->total;
}

// The next try asks for everything; the disk changes only once another body shows its first
// bytes.
static void AskForAllNextTime(TRANSFER *transfer)
{
    transfer->otherVersionLetGo = transfer->otherVersionLetGo || transfer->received > 0;
    transfer->received = 0;
    transfer->validator[0] = L'\0';
}

// Picks up what an earlier run left, when it fits these settings and its bytes, read again
// from the disk, still read as the package; its host is then tried first. Otherwise the run
// starts from nothing at the main server. Settings that do not read (the package's path, the
// scheme, the mirrors, the pin) send nothing and touch no file: kept bytes wait for a run
// whose settings read.
static void BeginTransfer(TRANSFER *transfer)
{
    memset(transfer, 0, sizeof(*transfer));
    InitPartFile(&transfer->part);
    bool readable = PackagePath[0] != L'\0' && ListServers(&BootstrapSettings, &transfer->servers) &&
                    ParseScheme(BootstrapSettings.ServerScheme) != SCHEME_INVALID;
    // From here the pin is known, for every host, whatever the run keeps.
    RestartVerify(transfer, &readable);
    RESUME_STATE state;
    int32_t source;
    bool kept = readable && OpenKeptPart(&transfer->part, &transfer->servers, &state, &source);
    // A .part held by another copy is that copy's download: asking for it again would help no one.
    transfer->mayAsk = readable && !transfer->part.heldElsewhere;
    // A state is a claim, never a proof: the bytes it counts are checked again.
    if (kept && VerifyKeptBytes(&transfer->part, &transfer->verifier, state.received)) {
        PutFirst(&transfer->servers, (uint32_t)source);
        TakeSourceHere(transfer);
        transfer->received = state.received;
        transfer->total = state.total;
        CopyText(transfer->validator, CCH_VALIDATOR, state.validator);
        // An older state names no digest: the pin is what its bytes were checked against.
        if (!transfer->part.hasSha256 && transfer->verifier.pinned) {
            transfer->part.hasSha256 = true;
            memcpy(transfer->part.sha256, transfer->verifier.pin, CB_SHA256);
        }
        // The bar starts where the kept bytes end.
        ReportProgress(transfer->received, transfer->total);
    } else if (readable) {
        DiscardPart(&transfer->part);
    }
}

// Another body begins: what the .part held goes, and the checks start again at its first byte.
static bool StartBody(TRANSFER *transfer, const ANSWER *answer)
{
    transfer->bodyStarted = true;
    transfer->continued = false;
    transfer->otherVersionLetGo = false;
    transfer->received = 0;
    transfer->total = answer->length;
    CopyText(transfer->validator, CCH_VALIDATOR, answer->validator);
    TakeSourceHere(transfer);
    bool started = StartPart(&transfer->part, transfer->validator, transfer->total, ExpectedSha256(transfer));
    RestartVerify(transfer, &started);
    return started;
}

// Bytes that proved not to be the package are not kept for anyone.
static void DropBody(TRANSFER *transfer)
{
    DiscardPart(&transfer->part);
    AskForAllNextTime(transfer);
}

// The one gate before the package's name: the whole body, every byte of it taken in this run,
// passes every check that applies.
static bool PassesGate(TRANSFER *transfer)
{
    return FinishVerify(&transfer->verifier, transfer->total, transfer->signatureHeld ? &transfer->signature : NULL);
}

// The last piece is in: the body must be exactly as long as announced and pass the gate. One
// that fails the signature may be a package the host replaced after signing it.
static void EndBody(TRANSFER *transfer, TRY_OUTCOME *attempt)
{
    if (transfer->received < transfer->total) {
        attempt->transient = true;
    } else if (PassesGate(transfer)) {
        attempt->result = 0;
    } else {
        attempt->staleSignature = transfer->signatureHeld;
        attempt->keptBytesUnfit = transfer->continued && !transfer->signatureHeld;
        DropBody(transfer);
    }
}

// Verified, written, shown and, every few MiB, recorded.
static bool TakePiece(TRANSFER *transfer, const uint8_t *data, uint32_t cb, TRY_OUTCOME *attempt)
{
    // An answer that is not the package stops at its first bytes.
    if (!UpdateVerify(&transfer->verifier, transfer->received, data, cb))
        return false;
    if (!PlatformWrite(transfer->part.file, data, cb)) {
        attempt->local = true;
        return false;
    }
    transfer->received += cb;
    // The next piece is asked for only after the window shows this one.
    ReportProgress(transfer->received, transfer->total);
    CheckpointIfDue(&transfer->part, transfer->validator, transfer->total, transfer->received);
    return true;
}

// The first bytes of another body decide whether it may replace what is kept: a page that is
// not the package costs nothing, and may come from something on the way. True once they begin
// the new body.
static bool TakeHead(TRANSFER *transfer, const ANSWER *answer, STALL_WATCH *watch, TRY_OUTCOME *attempt)
{
    uint8_t head[CB_PACKAGE_SIGNATURE];
    uint32_t cbHead = answer->length < sizeof(head) ? answer->length : (uint32_t)sizeof(head);
    if (!ReadExactly(transfer->request, head, cbHead, watch, attempt))
        return false;
    attempt->refusedRoute = !MatchesPackageSignature(0, head, cbHead);
    if (attempt->refusedRoute)
        return false;
    attempt->newVersion = wcscmp(answer->validator, transfer->validator) != 0 || transfer->otherVersionLetGo;
    attempt->local = !StartBody(transfer, answer);
    return !attempt->local && TakePiece(transfer, head, cbHead, attempt);
}

// Reads the rest of an answer's body, cbLeft bytes, into the .part, a piece at a time; the
// first cbSkip of them are kept bytes again, passed over.
static void ReceiveBody(TRANSFER *transfer, uint32_t cbLeft, uint32_t cbSkip, STALL_WATCH *watch, TRY_OUTCOME *attempt)
{
    uint8_t piece[CB_PIECE];
    for (;;) {
        uint32_t cbRead = 0;
        // One byte more than announced is enough to tell: it never reaches the disk.
        uint32_t cbMax = cbLeft < CB_PIECE ? cbLeft + 1 : (uint32_t)CB_PIECE;
        if (!AwaitPiece(transfer->request, watch, piece, cbMax, &cbRead, attempt))
            break;
        // The client reports a cut-off body as a normal end: only the count tells.
        if (cbRead == 0) {
            EndBody(transfer, attempt);
            break;
        }
        if (cbRead > cbLeft)
            break;
        uint32_t cbSkipped = cbRead < cbSkip ? cbRead : cbSkip;
        if (!TakePiece(transfer, piece + cbSkipped, cbRead - cbSkipped, attempt))
            break;
        cbSkip -= cbSkipped;
        cbLeft -= cbRead;
        // A trickle that would never end is a broken connection; what it brought stays. The
        // piece that completes the body is judged with it, never as a stall.
        if (cbLeft > 0 && IsStalled(watch, PlatformTicks(), cbRead)) {
            attempt->transient = true;
            break;
        }
    }
}

// Bytes kept from one host continue with another's: that host is their source from now on,
// under its own name for the package where it gives one.
static void ContinueHere(TRANSFER *transfer, const ANSWER *answer)
{
    if (answer->validator[0] != L'\0')
        CopyText(transfer->validator, CCH_VALIDATOR, answer->validator);
    TakeSourceHere(transfer);
    transfer->continued = true;
}

static void FollowAnswer(TRANSFER *transfer, const ANSWER *answer, KEPT_VOUCHER voucher, TRY_OUTCOME *attempt)
{
    ANSWER_VERDICT verdict = JudgeAnswer(answer, transfer->received, transfer->total, transfer->validator, voucher);
    bool body = verdict == VERDICT_FULL_BODY || verdict == VERDICT_CONTINUE || verdict == VERDICT_READ_PAST_KEPT;
    // The package a signature names has its length: another is one the host replaced since.
    uint32_t length = verdict == VERDICT_CONTINUE ? answer->rangeTotal : answer->length;
    attempt->staleSignature = body && transfer->signatureHeld && length != transfer->signature.length;
    // A package name that cannot be taken is this machine's failure, whoever answers.
    attempt->local = body && !attempt->staleSignature && PlatformNameHolder() == NAME_REFUSED;
    // A length this volume cannot hold costs no byte: another host may announce the right one.
    bool room = !body || HasRoomFor(&transfer->part, BytesToWrite(verdict, answer, transfer->received),
                                    verdict == VERDICT_FULL_BODY);
    if (attempt->local || attempt->staleSignature || !room)
        return;
    STALL_WATCH watch;
    BeginStallWatch(&watch, PlatformTicks());
    switch (verdict) {
    case VERDICT_FULL_BODY:
        if (TakeHead(transfer, answer, &watch, attempt))
            ReceiveBody(transfer, answer->length - transfer->received, 0, &watch, attempt);
        break;
    case VERDICT_CONTINUE:
        ContinueHere(transfer, answer);
        ReceiveBody(transfer, answer->length, 0, &watch, attempt);
        break;
    case VERDICT_READ_PAST_KEPT:
        ContinueHere(transfer, answer);
        ReceiveBody(transfer, answer->length, transfer->received, &watch, attempt);
        break;
    case VERDICT_START_OVER:
        AskForAllNextTime(transfer);
        attempt->transient = true;
        attempt->keptBytesUnfit = true;
        break;
    case VERDICT_RETRY:
        attempt->transient = true;
        break;
    case VERDICT_FAIL:
        break;
    }
}

// With keys built in, the host's signature, checked, before any byte of the package is asked
// for. A pin must name the same package; kept bytes of another package are not continued.
static bool TakeSignature(TRANSFER *transfer, TRY_OUTCOME *attempt)
{
    if (PackageTrust.keyCount == 0 || transfer->signatureHeld)
        return true;
    PACKAGE_SIGNATURE *signature = &transfer->signature;
    transfer->signatureHeld =
        FetchSignature(&transfer->request, &transfer->route, signature, attempt) &&
        (!transfer->verifier.pinned || memcmp(transfer->verifier.pin, signature->sha256, CB_SHA256) == 0);
    if (transfer->signatureHeld && transfer->received > 0 &&
        (transfer->total != signature->length ||
         (transfer->part.hasSha256 && memcmp(transfer->part.sha256, signature->sha256, CB_SHA256) != 0)))
        AskForAllNextTime(transfer);
    return transfer->signatureHeld;
}

// Asks for the package, only for the rest when bytes are kept, and follows the answer.
static void AskForPackage(TRANSFER *transfer, TRY_OUTCOME *attempt)
{
    wchar_t range[CCH_VALIDATOR + 64];
    const wchar_t *headers = NULL;
    ANSWER answer;
    KEPT_VOUCHER voucher = Voucher(transfer);
    if (voucher != VOUCHED_BY_NOTHING &&
        FormatRangeRequest(range, sizeof(range) / sizeof(range[0]), transfer->received, transfer->validator, voucher))
        headers = range;
    if (AskFor(&transfer->request, &transfer->route, BootstrapSettings.MsiServerPath, headers, &answer, attempt))
        FollowAnswer(transfer, &answer, voucher, attempt);
}

// One try at the current host and what follows from its answers; every request it made is
// closed again. A whole .part is checked again and never asked for; one that fails the gate
// goes, and the host is asked.
static void RunAttempt(TRANSFER *transfer, TRY_OUTCOME *attempt)
{
    memset(attempt, 0, sizeof(*attempt));
    attempt->result = 1;
    attempt->retryAfter = NO_RETRY_AFTER;
    attempt->local = !transfer->mayAsk;
    if (!attempt->local && TakeSignature(transfer, attempt)) {
        if (IsWhole(transfer) && PassesGate(transfer)) {
            attempt->result = 0;
        } else {
            if (IsWhole(transfer))
                DropBody(transfer);
            AskForPackage(transfer, attempt);
        }
    }
    // The server's own answer shows the way to it works; one that may come from something on
    // the way shows nothing.
    transfer->route.choice.answered = transfer->route.choice.answered || (attempt->answered && !attempt->refusedRoute);
    if (transfer->request != NULL)
        PlatformCloseRequest(transfer->request);
    transfer->request = NULL;
}

// The package takes its name only through the gate. A failed run leaves the .part and its
// state for the next whenever a validator vouches for what it holds, and what an earlier run
// left as it was unless a body of this run replaced it.
static uint32_t EndTransfer(TRANSFER *transfer, const TRY_OUTCOME *attempt)
{
    uint32_t result = attempt->result;
    if (result == 0) {
        if (!CompletePart(&transfer->part, &transfer->verifier, transfer->validator, transfer->total, &transfer->held))
            result = 1;
    } else if (IsResumable(transfer->received, transfer->validator)) {
        CheckpointPart(&transfer->part, transfer->validator, transfer->total, transfer->received);
        KeepPart(&transfer->part);
    } else if (transfer->bodyStarted) {
        DiscardPart(&transfer->part);
    } else {
        KeepPart(&transfer->part);
    }
    EndVerify(&transfer->verifier);
    return result;
}

// The tries of the current host, through its own route, as long as its retries last.
static void TryHost(TRANSFER *transfer, TRY_OUTCOME *attempt)
{
    RETRY_STATE retry = {0, 0, 0, PlatformTicks() | 1, 0, 0, false};
    bool lastWay = false;
    BeginRoute(&transfer->route, &transfer->servers.servers[transfer->current]);
    transfer->signatureHeld = false;
    transfer->signatureAskedAgain = false;
    transfer->wholeAskedFor = false;
    for (;;) {
        RunAttempt(transfer, attempt);
        NoteTry(&transfer->route.choice, attempt->answered);
        // A package replaced since it was signed: the signature is asked for once more.
        if (attempt->staleSignature && !transfer->signatureAskedAgain) {
            transfer->signatureAskedAgain = true;
            transfer->signatureHeld = false;
            continue;
        }
        // Kept bytes that do not fit this host's package: it is asked for all at once, once, as
        // no failure of the host's.
        if (attempt->keptBytesUnfit && !transfer->wholeAskedFor) {
            transfer->wholeAskedFor = true;
            continue;
        }
        // An answer that is not the package may be a block page or a proxy on the way: the other
        // way, once, before the host is given up. A 5xx says "later" instead: the other way
        // takes the next try, and this one stays open for the tries after.
        if (attempt->refusedRoute && !attempt->transient && TakeOtherRoute(&transfer->route))
            continue;
        if (!attempt->transient)
            break;
        // No answer yet by the client's route: the user's own proxy, if any, is tried at once.
        if (TakeUserProxy(&transfer->route))
            continue;
        bool more = NextRetry(&retry, attempt, transfer->received, PlatformTicks());
        bool wasViaProxy = transfer->route.choice.viaProxy;
        TurnForRetry(&transfer->route.choice);
        // Where the tries alternate between two ways, the retries end only once each way has
        // failed after they ran out: a server back from a restart is not missed for a proxy
        // that is gone.
        if (!more && (transfer->route.choice.viaProxy == wasViaProxy || lastWay))
            break;
        lastWay = !more;
        PlatformSleep(RetryWaitMs(&retry, attempt->retryAfter));
    }
}

uint32_t RunTransfer(PLATFORM_FILE **held)
{
    TRANSFER transfer;
    TRY_OUTCOME attempt;
    BeginTransfer(&transfer);
    TryHost(&transfer, &attempt);
    // A failure another host may mend goes on to the next, in order.
    while (LeavesForNextHost(&attempt) && ++transfer.current < transfer.servers.count)
        TryHost(&transfer, &attempt);
    uint32_t result = EndTransfer(&transfer, &attempt);
    *held = transfer.held;
    return result;
}
