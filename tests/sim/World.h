// One simulated world, drawn from a seed: the publisher's hosts and what each does, the way to
// them, the disk and what was planted on it, the settings and what the build carries, the
// clock, and when the program is killed. Everything a run of the transfer meets comes from here,
// so one seed gives one world and one run, the same on every replay.
#pragma once

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

// The only source of chance: one seed, one sequence.
class Chance {
  public:
    explicit Chance(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint64_t Next()
    {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // 0 to n - 1.
    uint32_t Below(uint32_t n) { return n == 0 ? 0 : (uint32_t)(Next() % n); }
    bool OneIn(uint32_t n) { return Below(n) == 0; }
    uint32_t Between(uint32_t low, uint32_t high) { return low + Below(high - low + 1); }

  private:
    uint64_t state_;
};

// A version of the publisher's package: its bytes and how hosts name it.
struct VERSION {
    std::string bytes;
    std::string etag;          // quoted
    std::string lastModified;  // an HTTP date
    uint64_t signedAt;         // its signature's Time
};

enum REACH {
    REACH_OK,
    REACH_REFUSED,   // nothing listens: refused at once
    REACH_DROPPED,   // a firewall drops every packet: each connection waits its time-out
    REACH_NO_NAME,   // the name does not resolve
    REACH_SILENT,    // takes the request and never answers
    REACH_BAD_TLS,   // over https, a certificate the client does not trust (or no protocol in common)
};

enum SIGNATURE_KIND {
    SIG_GOOD,
    SIG_MISSING,    // 404
    SIG_GARBLED,    // a byte of the RSA signature changed
    SIG_OTHER_KEY,  // made by a key the build does not carry
    SIG_OTHER_NAME, // made for another file name
    SIG_TOO_OLD,    // made before the build's floor
    SIG_STALE,      // a cache's: the previous version's signature
    SIG_PAGE,       // an HTML page answering 200
};

enum RANGES {
    RANGES_HONOURED,
    RANGES_IGNORED,         // every answer the whole package, 200
    IF_RANGE_IGNORED,       // the rest of whatever it has now, whatever If-Range says
    RANGES_WRONG_START,     // a 206 from another offset
    RANGES_WRONG_VALIDATOR, // a 206 naming another ETag
    RANGES_WRONG_TOTAL,     // a 206 naming another length for the whole
};

enum VALIDATOR_KIND { VALIDATOR_STRONG, VALIDATOR_WEAK, VALIDATOR_DATE, VALIDATOR_NONE };

// How a host answers, in the order a run meets its requests.
struct HOST {
    std::wstring name;
    int32_t port;
    REACH reach;
    uint32_t addresses;          // a dropped host's name has this many addresses
    uint32_t blackoutMs;         // from the run's start, 502s (or refused, per blackoutRefuses)
    bool blackoutRefuses;
    uint32_t errorStatus;        // 0, or the status every package request gets (404, 403, 401, 500, 503)
    uint32_t retryAfter;         // with a 503, seconds; 0: none
    uint32_t transientFirst;     // the first this many package requests get a 503
    bool serverAsksLogon;        // a 407 from the server itself
    bool blockPage;              // a 200 page where the package should be
    SIGNATURE_KIND signature;
    uint32_t version;            // which version it serves
    uint32_t replaceAfter;       // after this many package requests it serves the next version; 0: never
    bool replaceKeepsEtag;       // ... under the same ETag
    VALIDATOR_KIND validator;
    RANGES ranges;
    bool noLength;               // chunked: no Content-Length
    bool gzip;                   // a Content-Encoding the program cannot take (still with a length)
    uint32_t pieceBytes;         // the body comes in pieces of this size ...
    uint32_t pieceMs;            // ... this far apart
    bool paced;                  // 1 byte, 1 byte, then the rest of 16 KiB, 29 s apart
    uint32_t cutAt;              // the first answers' bodies break after this many bytes; 0: never
    uint32_t cutTimes;           // ... so many of them
    bool cutStalls;              // ... by going silent rather than closing
    uint32_t headMs;             // the head takes this long to come whole
    bool headFlood;              // the head runs past what the client takes (32 KiB)
    uint32_t redirect;           // 0; else the host's redirects: 1 one to the next host, 2 a loop
    uint32_t redirectStatus;     // 301, 302, 307, 303 or 308
};

enum PROXY_KIND {
    PROXY_NONE,
    PROXY_FORWARDS,      // passes every request on
    PROXY_ASKS_LOGON,    // 407 until the user's logon comes, then passes on
    PROXY_REFUSES,       // 407 whatever comes: it wants a password
    PROXY_DEAD,          // named, but nothing answers there
};

// A file on the disk: its bytes shared by every name of it (a hard link gives one data two names).
struct DATA {
    std::string bytes;
    bool readOnly;
};

struct DISK_ENTRY {
    int data;             // index into the disk's data; -1 for a folder
    bool heldByOther;     // another program holds it open, without sharing
};

struct WORLD {
    uint64_t seed;
    std::string description;
    std::vector<VERSION> versions;  // the publisher's; the last is the current one
    std::vector<HOST> hosts;        // the main server, then the mirrors
    bool https;
    std::wstring serverPath;
    std::string settingsText;       // the settings file, as a user's disk holds it
    bool settingsHostile;           // ... written to make the program do what it must not
    bool keys;                      // the build carries package keys ...
    bool twoKeys;                   // ... two of them, while the publisher moves to the next
    uint64_t notBefore;
    bool builtInPin;                // the pin comes with the build
    bool settingsPin;
    PROXY_KIND userProxy;           // what the user's Internet settings name
    bool userProxyScriptHangs;      // ... found by a script that never ends
    PROXY_KIND clientsProxy;        // the client's own, for every host
    bool directBlocked;             // the direct way gets a block page for every request
    uint32_t kills;                 // runs killed before the last
    std::vector<uint32_t> killAt;   // the platform call each of them dies at
    uint32_t tickStart;             // the clock's count at the first run
    uint64_t diskBytes;             // the volume's free space at the start
    uint32_t failWriteAt;           // the write number that fails (0: none)
    uint32_t failFlushAt;
    uint32_t failRenameAt;
    uint32_t failDeleteAt;
    bool partHeldByOther;           // another program holds the .part open
    bool nameHeldByOther;           // ... the package's name
    std::map<std::wstring, std::string> planted;  // files beside the package at the start
    std::wstring linkedTo;          // the .part (or .resume.new) is another file's second name
    std::wstring linkName;
    bool honest;                    // some host serves the signed package as it should ...
    uint32_t honestHost;            // ... this one
};

// The world of a seed; the same seed, the same world.
WORLD MakeWorld(uint64_t seed);

std::string Narrow(const std::wstring &text);
