#include "HostPolicy.h"

#include <wchar.h>

#include "text/PlainText.h"

// 1 to 65535, digits only.
static bool ReadPort(const wchar_t *begin, const wchar_t *end, int32_t *port)
{
    uint32_t value = 0;
    for (const wchar_t *p = begin; p < end; ++p) {
        if (!IsDigit((uint32_t)*p))
            return false;
        value = value * 10 + (uint32_t)(*p - L'0');
        if (value > 65535)
            return false;
    }
    *port = (int32_t)value;
    return begin < end && value >= 1;
}

// "host" or "host:port", blanks already cut.
static bool ReadMirror(const wchar_t *begin, const wchar_t *end, SERVER *server)
{
    const wchar_t *colon = end;
    for (const wchar_t *p = begin; p < end; ++p) {
        if (IsBlank((uint32_t)*p) || *p == L'/' || (*p == L':' && colon != end))
            return false;
        if (*p == L':')
            colon = p;
    }
    server->port = 0;
    return begin < colon && (colon == end || ReadPort(colon + 1, end, &server->port)) &&
           CopySpan(server->host, SETTINGS_CCH_TEXT, begin, colon);
}

// Every item between commas, empty ones included: an empty one makes the list invalid.
static bool ReadMirrors(const wchar_t *text, SERVER_LIST *list)
{
    const wchar_t *end = text + TextLength(text, SETTINGS_CCH_MIRRORS);
    if (end - text >= SETTINGS_CCH_MIRRORS - 1)
        return false;
    if (TrimBlanks(text, end).begin == end)
        return true;
    const wchar_t *item = text;
    for (bool more = true; more;) {
        const wchar_t *comma = item;
        while (comma < end && *comma != L',')
            ++comma;
        SPAN mirror = TrimBlanks(item, comma);
        if (list->count == MAX_SERVERS || !ReadMirror(mirror.begin, mirror.end, &list->servers[list->count]))
            return false;
        ++list->count;
        more = comma < end;
        item = comma + 1;
    }
    return true;
}

bool ListServers(const BOOTSTRAP_SETTINGS *settings, SERVER_LIST *list)
{
    CopyText(list->servers[0].host, SETTINGS_CCH_TEXT, settings->ServerAddress);
    list->servers[0].port = settings->ServerPort;
    list->count = 1;
    bool valid = ReadMirrors(settings->ServerMirrors, list);
    if (!valid)
        list->count = 1;
    return valid;
}

int32_t FindServer(const SERVER_LIST *list, const wchar_t *host, int32_t port)
{
    for (uint32_t i = 0; i < list->count; ++i) {
        if (list->servers[i].port == port && wcscmp(list->servers[i].host, host) == 0)
            return (int32_t)i;
    }
    return -1;
}

void PutFirst(SERVER_LIST *list, uint32_t first)
{
    SERVER moved = list->servers[first];
    for (uint32_t i = first; i > 0; --i)
        list->servers[i] = list->servers[i - 1];
    list->servers[0] = moved;
}

bool LeavesForNextHost(const TRY_OUTCOME *outcome)
{
    return outcome->result != 0 && !outcome->local;
}
