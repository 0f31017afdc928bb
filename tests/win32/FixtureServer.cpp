#include "FixtureServer.h"

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

std::string ReadRequestPath(SOCKET s)
{
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        int got = recv(s, buffer, sizeof(buffer), 0);
        if (got <= 0)
            break;
        request.append(buffer, (size_t)got);
    }
    size_t begin = request.find(' ');
    size_t end = begin == std::string::npos ? begin : request.find(' ', begin + 1);
    return end == std::string::npos ? std::string() : request.substr(begin + 1, end - begin - 1);
}

}  // namespace

FixtureResponse Respond(const std::string &status, const std::string &body, const std::string &path)
{
    FixtureResponse response;
    response.path = path;
    response.head = "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\nConnection: close\r\n\r\n";
    response.body = body;
    return response;
}

FixtureServer::FixtureServer(std::vector<FixtureResponse> responses) : responses_(std::move(responses))
{
    EnsureWinsock();
    InitializeCriticalSection(&lock_);
    // Room for a leak test's hundreds of requests, so the record itself never reallocates.
    requests_.reserve(4096);
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
    std::string path = ReadRequestPath(s);
    EnterCriticalSection(&lock_);
    requests_.push_back(path);
    LeaveCriticalSection(&lock_);

    FixtureResponse notFound = Respond("404 Not Found", "");
    const FixtureResponse *response = &notFound;
    for (const FixtureResponse &candidate : responses_) {
        if (candidate.path.empty() || candidate.path == path) {
            response = &candidate;
            break;
        }
    }

    HANDLE waits[] = {hStop_, hGate_};
    bool ok = !response->gated || WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1;
    ok = ok && SendAll(s, response->head.data(), response->head.size());
    size_t cbBody = response->cbSent < response->body.size() ? response->cbSent : response->body.size();
    for (size_t offset = 0; ok && offset < cbBody; offset += response->cbChunk) {
        size_t cb = cbBody - offset < response->cbChunk ? cbBody - offset : response->cbChunk;
        ok = SendAll(s, response->body.data() + offset, cb);
        if (response->msPause != 0 && WaitForSingleObject(hStop_, response->msPause) == WAIT_OBJECT_0)
            break;
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
    closesocket(s);
    return ntohs(address.sin_port);
}
