#include "World.h"

#include "download/core/ResumePolicy.h"
#include "text/PlainText.h"

#include <stdio.h>
#include <string.h>

#include <utility>

namespace {

const char MSI_HEAD[] = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";

std::string Bytes(Chance *chance, size_t cb)
{
    std::string bytes(cb + 8, '\0');
    for (size_t i = 0; i < cb; i += 8) {
        uint64_t word = chance->Next();
        memcpy(&bytes[i], &word, 8);
    }
    bytes.resize(cb);
    return bytes;
}

std::string Date(uint32_t day)
{
    char text[64];
    snprintf(text, sizeof(text), "Mon, %02u Dec 2026 10:00:00 GMT", 1 + day % 28);
    return text;
}

template <typename T>
T Pick(Chance *chance, std::initializer_list<T> menu)
{
    return *(menu.begin() + chance->Below((uint32_t)menu.size()));
}

const char *Named(REACH reach)
{
    static const char *const NAMES[] = {"reachable", "refuses connections", "behind a firewall that drops packets",
                                        "a name that does not resolve", "silent after the request",
                                        "a certificate not trusted over https"};
    return NAMES[reach];
}

const char *Named(SIGNATURE_KIND kind)
{
    static const char *const NAMES[] = {"good", "missing", "garbled", "by another key", "for another name",
                                        "too old", "stale in a cache", "a page"};
    return NAMES[kind];
}

const char *Named(RANGES ranges)
{
    static const char *const NAMES[] = {"ranges honoured", "ranges ignored", "If-Range ignored", "206 from another start",
                                        "206 under another ETag", "206 of another whole"};
    return NAMES[ranges];
}

const char *Named(VALIDATOR_KIND kind)
{
    static const char *const NAMES[] = {"strong ETag", "weak ETag", "Last-Modified", "no validator"};
    return NAMES[kind];
}

const char *Named(PROXY_KIND kind)
{
    static const char *const NAMES[] = {"none", "forwards", "asks for the user's logon", "wants a password", "dead"};
    return NAMES[kind];
}

// A host that serves the signed package as it should: slow, cut and blacked out within what the
// program outlasts.
void MakeHonest(HOST *host, Chance *chance, uint32_t versions)
{
    host->reach = REACH_OK;
    if (host->ranges == RANGES_WRONG_START || host->ranges == RANGES_WRONG_VALIDATOR || host->ranges == RANGES_WRONG_TOTAL)
        host->ranges = RANGES_HONOURED;
    host->blackoutMs = chance->OneIn(3) ? chance->Between(1000, 60000) : 0;
    host->errorStatus = 0;
    host->transientFirst = 0;
    host->serverAsksLogon = false;
    host->blockPage = false;
    host->signature = SIG_GOOD;
    host->version = versions - 1;
    host->replaceAfter = 0;
    host->noLength = false;
    host->gzip = false;
    host->paced = false;
    host->pieceMs = chance->OneIn(3) ? chance->Between(100, 2000) : chance->Between(0, 20);
    host->pieceBytes = host->pieceMs >= 100 ? chance->Between(1024, 8192) : chance->Between(1024, 65536);
    // Cuts that each bring the package further (where the host resumes, any number; where it
    // does not, the first is progress and one more is forgiven). After a blackout has used the
    // minute of retries, a cut try too must get 16 KiB a minute further.
    bool resumes = host->validator == VALIDATOR_STRONG && host->ranges == RANGES_HONOURED;
    host->cutTimes = chance->OneIn(3) ? chance->Between(1, resumes ? 8 : 2) : 0;
    host->cutAt = !host->cutTimes                         ? 0
                  : host->blackoutMs || host->cutTimes > 2 ? chance->Between(65536, 300000)
                                                          : chance->Between(1, 300000);
    host->headMs = chance->OneIn(4) ? chance->Between(100, 60000) : 0;
    host->headFlood = false;
    host->redirect = chance->OneIn(6) ? 1 : 0;
    host->redirectStatus = Pick<uint32_t>(chance, {301, 302, 307});
}

// The text of a state that speaks of a .part of version of, mostly true, now and then not.
std::string StateFor(Chance *chance, const WORLD &world, const VERSION &of, uint32_t hosts)
{
    RESUME_STATE state = {};
    const HOST &host = world.hosts[chance->Below(hosts)];
    CopyText(state.ServerScheme, SETTINGS_CCH_TEXT, world.https ? L"https" : L"http");
    CopyText(state.ServerAddress, SETTINGS_CCH_TEXT, chance->OneIn(5) ? L"elsewhere.example" : host.name.c_str());
    state.ServerPort = host.port;
    CopyText(state.MsiServerPath, SETTINGS_CCH_TEXT, chance->OneIn(6) ? L"/Other.msi" : world.serverPath.c_str());
    std::string etag = chance->OneIn(5) ? "\"x\"" : of.etag;
    for (size_t i = 0; i < etag.size(); ++i)
        state.validator[i] = (wchar_t)etag[i];
    state.total = chance->OneIn(5) ? (uint32_t)of.bytes.size() + 1 : (uint32_t)of.bytes.size();
    state.received = chance->Below(state.total + 1);
    char text[RESUME_CB_TEXT];
    size_t cb = FormatResumeState(text, sizeof(text), &state);
    return std::string(text, cb);
}

}  // namespace

WORLD MakeWorld(uint64_t seed)
{
    Chance chance(seed);
    WORLD world = {};
    world.seed = seed;
    // The publisher's versions: the last is the one it serves now and has signed last.
    uint32_t versions = chance.Between(1, 3);
    // Megabytes now and then; mostly less, which tries the same rules in less time.
    size_t size = chance.OneIn(150) ? chance.Between(4 << 20, 9 << 20)
                  : chance.OneIn(4) ? chance.Between(8, 4096)
                  : chance.OneIn(4) ? chance.Between(150000, 400000)
                                    : chance.Between(4096, 150000);
    world.versions.reserve(versions);
    for (uint32_t v = 0; v < versions; ++v) {
        VERSION version;
        // A new version keeps the length now and then: only its bytes tell.
        size_t cb = v > 0 && chance.OneIn(2) ? size : chance.OneIn(3) ? size : chance.Between(8, 200000);
        version.bytes = std::string(MSI_HEAD, 8) + Bytes(&chance, cb > 8 ? cb - 8 : 0);
        version.etag = "\"v" + std::to_string(v) + "-" + std::to_string(chance.Below(1000)) + "\"";
        version.lastModified = Date(v * 3 + chance.Below(3));
        version.signedAt = 1796601600ull + v * 86400;
        world.versions.push_back(std::move(version));
    }
    world.https = chance.OneIn(4);
    world.serverPath = chance.OneIn(3) ? L"/d/LumvexSetup.msi" : L"/LumvexSetup.msi";
    world.keys = chance.OneIn(2);
    world.twoKeys = world.keys && chance.OneIn(3);
    world.notBefore = world.keys && chance.OneIn(5) ? world.versions.back().signedAt - (chance.OneIn(2) ? 0 : 1) : 0;
    world.builtInPin = !world.keys && chance.OneIn(6);
    world.settingsPin = !world.builtInPin && chance.OneIn(8);

    uint32_t count = chance.OneIn(2) ? 1 : chance.OneIn(2) ? chance.Between(2, 3) : chance.Between(4, 9);
    for (uint32_t i = 0; i < count; ++i) {
        HOST host = {};
        host.name = L"h" + std::to_wstring(i) + L".example";
        host.port = chance.OneIn(3) ? (int32_t)chance.Between(1, 65535) : 0;
        host.reach = chance.OneIn(3) ? Pick(&chance, {REACH_REFUSED, REACH_DROPPED, REACH_NO_NAME, REACH_SILENT, REACH_BAD_TLS}) : REACH_OK;
        host.addresses = chance.Between(1, 3);
        host.blackoutMs = chance.OneIn(6) ? chance.Between(1000, 120000) : 0;
        host.blackoutRefuses = chance.OneIn(2);
        host.errorStatus = chance.OneIn(8) ? Pick<uint32_t>(&chance, {404, 403, 401, 410, 500, 503}) : 0;
        host.retryAfter = chance.OneIn(3) ? chance.Between(0, 120) : 0;
        host.transientFirst = chance.OneIn(6) ? chance.Between(1, 6) : 0;
        host.serverAsksLogon = chance.OneIn(15);
        host.blockPage = chance.OneIn(10);
        host.signature = chance.OneIn(2) ? SIG_GOOD
                                         : Pick(&chance, {SIG_MISSING, SIG_GARBLED, SIG_OTHER_KEY, SIG_OTHER_NAME,
                                                          SIG_TOO_OLD, SIG_STALE, SIG_PAGE});
        host.version = chance.OneIn(4) ? chance.Below(versions) : versions - 1;
        host.replaceAfter = chance.OneIn(8) ? chance.Between(1, 3) : 0;
        host.replaceKeepsEtag = chance.OneIn(3);
        host.validator = chance.OneIn(2) ? VALIDATOR_STRONG : Pick(&chance, {VALIDATOR_WEAK, VALIDATOR_DATE, VALIDATOR_NONE});
        host.ranges = chance.OneIn(2) ? RANGES_HONOURED
                                      : Pick(&chance, {RANGES_IGNORED, IF_RANGE_IGNORED, RANGES_WRONG_START,
                                                       RANGES_WRONG_VALIDATOR, RANGES_WRONG_TOTAL});
        host.noLength = chance.OneIn(20);
        host.gzip = chance.OneIn(20);
        host.paced = chance.OneIn(12);
        host.pieceMs = chance.OneIn(4) ? chance.Between(100, 40000) : chance.Between(0, 30);
        host.pieceBytes = chance.OneIn(5) ? chance.Between(1, 600) : chance.Between(600, 65536);
        host.cutTimes = chance.OneIn(3) ? chance.Between(1, 10) : 0;
        host.cutAt = host.cutTimes ? chance.Between(0, 400000) : 0;
        host.cutStalls = chance.OneIn(3);
        host.headMs = chance.OneIn(8) ? chance.Between(100, 200000) : 0;
        host.headFlood = chance.OneIn(30);
        host.redirect = chance.OneIn(10) ? chance.Between(1, 2) : 0;
        host.redirectStatus = Pick<uint32_t>(&chance, {301, 302, 307, 303, 308});
        world.hosts.push_back(host);
    }
    world.userProxy = chance.OneIn(3) ? Pick(&chance, {PROXY_FORWARDS, PROXY_ASKS_LOGON, PROXY_REFUSES, PROXY_DEAD})
                                      : PROXY_NONE;
    world.userProxyScriptHangs = world.userProxy != PROXY_NONE && chance.OneIn(8);
    world.clientsProxy = chance.OneIn(8) ? Pick(&chance, {PROXY_FORWARDS, PROXY_ASKS_LOGON, PROXY_REFUSES}) : PROXY_NONE;
    world.directBlocked = world.clientsProxy == PROXY_NONE && chance.OneIn(10);

    // The disk, and what is planted beside the package.
    world.diskBytes = chance.OneIn(10) ? chance.Between(0, 40 << 20) : 1ull << 34;
    world.failWriteAt = chance.OneIn(15) ? chance.Between(1, 40) : 0;
    world.failFlushAt = chance.OneIn(15) ? chance.Between(1, 6) : 0;
    world.failRenameAt = chance.OneIn(15) ? chance.Between(1, 4) : 0;
    world.failDeleteAt = chance.OneIn(15) ? chance.Between(1, 4) : 0;
    world.partHeldByOther = chance.OneIn(25);
    world.nameHeldByOther = chance.OneIn(25);
    if (chance.OneIn(3))
        world.planted[L"LumvexSetup.exe"] = "MZ a decoy";
    world.planted[L"notes.txt"] = "the user's own notes";
    if (chance.OneIn(4))
        world.planted[L"LumvexSetup.msi"] = chance.OneIn(2) ? "an old package" : world.versions[0].bytes;
    if (chance.OneIn(5)) {
        const VERSION &of = world.versions[chance.Below(versions)];
        world.planted[L"LumvexSetup.msi.part"] = chance.OneIn(3) ? Bytes(&chance, chance.Between(0, 5000))
                                                                 : of.bytes.substr(0, chance.Below((uint32_t)of.bytes.size()));
        // A state as a run writes it, of this source or another, this length or another.
        if (chance.OneIn(2))
            world.planted[L"LumvexSetup.msi.resume"] = StateFor(&chance, world, of, count);
    }
    if (chance.OneIn(5))
        world.planted[L"LumvexSetup.msi.resume"] = chance.OneIn(2) ? "ServerScheme=http\r\nGarbage\r\n" : "";
    if (chance.OneIn(20))
        world.planted[L"LumvexSetup.msi"] = "<dir>";
    if (chance.OneIn(12)) {
        world.linkName = chance.OneIn(2) ? L"LumvexSetup.msi.part" : L"LumvexSetup.msi.resume.new";
        world.linkedTo = L"notes.txt";
    }

    // The settings file: mostly as a publisher writes it, now and then as an attacker would.
    std::string mirrors;
    for (uint32_t i = 1; i < count; ++i)
        mirrors += (i > 1 ? "," : "") + Narrow(world.hosts[i].name) +
                   (world.hosts[i].port ? ":" + std::to_string(world.hosts[i].port) : "");
    std::string local = "LumvexSetup.msi";
    std::string scheme = world.https ? Pick<const char *>(&chance, {"https", "HTTPS", "Https"})
                                     : Pick<const char *>(&chance, {"http", "HTTP"});
    std::string port = std::to_string(world.hosts[0].port);
    uint32_t hostile = chance.OneIn(6) ? chance.Between(1, 8) : 0;
    if (hostile == 1)
        local = Pick<const char *>(&chance, {"notes.txt", "CON.msi", "x.msi:stream", "%HOMEPATH%.msi", "\\\\host\\x.msi",
                                             "LumvexSetup", "LumvexSetup.msi.", "\\\\?\\C:\\x.msi", "LumvexSetup.exe"});
    if (hostile == 2)
        scheme = Pick<const char *>(&chance, {"ftp", "", "httpx", "http:"});
    if (hostile == 3)
        mirrors = Pick<const char *>(&chance, {"a,,b", "h1.example:0", "h1.example:65536", "bad host", "[::1]:80"});
    if (hostile == 5)
        port = Pick<const char *>(&chance, {"65536", "-1", "8O", "0x50"});
    // The lines, in any order, keys in any letter case, blanks around both parts, now and then a
    // line of something else or a key given twice (the last counts).
    std::vector<std::pair<std::string, std::string>> lines = {
        {"ServerScheme", scheme},         {"ServerAddress", Narrow(world.hosts[0].name)}, {"ServerPort", port},
        {"MsiServerPath", Narrow(world.serverPath)}, {"MsiLocalPath", local},             {"ServerMirrors", mirrors}};
    if (hostile == 6)
        lines.push_back({"MsiSha256", Pick<const char *>(&chance, {"0123", "zz", "sha256:abc"})});
    for (size_t i = lines.size(); i > 1; --i)
        std::swap(lines[i - 1], lines[chance.Below((uint32_t)i)]);
    std::string file = hostile == 4 ? "\xEF\xBB\xBF" : "";
    // Past the bytes read, the settings are the defaults: no host of the world's.
    if (hostile == 7)
        file += "; " + std::string(8200, '-') + "\r\n";
    const char *end = chance.OneIn(3) ? "\n" : "\r\n";
    for (const auto &line : lines) {
        if (chance.OneIn(8))
            file += Pick<const char *>(&chance, {"[Settings]", "; the publisher's", "Unknown=1", ""}) + std::string(end);
        if (chance.OneIn(10))
            file += line.first + "=stale" + end;
        std::string key = line.first;
        for (char &c : key)
            c = chance.OneIn(6) ? (char)(c ^ 0x20) : c;
        file += key + (chance.OneIn(6) ? " = " : "=") + line.second + (chance.OneIn(8) ? "  " : "") + end;
    }
    if (hostile == 8)
        file = file.substr(0, chance.Below((uint32_t)file.size()));
    world.settingsText = file;
    world.settingsHostile = hostile != 0 && hostile != 4;

    // The clock, and the kills.
    world.tickStart = chance.OneIn(5) ? 0xFFFFFFFFu - chance.Below(600000) : (uint32_t)chance.Next();
    world.kills = chance.OneIn(3) ? chance.Between(1, 3) : 0;
    for (uint32_t i = 0; i < world.kills; ++i)
        world.killAt.push_back(chance.Between(1, 400));

    // Half the worlds hold a host that serves the signed package as it should, on a disk that
    // works: that host must end the run with the package handed over.
    world.honest = chance.OneIn(2) && hostile == 0;
    if (world.honest) {
        world.honestHost = chance.Below(count);
        MakeHonest(&world.hosts[world.honestHost], &chance, versions);
        world.diskBytes = 1ull << 34;
        world.failWriteAt = world.failFlushAt = world.failRenameAt = world.failDeleteAt = 0;
        world.partHeldByOther = world.nameHeldByOther = false;
        world.planted.erase(L"LumvexSetup.msi");
        if (world.userProxy == PROXY_REFUSES || world.userProxy == PROXY_DEAD)
            world.directBlocked = false;
        if (world.clientsProxy == PROXY_REFUSES)
            world.clientsProxy = PROXY_NONE;
        if (world.clientsProxy == PROXY_ASKS_LOGON)
            world.clientsProxy = PROXY_FORWARDS;
        if (world.directBlocked) {
            world.userProxy = PROXY_FORWARDS;
            world.userProxyScriptHangs = false;
        }
        world.builtInPin = world.builtInPin || world.settingsPin;
        world.settingsPin = false;
        if (world.keys)
            world.notBefore = world.notBefore > world.versions.back().signedAt ? 0 : world.notBefore;
    }

    // Said once, for a trace.
    std::string text = "world " + std::to_string(seed) + ": " + std::to_string(versions) + " version(s) of " +
                       std::to_string(world.versions.back().bytes.size()) + " bytes, " + (world.https ? "https" : "http") +
                       (world.keys ? ", package keys" : "") + (world.builtInPin ? ", a pin built in" : "") +
                       (world.settingsPin ? ", a pin in the settings" : "") +
                       (world.settingsHostile ? ", hostile settings" : "") + (world.honest ? ", an honest host" : "") + "\n";
    for (uint32_t i = 0; i < count; ++i) {
        const HOST &h = world.hosts[i];
        char line[512];
        snprintf(line, sizeof(line),
                 "  %s:%d %s%s: %s, %s, sig %s, version %u%s, %s%s%s, pieces of %u B every %u ms%s, cut %u x at %u%s,"
                 " head %u ms%s, blackout %u ms%s, %u x 503 first, status %u%s%s, redirect %u (%u)\n",
                 Narrow(h.name).c_str(), h.port, world.honest && world.honestHost == i ? "(honest) " : "",
                 Named(h.reach), Named(h.validator), Named(h.ranges), Named(h.signature), h.version,
                 h.replaceAfter ? (" replaced after " + std::to_string(h.replaceAfter)).c_str() : "",
                 h.noLength ? "chunked, " : "", h.gzip ? "gzip, " : "", h.blockPage ? "a block page, " : "",
                 h.pieceBytes, h.pieceMs, h.paced ? " (paced under the floor)" : "", h.cutTimes, h.cutAt,
                 h.cutStalls ? " (stalls)" : "", h.headMs, h.headFlood ? " (flooded)" : "", h.blackoutMs, h.blackoutRefuses ? " (refused)" : " (502)",
                 h.transientFirst, h.errorStatus, h.retryAfter ? (", Retry-After " + std::to_string(h.retryAfter)).c_str() : "",
                 h.serverAsksLogon ? ", asks for a logon itself" : "", h.redirect, h.redirectStatus);
        text += line;
    }
    text += "  user's proxy " + std::string(Named(world.userProxy)) + (world.userProxyScriptHangs ? " (a script that hangs)" : "") +
            ", client's proxy " + Named(world.clientsProxy) + (world.directBlocked ? ", the direct way blocked" : "") +
            "; disk " + std::to_string(world.diskBytes) + " B free, faults w" + std::to_string(world.failWriteAt) + " f" +
            std::to_string(world.failFlushAt) + " r" + std::to_string(world.failRenameAt) + " d" +
            std::to_string(world.failDeleteAt) +
            (world.partHeldByOther ? ", the .part held" : "") + (world.nameHeldByOther ? ", the name held" : "") +
            (world.linkName.empty() ? "" : ", " + Narrow(world.linkName) + " a link to " + Narrow(world.linkedTo)) + "; " +
            std::to_string(world.kills) + " kill(s); clock from " + std::to_string(world.tickStart) + "\n  settings: ";
    for (char c : world.settingsText)
        text += c == '\r' ? std::string("") : c == '\n' ? std::string(" | ") : std::string(1, c);
    text += "\n  planted:";
    for (const auto &planted : world.planted) {
        text += " " + Narrow(planted.first) + " (" + std::to_string(planted.second.size()) + " B";
        for (size_t v = 0; v < world.versions.size(); ++v) {
            const std::string &bytes = world.versions[v].bytes;
            if (!planted.second.empty() && bytes.compare(0, planted.second.size(), planted.second) == 0)
                text += ", of version " + std::to_string(v);
        }
        text += ")";
        if (planted.first.size() > 7 && planted.first.compare(planted.first.size() - 7, 7, L".resume") == 0)
            for (char c : planted.second)
                text += c == '\r' ? std::string("") : c == '\n' ? std::string(" | ") : std::string(1, c);
    }
    world.description = text + "\n";
    return world;
}

std::string Narrow(const std::wstring &text)
{
    std::string narrow;
    for (wchar_t c : text)
        narrow += (char)c;
    return narrow;
}
