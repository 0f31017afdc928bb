#include "FixtureServer.h"

#include <ctype.h>
#include <stdlib.h>

namespace {

struct Connection {
    FixtureServer *server;
    SOCKET socket;
};

void EnsureWinsock()
{
    static bool started = false;
    if (!started) {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        started = true;
    }
}

bool SendAll(SOCKET s, const char *data, size_t cb)
{
    while (cb > 0) {
        int sent = send(s, data, (int)cb, 0);
        if (sent <= 0)
            return false;
        data += sent;
        cb -= (size_t)sent;
    }
    return true;
}

std::string ReadRequestHead(SOCKET s)
{
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        int got = recv(s, buffer, sizeof(buffer), 0);
        if (got <= 0)
            break;
        request.append(buffer, (size_t)got);
    }
    return request;
}

std::string PathOf(const std::string &head)
{
    size_t begin = head.find(' ');
    size_t end = begin == std::string::npos ? begin : head.find(' ', begin + 1);
    return end == std::string::npos ? std::string() : head.substr(begin + 1, end - begin - 1);
}

std::string HeaderOf(const std::string &head, const std::string &name)
{
    std::string lower = head;
    for (char &c : lower)
        c = (char)tolower((unsigned char)c);
    std::string key = "\r\n" + name + ":";
    for (char &c : key)
        c = (char)tolower((unsigned char)c);
    size_t at = lower.find(key);
    if (at == std::string::npos)
        return "";
    size_t begin = head.find_first_not_of(' ', at + key.size());
    return head.substr(begin, head.find("\r\n", begin) - begin);
}

// What a server that honours ranges sends for this request: the 206 head and the offset of
// its body, or nothing to change.
void ApplyRange(const FixtureResponse &response, const std::string &request, std::string *head, size_t *offset)
{
    const std::string range = HeaderOf(request, "Range");
    const std::string ifRange = HeaderOf(request, "If-Range");
    if (!response.ranges || range.compare(0, 6, "bytes=") != 0 || (!ifRange.empty() && ifRange != response.validator))
        return;
    size_t from = strtoul(range.c_str() + 6, NULL, 10);
    size_t total = response.body.size();
    if (from >= total)
        return;
    std::string rest = response.head.substr(response.head.find("\r\n") + 2);
    rest = rest.substr(rest.find("\r\n") + 2);  // the Content-Length line
    *head = "HTTP/1.1 206 Partial Content\r\nContent-Length: " + std::to_string(total - from) +
            "\r\nContent-Range: bytes " + std::to_string(from) + "-" + std::to_string(total - 1) + "/" +
            std::to_string(total) + "\r\n" + rest;
    *offset = from;
}

// Each connection serves one request, and an honest server says so: else the client may send
// its next request on a connection that is closing, and what reaches us depends on timing.
void SayItCloses(std::string *head)
{
    const std::string blank = "\r\n\r\n";
    if (head->size() >= blank.size() && head->compare(head->size() - blank.size(), blank.size(), blank) == 0 &&
        HeaderOf(*head, "Connection").empty())
        head->insert(head->size() - 2, "Connection: close\r\n");
}

// Relays both ways until either side closes.
void Relay(SOCKET client, unsigned short port)
{
    SOCKET server = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const char established[] = "HTTP/1.1 200 Connection established\r\n\r\n";
    bool open = connect(server, (sockaddr *)&address, sizeof(address)) == 0 &&
                SendAll(client, established, sizeof(established) - 1);
    char buffer[16384];
    while (open) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(client, &readable);
        FD_SET(server, &readable);
        timeval wait = {10, 0};
        open = select(0, &readable, NULL, NULL, &wait) > 0;
        for (SOCKET from : {client, server}) {
            int got = open && FD_ISSET(from, &readable) ? recv(from, buffer, sizeof(buffer), 0) : 0;
            if (open && FD_ISSET(from, &readable))
                open = got > 0 && SendAll(from == client ? server : client, buffer, (size_t)got);
        }
    }
    closesocket(server);
}

}  // namespace

FixtureResponse Tunnel(unsigned short port)
{
    FixtureResponse response;
    response.tunnelTo = port;
    return response;
}

FixtureResponse Respond(const std::string &status, const std::string &body, const std::string &path)
{
    FixtureResponse response;
    response.path = path;
    response.head = "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\nConnection: close\r\n\r\n";
    response.body = body;
    return response;
}

FixtureResponse Ranged(const std::string &body, const std::string &validatorLine)
{
    FixtureResponse response;
    response.head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + validatorLine +
                    "\r\nConnection: close\r\n\r\n";
    response.body = body;
    response.ranges = true;
    response.validator = validatorLine.substr(validatorLine.find(':') + 2);
    return response;
}

FixtureServer::FixtureServer(std::vector<FixtureResponse> responses)
    : responses_(std::move(responses)), served_(responses_.size(), 0)
{
    EnsureWinsock();
    InitializeCriticalSection(&lock_);
    // Room for a leak test's hundreds of requests, so the records never reallocate (and the
    // paths are short enough to need no memory of their own).
    requests_.reserve(4096);
    heads_.reserve(1 << 20);
    hStop_ = CreateEventW(NULL, TRUE, FALSE, NULL);
    hGate_ = CreateEventW(NULL, TRUE, FALSE, NULL);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, (sockaddr *)&address, sizeof(address));
    listen(listener_, 16);
    int cbAddress = sizeof(address);
    getsockname(listener_, (sockaddr *)&address, &cbAddress);
    port_ = ntohs(address.sin_port);
    hAcceptThread_ = CreateThread(NULL, 0, AcceptThread, this, 0, NULL);
}

FixtureServer::~FixtureServer()
{
    SetEvent(hStop_);
    closesocket(listener_);
    WaitForSingleObject(hAcceptThread_, INFINITE);
    CloseHandle(hAcceptThread_);
    WaitIdle();
    CloseHandle(hStop_);
    CloseHandle(hGate_);
    DeleteCriticalSection(&lock_);
}

void FixtureServer::WaitIdle()
{
    while (InterlockedCompareExchange(&activeConnections_, 0, 0) != 0)
        Sleep(5);
}

std::vector<std::string> FixtureServer::Requests()
{
    EnterCriticalSection(&lock_);
    std::vector<std::string> copy = requests_;
    LeaveCriticalSection(&lock_);
    return copy;
}

std::vector<std::string> FixtureServer::RequestHeaders(const std::string &name)
{
    EnterCriticalSection(&lock_);
    std::vector<std::string> values;
    for (size_t at = 0; at < heads_.size(); at = heads_.find('\0', at) + 1)
        values.push_back(HeaderOf(heads_.substr(at, heads_.find('\0', at) - at), name));
    LeaveCriticalSection(&lock_);
    return values;
}

DWORD WINAPI FixtureServer::AcceptThread(void *self)
{
    FixtureServer *server = (FixtureServer *)self;
    for (;;) {
        SOCKET s = accept(server->listener_, NULL, NULL);
        if (s == INVALID_SOCKET)
            return 0;
        Connection *connection = new Connection{server, s};
        // Counted rather than kept: a server serving hundreds of requests holds no thread handles.
        InterlockedIncrement(&server->activeConnections_);
        HANDLE hThread = CreateThread(NULL, 0, ConnectionThread, connection, 0, NULL);
        if (hThread != NULL) {
            CloseHandle(hThread);
        } else {
            closesocket(s);
            delete connection;
            InterlockedDecrement(&server->activeConnections_);
        }
    }
}

DWORD WINAPI FixtureServer::ConnectionThread(void *context)
{
    Connection *connection = (Connection *)context;
    FixtureServer *server = connection->server;
    server->Serve(connection->socket);
    delete connection;
    InterlockedDecrement(&server->activeConnections_);
    return 0;
}

void FixtureServer::Serve(SOCKET s)
{
    const std::string request = ReadRequestHead(s);
    const std::string path = PathOf(request);
    FixtureResponse notFound = Respond("404 Not Found", "");
    const FixtureResponse *response = &notFound;
    EnterCriticalSection(&lock_);
    requests_.push_back(path);
    heads_.append(request).push_back('\0');
    for (size_t i = 0; i < responses_.size(); ++i) {
        const FixtureResponse &candidate = responses_[i];
        if ((candidate.path.empty() || candidate.path == path) && (candidate.times == 0 || served_[i] < candidate.times)) {
            ++served_[i];
            response = &candidate;
            break;
        }
    }
    LeaveCriticalSection(&lock_);
    if (response->tunnelTo != 0 && request.compare(0, 8, "CONNECT ") == 0) {
        Relay(s, response->tunnelTo);
        closesocket(s);
        return;
    }
    std::string head = response->head;
    size_t offset = 0;
    ApplyRange(*response, request, &head, &offset);
    SayItCloses(&head);

    HANDLE waits[] = {hStop_, hGate_};
    bool ok = !response->gated || WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1;
    for (size_t line = 0; ok && response->msHeadPause != 0 && line < head.size();) {
        size_t end = head.find('\n', line);
        size_t next = end == std::string::npos ? head.size() : end + 1;
        ok = SendAll(s, head.data() + line, next - line) && WaitForSingleObject(hStop_, response->msHeadPause) != WAIT_OBJECT_0;
        line = next;
    }
    ok = ok && (response->msHeadPause != 0 || SendAll(s, head.data(), head.size()));
    const size_t cbRest = response->body.size() - offset;
    const size_t cbBody = response->cbSent < cbRest ? response->cbSent : cbRest;
    const size_t cbTail = response->cbTail < cbBody ? response->cbTail : cbBody;
    size_t piece = 0;
    for (size_t sent = 0, cbPiece = 0; ok && sent < cbBody - cbTail; sent += cbPiece) {
        cbPiece = response->pace.empty() ? response->cbChunk : response->pace[piece++ % response->pace.size()];
        size_t cb = cbBody - cbTail - sent < cbPiece ? cbBody - cbTail - sent : cbPiece;
        ok = SendAll(s, response->body.data() + offset + sent, cb);
        if (response->msPause != 0 && WaitForSingleObject(hStop_, response->msPause) == WAIT_OBJECT_0)
            break;
    }
    for (size_t sent = cbBody - cbTail; ok && sent < cbBody; ++sent) {
        ok = WaitForSingleObject(hStop_, response->msTail) != WAIT_OBJECT_0 &&
             SendAll(s, response->body.data() + offset + sent, 1);
    }
    if (response->ending == ENDING_STALL)
        WaitForSingleObject(hStop_, INFINITE);
    if (response->ending == ENDING_RESET) {
        linger abortive = {1, 0};
        setsockopt(s, SOL_SOCKET, SO_LINGER, (const char *)&abortive, sizeof(abortive));
    } else {
        shutdown(s, SD_SEND);
        // Let the client read everything before the socket goes.
        char drain[256];
        DWORD timeout = 2000;
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char *)&timeout, sizeof(timeout));
        while (recv(s, drain, sizeof(drain), 0) > 0) {
        }
    }
    closesocket(s);
}

unsigned short UnusedPort()
{
    EnsureWinsock();
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, (sockaddr *)&address, sizeof(address));
    int cbAddress = sizeof(address);
    getsockname(s, (sockaddr *)&address, &cbAddress);
    // Left bound, never listening: a connection is refused, and no server started later can
    // be given the port.
    return ntohs(address.sin_port);
}
