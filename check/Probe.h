// One GET as the program's HTTP client makes it (HTTP/1.1, no Accept, no User-Agent, no
// Accept-Encoding, the raw body as it comes), through libcurl, with the program's bounds on
// every wait. Redirects are the caller's: each answer is handed back as it is.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// The waits, as the program's.
struct PROBE_TIMING {
    long msConnect;      // the name and a connection to it
    long msAnswer;       // from the start to the whole head of the answer
    long msStallWindow;  // each such stretch of a body must bring 16 KiB
};

struct PROBE {
    // Asked
    std::string url;
    std::vector<std::string> headers;  // extra request lines, "Name: value"
    size_t cbKeep = 0;                 // the first bytes of the body kept in body
    bool whole = false;                // read the whole body, its SHA-256 in sha256
    std::string caFile;                // trusted CAs for https; empty: the system's

    // Answered
    bool answered = false;    // a whole head came
    std::string error;        // why not, or why the body broke off
    bool tlsFailure = false;  // the certificate or the TLS handshake failed
    long status = 0;
    std::string head;        // the answer's header lines, as sent
    std::string location;    // the redirect's target, absolute, where one is named
    std::string body;        // the first cbKeep bytes
    uint64_t cbBody = 0;     // bytes of the body read
    bool bodyWhole = false;  // the body ended normally (whole: all of it was read)
    uint8_t sha256[32] = {};
    std::string certificate;            // for https: the server certificate's subject
    long long certificateExpires = -1;  // seconds since 1970, or -1
};

// Makes the request; false only when the request could not even be set up.
bool RunProbe(PROBE *probe, const PROBE_TIMING &timing);
