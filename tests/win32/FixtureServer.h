// A loopback HTTP server thread that answers with scripted raw bytes.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

enum FIXTURE_ENDING {
    ENDING_CLOSE,  // orderly close after the bytes
    ENDING_RESET,  // abortive close (RST) after the bytes
    ENDING_STALL,  // keep the connection open, silent, until the server stops
};

struct FixtureResponse {
    std::string path;  // request path it answers; "" answers any path
    std::string head;  // status line and headers, blank line included
    std::string body;
    size_t cbSent = std::string::npos;  // how much of the body goes out
    FIXTURE_ENDING ending = ENDING_CLOSE;
    size_t cbChunk = 64 * 1024;  // the body goes out in pieces of this size ...
    DWORD msPause = 0;           // ... with this pause after each
    std::vector<size_t> pace;    // else in pieces of these sizes, in turn, each with the pause
    size_t cbTail = 0;           // the last bytes sent go out one at a time ...
    DWORD msTail = 0;            // ... this long apart
    DWORD msHeadPause = 0;       // the head goes out a line at a time, this long apart
    bool gated = false;          // nothing goes out before OpenGate()
    int times = 0;               // answers this many requests, then the next that matches does; 0: all
    // As a server that honours ranges: "Range: bytes=N-" gets a 206 with the rest of the body,
    // unless an If-Range differs from this validator (its ETag or Last-Modified, as in head).
    bool ranges = false;
    std::string validator;
    // As a proxy: a CONNECT is answered 200 and the connection relayed to this loopback port.
    unsigned short tunnelTo = 0;
};

// "HTTP/1.1 <status>" with a Content-Length of the body, closing the connection.
FixtureResponse Respond(const std::string &status, const std::string &body, const std::string &path = "");
// A proxy that opens a tunnel to the loopback port for every CONNECT.
FixtureResponse Tunnel(unsigned short port);
// A 200 that carries the validator line ("ETag: ..." or "Last-Modified: ..."), honouring ranges.
FixtureResponse Ranged(const std::string &body, const std::string &validatorLine);

class FixtureServer {
public:
    explicit FixtureServer(std::vector<FixtureResponse> responses);
    ~FixtureServer();
    unsigned short Port() const { return port_; }
    void OpenGate() { SetEvent(hGate_); }
    // Request paths in the order they arrived.
    std::vector<std::string> Requests();
    // The value of the named header in each request, in order ("" where it had none).
    std::vector<std::string> RequestHeaders(const std::string &name);
    // Waits until no connection is being served: then the server holds no handle beyond its own.
    void WaitIdle();

private:
    static DWORD WINAPI AcceptThread(void *self);
    static DWORD WINAPI ConnectionThread(void *context);
    void Serve(SOCKET connection);

    std::vector<FixtureResponse> responses_;
    SOCKET listener_ = INVALID_SOCKET;
    unsigned short port_ = 0;
    HANDLE hStop_ = NULL;
    HANDLE hGate_ = NULL;
    HANDLE hAcceptThread_ = NULL;
    CRITICAL_SECTION lock_;
    LONG activeConnections_ = 0;
    std::vector<std::string> requests_;
    std::string heads_;  // every request head, each ended by a zero
    std::vector<int> served_;
};

// A loopback port with nothing listening on it, for the rest of the process.
unsigned short UnusedPort();
