// What the simulator's platform and its driver share: the world being run, its disk and clock,
// the run under way, what was seen, and what broke a promise.
#pragma once

#include <setjmp.h>
#include <stdint.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "World.h"
#include "download/core/TransferPlatform.h"

// A file this run has open.
struct PLATFORM_FILE {
    std::wstring name;
    int data;
    uint32_t position;
    bool held;  // without sharing
};

// The disk: every name of the volume, and the data behind them (two names may share one).
struct DISK {
    std::vector<DATA> data;
    std::map<std::wstring, DISK_ENTRY> names;
    uint64_t capacity;  // what all data together may take
    uint64_t Used() const;
};

// Outcomes the standard sweep must reach, or the simulator has stopped exploring.
enum COVERED {
    COVERED_HANDED_OVER,
    COVERED_RESUMED_ELSEWHERE_BY_ETAG,
    COVERED_RESUMED_AFTER_KILL,
    COVERED_SIGNATURE_ASKED_AGAIN,
    COVERED_BLOCK_PAGE_TO_PROXY,
    COVERED_NO_ROOM,
    COVERED_LOGON_TO_PROXY,
    COVERED_LEFT_AFTER_RETRIES,
    COVERED_LEFT_ERROR_STATUS,
    COVERED_LEFT_NO_LENGTH,
    COVERED_LEFT_NOT_A_PACKAGE,
    COVERED_LEFT_NO_SIGNATURE,
    COVERED_LEFT_REDIRECT,
    COVERED_STALL_RULE,
    COVERED_LINK_REPLACED,
    COVERED_KILLED_IN_A_BODY,
    COVERED_WHOLE_AFTER_UNFIT,
    COVERED_LEFT_TLS,
    COVERED_COUNT
};

extern const char *const COVERED_NAMES[COVERED_COUNT];

struct SIM {
    WORLD world;
    DISK disk;
    uint64_t now;  // simulated milliseconds since the world began
    // The run under way: one process of the program, killed or not.
    uint32_t run;
    uint32_t calls;
    uint32_t killAt;  // the call it dies at; 0: none
    jmp_buf *exit;    // where a kill (1) or a broken promise (2) leaves to
    uint64_t runStart;
    uint32_t requests;
    std::set<void *> files, requestsOpen, hashes;
    std::map<std::wstring, uint32_t> heldByRun;  // names this process holds without sharing
    uint32_t progressReceived, progressTotal;
    bool progressSeen;
    // Kept bytes a run starts with, as the disk says: a request for less than these breaks a promise.
    int32_t expectRangeHost;
    uint32_t expectRangeFrom;
    bool firstPackageAsked;
    // Faults: the writes, flushes and renames of the world so far.
    uint32_t writes, flushes, renames, deletes;
    std::vector<uint32_t> packageAsked;  // per host, package requests so far
    std::vector<uint32_t> bodiesCut;     // per host, bodies broken so far
    int32_t lastBodyHost;
    const struct PLATFORM_REQUEST *bodyRequest;  // the request whose body was read last                // the host whose body bytes the .part holds now
    std::string before;                  // what the package's name held when the world began
    bool beforeExisted;
    std::wstring packageName;            // the names the run may touch: this and its companions
    bool packageNameOk;                  // ... and whether it is a package's at all
    std::map<std::wstring, std::string> untouchable;  // every other name, and what it must hold
    // What was seen.
    std::vector<bool> covered;
    std::string trace;
    bool tracing;
    std::string violation;
    // Coverage state of a run.
    int32_t lastAskedHost;
    bool lastAskedRange;         // ... for the rest of the package
    uint64_t lastAskedAt;        // when its request was closed
    COVERED lastKind;            // why a host would be left after its last answer
    bool blockPageSeen;
    int32_t signatureHost;
    bool packageAfterSignature;
    bool bodyUnderWay;           // a body's bytes are coming
    uint32_t lastLength;         // the last package answer's length
};

extern SIM Sim;

void Trace(const std::string &line);
// A promise broken: recorded, and the world ends here.
[[noreturn]] void Broken(const std::string &what);
// Every platform call: the clock may say the run is killed here; the disk is checked.
void Step(const char *what);
// The disk as the promises allow it, checked after every call.
void CheckDisk();
std::wstring Wide(const std::string &text);
// The host a fitting state on the disk says the .part's first *received bytes (of *total) came
// from, where they are a version's; -1 for none.
int32_t KeptOnDisk(uint32_t *received, uint32_t *total);
// One version of the publisher's package, as the world's checks can tell.
bool IsVersion(const std::string &bytes);
// A process that ends, or is killed, lets go of everything it held.
void EndProcess();
// Names of the package's own files, after the package's name.
std::wstring NameOf(PACKAGE_NAME name);
