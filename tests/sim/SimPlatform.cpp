// The platform of the simulated world: the operations the transfer asks of the system,
// answered from the world, its disk and its clock, each checked against the promises as it
// happens.
#include <string.h>

#include <openssl/evp.h>

#include "Sim.h"
#include "download/core/HeaderScan.h"
#include "download/core/ResumePolicy.h"
#include "download/core/RetryPolicy.h"
#include "settings/Settings.h"
#include "text/PlainText.h"

SIM Sim;
wchar_t PackagePath[CCH_PACKAGE_PATH];

const char *const COVERED_NAMES[COVERED_COUNT] = {
    "the package handed over",
    "kept bytes resumed on another host under the same strong ETag",
    "kept bytes resumed by the run after a kill",
    "a signature asked for again after the package changed",
    "a block page on the direct way, the user's proxy then",
    "a length the volume cannot hold refused",
    "the user's logon to a proxy",
    "a host left after its retries",
    "a host left for an error answer",
    "a host left for an answer with no usable length",
    "a host left for what is no package",
    "a host left for no good signature",
    "a host left for a redirect not followed",
    "a try ended by the stall rule",
    "a link among the package's names replaced",
    "a run killed in the middle of a body",
    "kept bytes that did not fit: the whole asked for at once",
    "a host left for a certificate it does not trust",
};

namespace {

const char MSI_HEAD[] = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";
const wchar_t USER_PROXY[] = L"proxy.example:8080";

// The three keys of the world: two a build may carry, one it never does.
uint8_t KeyBytes[3][256];

}  // namespace

static void KeptBytesGo(uint32_t cb);

uint64_t DISK::Used() const
{
    std::set<int> live;
    for (const auto &entry : names)
        if (entry.second.data >= 0)
            live.insert(entry.second.data);
    uint64_t used = 0;
    for (int index : live)
        used += data[index].bytes.size();
    return used;
}

std::wstring Wide(const std::string &text)
{
    std::wstring wide;
    for (unsigned char c : text)
        wide += (wchar_t)c;
    return wide;
}

std::wstring NameOf(PACKAGE_NAME name)
{
    static const wchar_t *const SUFFIXES[] = {L"", L".part", L".resume", L".resume.new"};
    return Sim.packageName + SUFFIXES[name];
}

void Trace(const std::string &line)
{
    if (!Sim.tracing)
        return;
    char at[32];
    snprintf(at, sizeof(at), "%10.3f s  ", Sim.now / 1000.0);
    Sim.trace += at + line + "\n";
}

void Broken(const std::string &what)
{
    Sim.violation = what;
    Trace("BROKEN: " + what);
    longjmp(*Sim.exit, 2);
}

// The bound the README states for a run, for this world's hosts: about 35 minutes a host that
// brings the package no further (a little more with keys, for the signature's tries), and the
// time the package takes at 16 KiB a minute; "about" read as a few minutes more.
static uint64_t BoundMs()
{
    uint64_t largest = 0;
    for (const VERSION &version : Sim.world.versions)
        largest = version.bytes.size() > largest ? version.bytes.size() : largest;
    uint64_t perHost = (Sim.world.keys ? 45ull : 40ull) * 60 * 1000 + (largest + 16383) / 16384 * 60000;
    return Sim.world.hosts.size() * perHost;
}

// Tries a host gets: eight in a row that bring the package no further, and one for each 16 KiB
// of progress; each asks for the signature and the package, each perhaps twice for a logon.
static uint64_t MaxRequests()
{
    uint64_t largest = 0;
    for (const VERSION &version : Sim.world.versions)
        largest = version.bytes.size() > largest ? version.bytes.size() : largest;
    return Sim.world.hosts.size() * (8 + (largest + 16383) / 16384) * 4;
}

void Step(const char *what)
{
    ++Sim.calls;
    if (Sim.killAt != 0 && Sim.calls == Sim.killAt) {
        Trace(std::string("killed at ") + what);
        if (Sim.bodyUnderWay)
            Sim.covered[COVERED_KILLED_IN_A_BODY] = true;
        longjmp(*Sim.exit, 1);
    }
    if (Sim.now - Sim.runStart > BoundMs())
        Broken("the run goes on past the bound the README states (" + std::to_string((Sim.now - Sim.runStart) / 60000) +
               " minutes)");
    if (Sim.requests > MaxRequests())
        Broken("the run makes more requests than the README's bound allows (" + std::to_string(Sim.requests) + ")");
}

// Where a host replaces the package under the same strong ETag and nothing checks the whole
// (no keys, no pin), nothing tells the versions apart at a resume: the first bytes of one and
// the rest of another of the same length are all that is promised there.
static bool SplicedByALie(const std::string &bytes)
{
    bool lie = false;
    for (const HOST &host : Sim.world.hosts)
        lie = lie || (host.replaceAfter != 0 && host.replaceKeepsEtag && host.validator == VALIDATOR_STRONG);
    if (!lie || Sim.world.keys || Sim.world.builtInPin || Sim.world.settingsPin)
        return false;
    for (const VERSION &first : Sim.world.versions) {
        for (const VERSION &rest : Sim.world.versions) {
            if (first.bytes.size() != bytes.size() || rest.bytes.size() != bytes.size())
                continue;
            size_t k = 0;
            while (k < bytes.size() && bytes[k] == first.bytes[k])
                ++k;
            if (bytes.compare(k, std::string::npos, rest.bytes, k, std::string::npos) == 0)
                return true;
        }
    }
    return false;
}

bool IsVersion(const std::string &bytes)
{
    bool pinned = Sim.world.builtInPin || Sim.world.settingsPin;
    for (size_t v = 0; v < Sim.world.versions.size(); ++v) {
        // A pin takes the current version alone.
        if (bytes == Sim.world.versions[v].bytes && (!pinned || v + 1 == Sim.world.versions.size()))
            return true;
    }
    return SplicedByALie(bytes);
}

void CheckDisk()
{
    static const std::string FOLDER = "<dir>";
    const DISK &disk = Sim.disk;
    std::wstring own[4];
    for (int i = 0; i < 4; ++i)
        own[i] = NameOf((PACKAGE_NAME)i);
    auto isOwn = [&](const std::wstring &name) {
        return Sim.packageNameOk && (name == own[0] || name == own[1] || name == own[2] || name == own[3]);
    };
    // Nothing but the package's own names is made, written, cut or deleted.
    for (const auto &entry : disk.names) {
        if (isOwn(entry.first))
            continue;
        auto kept = Sim.untouchable.find(entry.first);
        const std::string &bytes = entry.second.data < 0 ? FOLDER : disk.data[entry.second.data].bytes;
        if (kept == Sim.untouchable.end())
            Broken("the run made " + Narrow(entry.first) + ", no name of the package's");
        if (kept->second != bytes)
            Broken("the run changed " + Narrow(entry.first) + ", no name of the package's");
    }
    for (const auto &kept : Sim.untouchable) {
        if (!isOwn(kept.first) && disk.names.count(kept.first) == 0)
            Broken("the run deleted " + Narrow(kept.first) + ", no name of the package's");
    }
    // The package's name holds what it held, or one version of the publisher's package.
    auto package = disk.names.find(own[0]);
    if (Sim.packageNameOk && package != disk.names.end()) {
        const std::string &bytes = package->second.data < 0 ? FOLDER : disk.data[package->second.data].bytes;
        if (!(Sim.beforeExisted && bytes == Sim.before) && !IsVersion(bytes))
            Broken("the package's name holds what is no version of the publisher's package (" +
                   std::to_string(bytes.size()) + " bytes)");
    }
}

// ---- The clock and the progress report

uint32_t PlatformTicks()
{
    Step("the clock");
    return Sim.world.tickStart + (uint32_t)Sim.now;
}

void PlatformSleep(uint32_t ms)
{
    Step("a wait");
    Trace("waits " + std::to_string(ms) + " ms");
    Sim.now += ms;
}

void ReportProgress(uint32_t received, uint32_t total)
{
    Step("the progress report");
    if (received > total)
        Broken("the progress passes the total (" + std::to_string(received) + " of " + std::to_string(total) + ")");
    if (Sim.progressSeen && total == Sim.progressTotal && received < Sim.progressReceived)
        Broken("the progress goes back within a body (" + std::to_string(received) + " after " +
               std::to_string(Sim.progressReceived) + ")");
    Sim.progressSeen = true;
    Sim.progressReceived = received;
    Sim.progressTotal = total;
}

// ---- The disk

static bool HeldByOther(const std::wstring &name)
{
    return (Sim.world.partHeldByOther && name == NameOf(NAME_PART)) ||
           (Sim.world.nameHeldByOther && name == NameOf(NAME_PACKAGE));
}

static bool HeldByRun(const std::wstring &name)
{
    auto held = Sim.heldByRun.find(name);
    return held != Sim.heldByRun.end() && held->second > 0;
}

static int Links(int data)
{
    int links = 0;
    for (const auto &entry : Sim.disk.names)
        links += entry.second.data == data ? 1 : 0;
    return links;
}


PLATFORM_FILE *PlatformOpen(PACKAGE_NAME name, FILE_OPENING opening, FILE_FACTS *facts)
{
    Step("an open");
    memset(facts, 0, sizeof(*facts));
    std::wstring path = NameOf(name);
    auto entry = Sim.disk.names.find(path);
    bool exists = entry != Sim.disk.names.end();
    facts->heldElsewhere = exists && (HeldByOther(path) || HeldByRun(path));
    bool opened = !facts->heldElsewhere && (opening == CREATE_HELD ? !exists : exists && entry->second.data >= 0) &&
                  !(exists && opening == OPEN_HELD && Sim.disk.data[entry->second.data].readOnly);
    PLATFORM_FILE *file = NULL;
    if (opened) {
        if (!exists) {
            Sim.disk.data.push_back(DATA{std::string(), false});
            Sim.disk.names[path] = DISK_ENTRY{(int)Sim.disk.data.size() - 1, false};
            entry = Sim.disk.names.find(path);
            if (name == NAME_PART)
                Sim.progressSeen = false;
        }
        file = new PLATFORM_FILE{path, entry->second.data, 0, opening != OPEN_SHARED};
        Sim.files.insert(file);
        if (file->held)
            ++Sim.heldByRun[path];
        facts->link = Links(file->data) > 1;
        facts->volume = 1;
        facts->index = (uint64_t)file->data;
        facts->identified = true;
    }
    Trace("open " + Narrow(path) + (opening == CREATE_HELD ? " (new)" : opening == OPEN_HELD ? " (held)" : " (shared)") +
          (file ? facts->link ? ": a link" : "" : facts->heldElsewhere ? ": held elsewhere" : ": fails"));
    CheckDisk();
    return file;
}

bool PlatformRead(PLATFORM_FILE *file, uint8_t *data, uint32_t cb, uint32_t *cbRead)
{
    Step("a read");
    const std::string &bytes = Sim.disk.data[file->data].bytes;
    uint32_t cbLeft = file->position < bytes.size() ? (uint32_t)bytes.size() - file->position : 0;
    *cbRead = cb < cbLeft ? cb : cbLeft;
    memcpy(data, bytes.data() + (cbLeft ? file->position : 0), *cbRead);
    file->position += *cbRead;
    return true;
}

bool PlatformWrite(PLATFORM_FILE *file, const uint8_t *data, uint32_t cb)
{
    Step("a write");
    std::string &bytes = Sim.disk.data[file->data].bytes;
    uint64_t end = (uint64_t)file->position + cb;
    uint64_t growth = end > bytes.size() ? end - bytes.size() : 0;
    bool written = ++Sim.writes != Sim.world.failWriteAt && Sim.disk.Used() + growth <= Sim.disk.capacity && file->held;
    if (written) {
        if (bytes.size() < end)
            bytes.resize(end);
        memcpy(&bytes[file->position], data, cb);
        file->position += cb;
    } else {
        Trace("write of " + std::to_string(cb) + " bytes to " + Narrow(file->name) + " fails");
    }
    CheckDisk();
    return written;
}

bool PlatformSeek(PLATFORM_FILE *file, uint32_t offset)
{
    Step("a seek");
    file->position = offset;
    return true;
}

bool PlatformCut(PLATFORM_FILE *file)
{
    Step("a cut");
    std::string &bytes = Sim.disk.data[file->data].bytes;
    if (file->position < bytes.size()) {
        if (file->name == NameOf(NAME_PART))
            KeptBytesGo(file->position);
        bytes.resize(file->position);
    }
    if (file->position == 0 && file->name == NameOf(NAME_PART))
        Sim.progressSeen = false;
    Trace("cut " + Narrow(file->name) + " at " + std::to_string(file->position));
    CheckDisk();
    return file->held;
}

bool PlatformSize(PLATFORM_FILE *file, uint64_t *cb)
{
    Step("a size");
    *cb = Sim.disk.data[file->data].bytes.size();
    return true;
}

bool PlatformFlush(PLATFORM_FILE *file)
{
    Step("a flush");
    (void)file;
    return ++Sim.flushes != Sim.world.failFlushAt;
}

void PlatformClose(PLATFORM_FILE *file)
{
    Step("a close");
    if (Sim.files.erase(file) == 0)
        Broken("a file closed twice, or one never opened");
    if (file->held)
        --Sim.heldByRun[file->name];
    delete file;
}

bool PlatformDelete(PACKAGE_NAME name)
{
    Step("a delete");
    std::wstring path = NameOf(name);
    auto entry = Sim.disk.names.find(path);
    bool deleted = ++Sim.deletes != Sim.world.failDeleteAt && entry != Sim.disk.names.end() && entry->second.data >= 0 &&
                   !HeldByRun(path) && !HeldByOther(path) && !Sim.disk.data[entry->second.data].readOnly;
    if (deleted && name == NAME_PART)
        KeptBytesGo(0);
    if (deleted) {
        if (Links(entry->second.data) > 1)
            Sim.covered[COVERED_LINK_REPLACED] = true;
        Sim.disk.names.erase(entry);
        Trace("delete " + Narrow(path));
    } else {
        Trace("delete " + Narrow(path) + ": fails");
    }
    CheckDisk();
    return deleted;
}

bool PlatformRename(PACKAGE_NAME from, PACKAGE_NAME to)
{
    Step("a rename");
    std::wstring source = NameOf(from);
    std::wstring target = NameOf(to);
    auto entry = Sim.disk.names.find(source);
    auto old = Sim.disk.names.find(target);
    bool renamed = ++Sim.renames != Sim.world.failRenameAt && entry != Sim.disk.names.end() && !HeldByRun(source) &&
                   !HeldByOther(source) && !HeldByRun(target) && !HeldByOther(target) &&
                   (old == Sim.disk.names.end() || (old->second.data >= 0 && !Sim.disk.data[old->second.data].readOnly));
    if (renamed) {
        DISK_ENTRY moved = entry->second;
        Sim.disk.names.erase(entry);
        Sim.disk.names[target] = moved;
    }
    Trace("rename " + Narrow(source) + " to " + Narrow(target) + (renamed ? "" : ": fails"));
    CheckDisk();
    return renamed;
}

NAME_HOLDER PlatformNameHolder()
{
    Step("the name's holder");
    std::wstring path = NameOf(NAME_PACKAGE);
    auto entry = Sim.disk.names.find(path);
    if (entry == Sim.disk.names.end())
        return NAME_EMPTY;
    bool refused = entry->second.data < 0 || Sim.disk.data[entry->second.data].readOnly || HeldByOther(path) ||
                   HeldByRun(path);
    return refused ? NAME_REFUSED : NAME_FILE;
}

bool PlatformFreeSpace(uint64_t *cb)
{
    Step("the free space");
    *cb = Sim.disk.capacity - Sim.disk.Used();
    if (*cb < CB_VOLUME_MARGIN + Sim.lastLength)
        Sim.covered[COVERED_NO_ROOM] = true;
    return true;
}

// ---- SHA-256, and an RSA of the world's own: a signature is the key's mark over the digest

struct PLATFORM_HASH {
    EVP_MD_CTX *context;
    bool ended;
    uint8_t digest[CB_SHA256];
};

static void Sha256(const void *data, size_t cb, uint8_t digest[CB_SHA256])
{
    unsigned int cbDigest = 0;
    EVP_Digest(data, cb, digest, &cbDigest, EVP_sha256(), NULL);
}

PLATFORM_HASH *PlatformHashBegin()
{
    Step("a hash");
    PLATFORM_HASH *hash = new PLATFORM_HASH{EVP_MD_CTX_new(), false, {}};
    EVP_DigestInit_ex(hash->context, EVP_sha256(), NULL);
    Sim.hashes.insert(hash);
    return hash;
}

bool PlatformHashAdd(PLATFORM_HASH *hash, const uint8_t *data, uint32_t cb)
{
    return !hash->ended && EVP_DigestUpdate(hash->context, data, cb) == 1;
}

bool PlatformHashEnd(PLATFORM_HASH *hash, uint8_t digest[CB_SHA256])
{
    unsigned int cbDigest = 0;
    if (!hash->ended)
        EVP_DigestFinal_ex(hash->context, hash->digest, &cbDigest);
    hash->ended = true;
    memcpy(digest, hash->digest, CB_SHA256);
    return true;
}

void PlatformHashRelease(PLATFORM_HASH *hash)
{
    if (Sim.hashes.erase(hash) == 0)
        Broken("a hash released twice, or one never begun");
    EVP_MD_CTX_free(hash->context);
    delete hash;
}

// The world's RSA: the key's mark over the digest of the signed lines.
static void Mark(const uint8_t *modulus, const uint8_t digest[CB_SHA256], uint8_t rsa[256])
{
    uint8_t block[CB_SHA256 * 2 + 1];
    memcpy(block, modulus, CB_SHA256);
    memcpy(block + CB_SHA256, digest, CB_SHA256);
    for (int i = 0; i < 8; ++i) {
        block[CB_SHA256 * 2] = (uint8_t)i;
        Sha256(block, sizeof(block), rsa + i * CB_SHA256);
    }
}

bool PlatformRsaVerifies(const PACKAGE_KEY *key, const char *text, const PACKAGE_SIGNATURE *signature)
{
    Step("an RSA check");
    uint8_t digest[CB_SHA256];
    uint8_t rsa[256];
    Sha256(text, signature->cbSigned, digest);
    Mark(key->modulus, digest, rsa);
    return key->cbModulus == 256 && signature->cbRsa == 256 && memcmp(rsa, signature->rsa, 256) == 0;
}

const uint8_t *WorldKey(int index)
{
    if (KeyBytes[index][0] == 0) {
        for (int i = 0; i < 256; ++i)
            KeyBytes[index][i] = (uint8_t)(0x31 * (index + 1) + i);
    }
    return KeyBytes[index];
}

// The signature of a version, by key, for name, made at time.
static std::string SignatureText(const VERSION &version, int key, const std::string &name, uint64_t time)
{
    static const char HEX[] = "0123456789abcdef";
    uint8_t sha256[CB_SHA256];
    uint8_t digest[CB_SHA256];
    uint8_t rsa[256];
    Sha256(version.bytes.data(), version.bytes.size(), sha256);
    std::string text = "LumvexPackageSignature=1\nName=" + name + "\nLength=" + std::to_string(version.bytes.size()) +
                       "\nSha256=";
    for (uint8_t b : sha256)
        text += std::string(1, HEX[b >> 4]) + HEX[b & 15];
    text += "\nTime=" + std::to_string(time) + "\n";
    Sha256(text.data(), text.size(), digest);
    Mark(WorldKey(key), digest, rsa);
    text += "RsaSha256=";
    for (uint8_t b : rsa)
        text += std::string(1, HEX[b >> 4]) + HEX[b & 15];
    return text + "\n";
}

// ---- The network: the hosts, the proxies, and the client between them

struct PLATFORM_REQUEST {
    int host;             // the host whose answer this is; -1 for a proxy's or a filter's own
    bool package;         // an answer to the package's request, with a body of the package's
    long status;
    std::string body;     // what the body would bring, whole; or ...
    const std::string *whole;  // ... from this version of the package's bytes ...
    uint32_t from;        // ... these
    bool gzip;            // ... its first bytes those of a compressed body
    uint32_t sent;        // bytes handed over so far
    uint32_t stopAt;      // the body breaks after this many
    bool stalls;          // ... by going silent (else the client says it ended)
    uint32_t pieceBytes;
    uint32_t pieceMs;
    bool paced;
    uint32_t pieces;
    uint64_t nextAt;      // when the next piece comes
    bool logonFromProxy;  // a 407 of a proxy's own
    bool throughProxy;    // the request went through a proxy: what answers its 407 is that hop
    bool resumed;         // a 206 that continues kept bytes
    bool elsewhere;       // ... of another host's
    bool viaUserProxy;
};

static uint32_t BodySize(const PLATFORM_REQUEST *request)
{
    return request->whole != NULL ? (uint32_t)(request->whole->size() - request->from) : (uint32_t)request->body.size();
}

// The body's next cb bytes.
static void CopyBody(const PLATFORM_REQUEST *request, uint32_t cb, uint8_t *data)
{
    if (request->whole == NULL) {
        memcpy(data, request->body.data() + request->sent, cb);
        return;
    }
    uint32_t at = request->from + request->sent;
    memcpy(data, request->whole->data() + at, cb);
    for (uint32_t i = at; request->gzip && i < 2 && i < at + cb; ++i)
        data[i - at] = i == 0 ? 0x1F : 0x8B;
}

static std::string Header(const char *name, const std::string &value)
{
    return std::string(name) + ": " + value + "\r\n";
}

static std::string Page(uint32_t cb)
{
    std::string page = "<html><body>Please sign in, or this page is not what you asked for</body></html>";
    page.resize(cb, ' ');
    return page;
}

static int HostAt(const wchar_t *name, uint16_t port)
{
    SERVER_SCHEME scheme = Sim.world.https ? SCHEME_HTTPS : SCHEME_HTTP;
    for (size_t i = 0; i < Sim.world.hosts.size(); ++i) {
        if (Sim.world.hosts[i].name == name && PortFor(scheme, Sim.world.hosts[i].port) == port)
            return (int)i;
    }
    return -1;
}

int32_t KeptOnDisk(uint32_t *received, uint32_t *total)
{
    auto state = Sim.disk.names.find(NameOf(NAME_STATE));
    auto part = Sim.disk.names.find(NameOf(NAME_PART));
    RESUME_STATE kept;
    SERVER_LIST servers;
    int32_t host = -1;
    if (PackagePath[0] == L'\0' || state == Sim.disk.names.end() || part == Sim.disk.names.end() ||
        state->second.data < 0 || part->second.data < 0 || !ListServers(&BootstrapSettings, &servers) ||
        ParseScheme(BootstrapSettings.ServerScheme) == SCHEME_INVALID)
        return -1;
    const std::string &text = Sim.disk.data[state->second.data].bytes;
    const std::string &bytes = Sim.disk.data[part->second.data].bytes;
    if (text.size() > RESUME_CB_TEXT || !ParseResumeState(text.data(), text.size(), &kept) || kept.received == 0 ||
        kept.received >= kept.total || bytes.size() < kept.received)
        return -1;
    int32_t source = SourceOf(&kept, &BootstrapSettings, &servers);
    for (const VERSION &version : Sim.world.versions) {
        if (source >= 0 && version.bytes.size() == kept.total &&
            bytes.compare(0, kept.received, version.bytes, 0, kept.received) == 0) {
            host = HostAt(servers.servers[source].host, PortFor(ParseScheme(BootstrapSettings.ServerScheme),
                                                                  servers.servers[source].port));
            *received = kept.received;
            *total = kept.total;
        }
    }
    return host;
}

// Another body's first bytes, which start as the package: they may replace what is kept.
static bool NewPackageBody()
{
    const PLATFORM_REQUEST *request = Sim.bodyRequest;
    if (request == NULL)
        return false;
    std::string first(8, '\0');
    uint32_t cb = BodySize(request) < 8 ? BodySize(request) : 8;
    PLATFORM_REQUEST at = *request;
    at.sent = 0;
    CopyBody(&at, cb, (uint8_t *)&first[0]);
    return (request->whole == NULL || request->from == 0) && cb == 8 && memcmp(first.data(), MSI_HEAD, 8) == 0;
}

// The .part goes, or is cut to cb: the bytes a fitting state counts go only for another body
// that starts as the package, or once the whole was checked.
static void KeptBytesGo(uint32_t cb)
{
    uint32_t received = 0, total = 0;
    if (KeptOnDisk(&received, &total) < 0 || cb >= received || Sim.world.partHeldByOther)
        return;
    auto part = Sim.disk.names.find(NameOf(NAME_PART));
    if (Sim.disk.data[part->second.data].bytes.size() == total || NewPackageBody())
        return;
    Broken("the run throws away " + std::to_string(received) + " kept bytes that a fitting state counts, for no new body");
}

static std::string RequestLine(const wchar_t *headers, const char *name)
{
    std::string text = headers != NULL ? Narrow(headers) : std::string();
    size_t at = text.find(std::string(name) + ": ");
    return at == std::string::npos ? std::string() : text.substr(at + strlen(name) + 2, text.find("\r\n", at) - at - strlen(name) - 2);
}

// What a host answers for a path (its own redirects aside): the head's lines after the status
// line, and the body.
static void Answer(int index, const std::wstring &path, const wchar_t *headers, PLATFORM_REQUEST *request,
                   std::string *head)
{
    const HOST &host = Sim.world.hosts[index];
    std::wstring own = path.compare(0, 4, L"/cdn") == 0 ? path.substr(4) : path;
    std::wstring signature = Sim.world.serverPath + L".sig";
    request->host = index;
    uint32_t version = host.version;
    std::string etagOf;
    if (own == signature) {
        const VERSION &current = Sim.world.versions[version];
        const VERSION &before = Sim.world.versions[version > 0 ? version - 1 : 0];
        std::string name = "LumvexSetup.msi";
        int key = Sim.world.twoKeys ? (int)(Sim.world.seed % 2) : 0;
        request->status = 200;
        switch (host.signature) {
        case SIG_GOOD: request->body = SignatureText(current, key, name, current.signedAt); break;
        case SIG_MISSING: request->status = 404; request->body = Page(200); break;
        case SIG_GARBLED:
            request->body = SignatureText(current, key, name, current.signedAt);
            request->body[request->body.size() - 5] = request->body[request->body.size() - 5] == '0' ? '1' : '0';
            break;
        case SIG_OTHER_KEY: request->body = SignatureText(current, 2, name, current.signedAt); break;
        case SIG_OTHER_NAME: request->body = SignatureText(current, key, "Other.msi", current.signedAt); break;
        case SIG_TOO_OLD: request->body = SignatureText(current, key, name, Sim.world.notBefore - (Sim.world.notBefore > 0)); break;
        case SIG_STALE: request->body = SignatureText(before, key, name, before.signedAt); break;
        case SIG_PAGE: request->body = Page(300); break;
        }
        *head = Header("Content-Length", std::to_string(request->body.size()));
        return;
    }
    if (own != Sim.world.serverPath) {
        request->status = 404;
        request->body = Page(100);
        *head = Header("Content-Length", "100");
        return;
    }
    uint32_t asked = ++Sim.packageAsked[index];
    if (host.replaceAfter != 0 && asked > host.replaceAfter && version + 1 < Sim.world.versions.size()) {
        etagOf = host.replaceKeepsEtag ? Sim.world.versions[version].etag : "";
        ++version;
    }
    const VERSION &served = Sim.world.versions[version];
    std::string etag = etagOf.empty() ? served.etag : etagOf;
    if (asked <= host.transientFirst) {
        request->status = 503;
        request->body = Page(50);
        *head = Header("Content-Length", "50") + (host.retryAfter ? Header("Retry-After", std::to_string(host.retryAfter)) : "");
        return;
    }
    if (host.errorStatus != 0 || host.serverAsksLogon) {
        request->status = host.serverAsksLogon ? 407 : host.errorStatus;
        request->body = Page(60);
        *head = Header("Content-Length", "60") + (request->status == 503 && host.retryAfter
                                                      ? Header("Retry-After", std::to_string(host.retryAfter))
                                                      : "");
        return;
    }
    if (host.blockPage) {
        request->status = 200;
        request->body = Page((uint32_t)served.bytes.size() < 20 ? 20 : (uint32_t)served.bytes.size());
        *head = Header("Content-Length", std::to_string(request->body.size()));
        return;
    }
    // The package's bytes are the version's own, not a copy: a world may hold megabytes.
    const std::string &body = served.bytes;
    std::string validator = host.validator == VALIDATOR_STRONG ? Header("ETag", etag)
                            : host.validator == VALIDATOR_WEAK ? Header("ETag", "W/" + etag)
                            : host.validator == VALIDATOR_DATE ? Header("Last-Modified", served.lastModified)
                                                               : "";
    std::string named = host.validator == VALIDATOR_STRONG ? etag : host.validator == VALIDATOR_DATE ? served.lastModified : "";
    std::string range = RequestLine(headers, "Range");
    std::string ifRange = RequestLine(headers, "If-Range");
    uint32_t from = range.compare(0, 6, "bytes=") == 0 ? (uint32_t)strtoul(range.c_str() + 6, NULL, 10) : 0;
    bool partial = !range.empty() && host.ranges != RANGES_IGNORED &&
                   (ifRange.empty() || ifRange == named || host.ranges == IF_RANGE_IGNORED) && from < body.size();
    request->status = partial ? 206 : 200;
    if (partial) {
        uint32_t first = host.ranges == RANGES_WRONG_START ? from / 2 : from;
        if (host.ranges == RANGES_WRONG_VALIDATOR)
            validator = Header("ETag", "\"another\"");
        *head = Header("Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(body.size() - 1) + "/" +
                                            std::to_string(body.size() + (host.ranges == RANGES_WRONG_TOTAL)));
        request->from = first;
        request->resumed = true;
        request->elsewhere = Sim.lastBodyHost >= 0 && Sim.lastBodyHost != index && ifRange.size() > 0 && ifRange[0] == '"';
    }
    *head += host.noLength ? Header("Transfer-Encoding", "chunked")
                           : Header("Content-Length", std::to_string(body.size() - request->from));
    *head += validator;
    request->whole = &body;
    request->gzip = host.gzip;
    request->package = true;
    request->pieceBytes = host.pieceBytes;
    request->pieceMs = host.pieceMs;
    request->paced = host.paced;
    if (Sim.bodiesCut[index] < host.cutTimes) {
        ++Sim.bodiesCut[index];
        request->stopAt = host.cutAt;
        request->stalls = host.cutStalls;
    }
}

// A proxy's or a filter's own answer, or none: where the request goes no further.
static bool StoppedOnTheWay(const ASK *ask, bool logon, PLATFORM_REQUEST *request, std::string *head, ASKED *asked)
{
    PROXY_KIND proxy = ask->proxy != NULL ? Sim.world.userProxy : Sim.world.clientsProxy;
    request->viaUserProxy = ask->proxy != NULL;
    request->throughProxy = proxy != PROXY_NONE;
    if (ask->proxy == NULL && Sim.world.directBlocked) {
        request->status = 200;
        request->body = Page(512);
        *head = Header("Content-Length", "512");
        Sim.blockPageSeen = true;
        return true;
    }
    if (proxy == PROXY_DEAD) {
        asked->error = 12029;
        return true;
    }
    if ((proxy == PROXY_ASKS_LOGON && !logon) || proxy == PROXY_REFUSES) {
        request->status = 407;
        request->logonFromProxy = true;
        request->body = Page(40);
        *head = Header("Content-Length", "40");
        asked->logonsOffered = proxy == PROXY_REFUSES ? 0x1 : LOGON_NTLM | LOGON_NEGOTIATE;
        asked->logonForProxy = true;
        return true;
    }
    return false;
}

// The request, its redirects followed as the client follows them (301, 302 and 307; a loop
// given up after ten), to its answer's head.
static void Exchange(PLATFORM_REQUEST *request, const ASK *ask, bool logon, ASKED *asked)
{
    std::string head;
    memset(asked, 0, sizeof(*asked));
    *request = PLATFORM_REQUEST{};
    request->host = -1;
    request->stopAt = UINT32_MAX;
    request->pieceBytes = 65536;
    ++Sim.requests;
    bool answered = StoppedOnTheWay(ask, logon, request, &head, asked) && asked->error == 0;
    int index = HostAt(ask->host, ask->port);
    std::wstring path = ask->path;
    for (int hop = 0; !answered && asked->error == 0; ++hop) {
        if (index < 0) {
            asked->error = 12007;
            break;
        }
        const HOST &host = Sim.world.hosts[index];
        if (host.reach == REACH_REFUSED || (Sim.now < host.blackoutMs && host.blackoutRefuses)) {
            asked->error = 12029;
        } else if (host.reach == REACH_NO_NAME) {
            Sim.now += 40;
            asked->error = 12007;
        } else if (host.reach == REACH_DROPPED) {
            Sim.now += 10000ull * (host.addresses < 2 ? host.addresses : 2);
            asked->error = 12002;
        } else if (host.reach == REACH_BAD_TLS && Sim.world.https) {
            Sim.now += 30;
            asked->error = 12175;
        } else if (host.headFlood) {
            // The client's own limit on the head's size.
            Sim.now += 50;
            asked->error = 12183;
        } else if (host.reach == REACH_SILENT || host.headMs >= TransferTiming.msAnswerWait) {
            Sim.now += TransferTiming.msAnswerWait;
            asked->error = 12002;
            asked->timedOut = true;
        } else if (Sim.now < host.blackoutMs) {
            Sim.now += host.headMs;
            request->host = index;
            request->status = 502;
            request->body = Page(30);
            head = Header("Content-Length", "30");
            answered = true;
        } else if (host.redirect != 0 && (host.redirect == 2 || path.compare(0, 4, L"/cdn") != 0)) {
            Sim.now += 5;
            std::wstring next = host.redirect == 2 ? path : L"/cdn" + path;
            std::wstring location = std::wstring(Sim.world.https ? L"https://" : L"http://") + host.name + L":" +
                                    std::to_wstring(PortFor(Sim.world.https ? SCHEME_HTTPS : SCHEME_HTTP, host.port)) + next;
            if (host.redirectStatus == 303 || host.redirectStatus == 308) {
                request->host = index;
                request->status = host.redirectStatus;
                head = Header("Location", Narrow(location)) + Header("Content-Length", "0");
                answered = true;
            } else if (hop == 10) {
                asked->error = 12156;
            } else {
                Trace("  " + std::to_string(host.redirectStatus) + " to " + Narrow(location));
                CopyText(asked->url, CCH_ASKED_URL, location.c_str());
                path = next;
            }
        } else {
            Sim.now += host.headMs;
            Answer(index, path, ask->headers, request, &head);
            answered = true;
        }
    }
    Sim.lastLength = 0;
    if (answered) {
        std::wstring text = Wide("HTTP/1.1 " + std::to_string(request->status) + " Answer\r\n" + head + "\r\n");
        ScanAnswer(text.c_str(), text.size(), &asked->answer);
        asked->answered = true;
        Sim.lastLength = request->package ? asked->answer.length : 0;
        asked->certificateShown = Sim.world.https && request->host >= 0;
        if (request->status == 407 && !request->logonFromProxy) {
            asked->logonsOffered = LOGON_NTLM | LOGON_NEGOTIATE;
            asked->logonForProxy = true;
        }
    }
    request->nextAt = Sim.now;
    // What a host that is left after this answer was left for.
    bool signaturePath = path.size() >= 4 && path.compare(path.size() - 4, 4, L".sig") == 0;
    bool page = request->body.compare(0, 6, "<html>") == 0 || request->gzip;
    Sim.lastKind = !answered ? (asked->error == 12156   ? COVERED_LEFT_REDIRECT
                                : asked->error == 12175 ? COVERED_LEFT_TLS
                                                        : COVERED_LEFT_AFTER_RETRIES)
                   : request->status == 303 || request->status == 308 ? COVERED_LEFT_REDIRECT
                   : request->status / 100 == 5 || request->status == 407 ? COVERED_LEFT_AFTER_RETRIES
                   : signaturePath && (request->host < 0 || Sim.world.hosts[request->host].signature != SIG_GOOD)
                       ? COVERED_LEFT_NO_SIGNATURE
                   : request->status / 100 != 2 ? COVERED_LEFT_ERROR_STATUS
                   : page ? COVERED_LEFT_NOT_A_PACKAGE
                   : asked->answer.length == 0 ? COVERED_LEFT_NO_LENGTH
                                               : COVERED_LEFT_AFTER_RETRIES;
    Trace("asks " + Narrow(ask->host) + ":" + std::to_string(ask->port) + Narrow(ask->path) +
          (ask->proxy ? " through the user's proxy" : "") + (ask->headers ? " [" + RequestLine(ask->headers, "Range") + "]" : "") +
          (logon ? " with the user's logon" : "") + ": " +
          (answered ? std::to_string(request->status) + " from " + (request->host >= 0 ? "the host" : "the way") +
                          ", " + std::to_string(BodySize(request)) + " bytes"
                    : "error " + std::to_string(asked->error)));
}

// What the coverage and the promise about kept bytes want of each request, before its answer.
static void Observe(const ASK *ask)
{
    int index = HostAt(ask->host, ask->port);
    bool packagePath = std::wstring(ask->path) == Sim.world.serverPath;
    // The run moved on to the next host: the last answer of the one before says why.
    if (Sim.lastAskedHost >= 0 && index != Sim.lastAskedHost)
        Sim.covered[Sim.lastKind] = true;
    if (ask->proxy != NULL && Sim.blockPageSeen)
        Sim.covered[COVERED_BLOCK_PAGE_TO_PROXY] = true;
    if (!packagePath && index == Sim.signatureHost && Sim.packageAfterSignature)
        Sim.covered[COVERED_SIGNATURE_ASKED_AGAIN] = true;
    Sim.packageAfterSignature = packagePath && index == Sim.signatureHost;
    bool range = !RequestLine(ask->headers, "Range").empty();
    if (packagePath && !range && Sim.lastAskedRange && index == Sim.lastAskedHost && Sim.now == Sim.lastAskedAt)
        Sim.covered[COVERED_WHOLE_AFTER_UNFIT] = true;
    Sim.lastAskedRange = packagePath && range;
    if (!packagePath)
        Sim.signatureHost = index;
    Sim.lastAskedHost = index;
    // The first request for the package to the host the kept bytes came from asks for their rest.
    if (packagePath && Sim.expectRangeHost >= 0 && index == Sim.expectRangeHost && !Sim.firstPackageAsked) {
        Sim.firstPackageAsked = true;
        std::string range = RequestLine(ask->headers, "Range");
        if (range != "bytes=" + std::to_string(Sim.expectRangeFrom) + "-")
            Broken("the run after a kill asks again for what it holds (" + (range.empty() ? "the whole" : range) +
                   ", " + std::to_string(Sim.expectRangeFrom) + " bytes kept)");
    }
}

PLATFORM_REQUEST *PlatformAsk(const ASK *ask, ASKED *asked)
{
    Step("a request");
    PLATFORM_REQUEST *request = new PLATFORM_REQUEST;
    Sim.requestsOpen.insert(request);
    Observe(ask);
    Exchange(request, ask, false, asked);
    return request;
}

bool PlatformAskWithLogon(PLATFORM_REQUEST *request, const ASK *ask, uint32_t scheme, ASKED *asked)
{
    Step("a request with the user's logon");
    (void)scheme;
    // The promise: the user's logon goes to nothing but a proxy. Through a proxy in plain HTTP
    // it goes to that hop, whoever asked; inside a TLS tunnel, or with no proxy, to the server.
    if (!request->logonFromProxy && (!request->throughProxy || Sim.world.https))
        Broken("the user's logon went to a server, not a proxy");
    Sim.covered[COVERED_LOGON_TO_PROXY] = true;
    Exchange(request, ask, true, asked);
    return true;
}

bool PlatformReadPiece(PLATFORM_REQUEST *request, uint32_t msWait, uint8_t *data, uint32_t cbMax, uint32_t *cbRead,
                       uint32_t *error)
{
    Step("a read of the body");
    *cbRead = 0;
    *error = 0;
    uint32_t left = BodySize(request) - request->sent;
    bool broken = request->sent >= request->stopAt;
    if (broken && !request->stalls)
        return true;
    if (left == 0)
        return true;
    if (broken || request->nextAt > Sim.now + msWait) {
        Sim.now += msWait;
        *error = 12002;
        if (msWait < MS_SEND_RECEIVE_TIMEOUT)
            Sim.covered[COVERED_STALL_RULE] = true;
        return false;
    }
    Sim.now = request->nextAt > Sim.now ? request->nextAt : Sim.now;
    uint32_t piece = request->paced ? (request->pieces % 3 == 2 ? 16382 : 1) : request->pieceBytes;
    piece = piece < left ? piece : left;
    piece = piece < request->stopAt - request->sent ? piece : request->stopAt - request->sent;
    piece = piece < cbMax ? piece : cbMax;
    CopyBody(request, piece, data);
    request->sent += piece;
    ++request->pieces;
    request->nextAt = Sim.now + (request->paced ? 29000 : request->pieceMs);
    *cbRead = piece;
    if (request->package && request->host >= 0)
        Sim.lastBodyHost = request->host;
    Sim.bodyRequest = request;
    if (request->resumed && request->elsewhere)
        Sim.covered[COVERED_RESUMED_ELSEWHERE_BY_ETAG] = true;
    if (request->resumed && Sim.run > 0)
        Sim.covered[COVERED_RESUMED_AFTER_KILL] = true;
    Sim.bodyUnderWay = request->package;
    return true;
}

void PlatformCloseRequest(PLATFORM_REQUEST *request)
{
    Step("a close of a request");
    if (Sim.requestsOpen.erase(request) == 0)
        Broken("a request closed twice, or one never made");
    if (Sim.bodyRequest == request)
        Sim.bodyRequest = NULL;
    Sim.lastAskedAt = Sim.now;
    Sim.bodyUnderWay = false;
    delete request;
}

bool PlatformUserProxy(SERVER_SCHEME scheme, const wchar_t *host, uint16_t port, const wchar_t *path, wchar_t *proxy,
                       size_t cchProxy)
{
    Step("the user's proxy");
    (void)scheme;
    (void)host;
    (void)port;
    (void)path;
    if (Sim.world.userProxyScriptHangs) {
        Sim.now += TransferTiming.msProxySearch;
        return false;
    }
    return Sim.world.userProxy != PROXY_NONE && CopyText(proxy, cchProxy, USER_PROXY);
}

bool PlatformClientProxies(bool secure, const wchar_t *host)
{
    Step("the client's proxy");
    (void)secure;
    (void)host;
    return Sim.world.clientsProxy != PROXY_NONE;
}

void EndProcess()
{
    for (void *file : Sim.files)
        delete (PLATFORM_FILE *)file;
    for (void *request : Sim.requestsOpen)
        delete (PLATFORM_REQUEST *)request;
    for (void *hash : Sim.hashes) {
        EVP_MD_CTX_free(((PLATFORM_HASH *)hash)->context);
        delete (PLATFORM_HASH *)hash;
    }
    Sim.files.clear();
    Sim.requestsOpen.clear();
    Sim.hashes.clear();
    Sim.heldByRun.clear();
    Sim.bodyUnderWay = false;
    Sim.bodyRequest = NULL;
}
