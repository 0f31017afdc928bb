// One host asked as the program asks it, each answer judged by the program's own rules: what
// the program does with the host, and why.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "PackageKeys.h"
#include "Probe.h"
#include "download/core/HostPolicy.h"
#include "download/core/RoutePolicy.h"

// What the program is built and started with, as far as a host's answers matter.
struct CHECK_SETUP {
    SERVER_SCHEME scheme;
    std::wstring serverPath;  // MsiServerPath
    bool pinned;
    uint8_t pin[CB_SHA256];
    std::vector<PUBLIC_KEY *> keys;
    uint64_t notBefore;
    bool otherHosts;  // mirrors, or a main server beside them: kept bytes may come from elsewhere
    bool full;        // the whole package, its SHA-256 checked
    std::string caFile;
    PROBE_TIMING timing;
};

enum VERDICT {
    VERDICT_SERVES,
    VERDICT_WARNINGS,  // serves, but resume or a later system may suffer
    VERDICT_LEAVES,    // the program leaves this host for the next
};

// One thing the program relies on, and what the host does with it.
struct CHECK_LINE {
    std::string what;
    std::string result;
};

struct HOST_REPORT {
    std::string host;
    int port;
    std::vector<CHECK_LINE> lines;
    VERDICT verdict;
    std::vector<std::string> reasons;  // why it leaves, or the warnings
    double seconds;        // what the program spends on this host: its requests and its waits
    bool timed;            // ... the whole package included (--full)
    uint64_t cbPackage;    // the package's length, where it came
};

// Asks the host for the signature (with keys), the package, and the rest of it from half-way,
// following redirects as the program's client does, and what breaks or says "later" as the
// program does, with its retries and their waits; every wait bounded as the program's are.
HOST_REPORT CheckHost(const CHECK_SETUP &setup, const SERVER &server);

// The same report for every host when the settings themselves do not read: the program then
// asks nothing at all.
HOST_REPORT UnreadableSettings(const SERVER &server, const std::string &why, SERVER_SCHEME scheme);

// What users get at the end, in one line: the host they install from and about how long it
// takes them, or the error box.
std::string Summary(const std::vector<HOST_REPORT> &reports);
