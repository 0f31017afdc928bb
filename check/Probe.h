// One GET as the program's HTTP client makes it (HTTP/1.1, no Accept, no User-Agent, no
// Accept-Encoding, the raw body as it comes), through libcurl, with the program's bounds on
// every wait. Redirects are the caller's: each answer is handed back as it is.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include <openssl/evp.h>

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
    bool whole = false;                // read the whole body
    EVP_MD_CTX *digest = NULL;         // the caller's: takes the body of a 2xx answer as it comes ...
    EVP_MD_CTX *rest = NULL;           // ... but a 206's, where this is given
    std::string caFile;                // trusted CAs for https; empty: the system's
    bool tls13 = false;                // TLS 1.3 allowed too, beyond what the program's systems speak
    bool anyCertificate = false;       // no check of the certificate: only to read what a server sends

    // Answered
    bool answered = false;    // a whole head came
    std::string error;        // why not, or why the body broke off
    bool transient = false;   // ... for a reason the program tries again for (the network, a stall)
    bool stalled = false;     // ... by the stall rule
    bool tlsFailure = false;  // the certificate or the TLS handshake failed
    long status = 0;
    std::string head;        // the answer's header lines, as sent
    std::string location;    // a redirect's target, absolute, where one is named
    std::string body;        // the first cbKeep bytes
    uint64_t cbBody = 0;     // bytes of the body read
    bool bodyWhole = false;  // the body ended normally (whole: all of it was read)
    double seconds = 0;      // from the start to the end
    std::string certificate;            // for https: the server certificate's subject
    std::string issuer;                 // ... and its issuer's
    int chain = 0;                      // ... the certificates the server sent
    long long certificateExpires = -1;  // seconds since 1970, or -1
};

// Makes the request; false only when the request could not even be set up.
bool RunProbe(PROBE *probe, const PROBE_TIMING &timing);

// The value of the first header line of that name in head, blanks cut; empty when there is none.
std::string HeaderValue(const std::string &head, const char *name);
