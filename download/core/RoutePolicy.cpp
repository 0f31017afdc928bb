#include "RoutePolicy.h"

#include "text/PlainText.h"

SERVER_SCHEME ParseScheme(const wchar_t *text)
{
    const wchar_t *end = TextEnd(text);
    if (EqualsNoCase(text, end, L"http"))
        return SCHEME_HTTP;
    if (EqualsNoCase(text, end, L"https"))
        return SCHEME_HTTPS;
    return SCHEME_INVALID;
}

uint16_t PortFor(SERVER_SCHEME scheme, int32_t serverPort)
{
    uint16_t port = (uint16_t)(serverPort & 0xFFFF);
    if (port == 0)
        port = scheme == SCHEME_HTTPS ? 443 : 80;
    return port;
}

bool AsksForTls12(uint32_t major, uint32_t minor)
{
    return major < 6 || (major == 6 && minor <= 2);
}

static bool Usable(const ROUTE_CHOICE *choice, bool viaProxy)
{
    return viaProxy ? choice->haveProxy && !choice->refused[1] : !choice->refused[0];
}

static bool Turn(ROUTE_CHOICE *choice, bool turn)
{
    choice->viaProxy = choice->viaProxy != turn;
    return turn;
}

bool TurnToProxy(ROUTE_CHOICE *choice)
{
    return Turn(choice, !choice->answered && !choice->viaProxy && Usable(choice, true));
}

bool TurnFromRefusal(ROUTE_CHOICE *choice)
{
    choice->refused[choice->viaProxy] = true;
    return Turn(choice, Usable(choice, !choice->viaProxy));
}

void NoteTry(ROUTE_CHOICE *choice, bool answered)
{
    choice->spoke[choice->viaProxy] = choice->spoke[choice->viaProxy] || answered;
    choice->silent[choice->viaProxy] = choice->silent[choice->viaProxy] || !answered;
}

void TurnForRetry(ROUTE_CHOICE *choice)
{
    bool other = !choice->viaProxy;
    bool deadEnd = choice->silent[other] && !choice->spoke[other] && choice->spoke[choice->viaProxy];
    Turn(choice, !choice->answered && Usable(choice, other) && !deadEnd);
}

bool RefusesRoute(int32_t status)
{
    return status == 403 || status == 407 || status / 100 == 5;
}

uint32_t ProxyLogonScheme(uint32_t offered)
{
    if (offered & LOGON_NEGOTIATE)
        return LOGON_NEGOTIATE;
    return offered & LOGON_NTLM;
}

// "*" matches any run of characters, letter case ignored.
static bool MatchesPattern(const wchar_t *pattern, const wchar_t *patternEnd, const wchar_t *text)
{
    const wchar_t *star = NULL;
    const wchar_t *resume = NULL;
    while (*text != L'\0') {
        if (pattern < patternEnd && *pattern == L'*') {
            star = ++pattern;
            resume = text;
        } else if (pattern < patternEnd && FoldLower((uint32_t)*pattern) == FoldLower((uint32_t)*text)) {
            ++pattern;
            ++text;
        } else if (star != NULL) {
            pattern = star;
            text = ++resume;
        } else {
            return false;
        }
    }
    while (pattern < patternEnd && *pattern == L'*')
        ++pattern;
    return pattern == patternEnd;
}

static void SkipPrefix(SPAN *entry, const wchar_t *lower)
{
    const wchar_t *after = AfterPrefixNoCase(entry->begin, entry->end, lower);
    if (after != NULL)
        entry->begin = after;
}

static bool IsBypassed(const wchar_t *bypassList, const wchar_t *host)
{
    bool dotted = false;
    for (const wchar_t *p = host; *p != L'\0'; ++p)
        dotted = dotted || *p == L'.';
    const wchar_t *cursor = bypassList != NULL ? bypassList : L"";
    const wchar_t *limit = TextEnd(cursor);
    SPAN entry;
    while (NextPiece(&cursor, limit, L"; ,\t\r\n", &entry)) {
        if (EqualsNoCase(entry.begin, entry.end, L"<local>")) {
            if (!dotted)
                return true;
            continue;
        }
        SkipPrefix(&entry, L"http://");
        SkipPrefix(&entry, L"https://");
        if (MatchesPattern(entry.begin, entry.end, host))
            return true;
    }
    return false;
}

// The entry's "host:port" for this scheme, if it serves it: "https=" entries serve https,
// "http=" entries and plain ones http, and plain ones https where no "https=" entry exists.
static bool ServesScheme(SPAN *entry, const wchar_t *wanted, bool *plain)
{
    const wchar_t *equals = entry->begin;
    while (equals < entry->end && *equals != L'=')
        ++equals;
    *plain = equals == entry->end;
    if (!*plain) {
        if (!EqualsNoCase(entry->begin, equals, wanted))
            return false;
        entry->begin = equals + 1;
    }
    // A proxy is spoken to in plain HTTP; the one prefix worth dropping is that one.
    SkipPrefix(entry, L"http://");
    for (const wchar_t *p = entry->begin; p < entry->end; ++p) {
        if (*p == L'/')
            return false;
    }
    return entry->begin < entry->end;
}

bool ChooseProxy(const wchar_t *proxyList, const wchar_t *bypassList, bool secure, const wchar_t *host, wchar_t *proxy,
                 size_t cchProxy)
{
    const wchar_t *cursor = proxyList != NULL ? proxyList : L"";
    const wchar_t *limit = TextEnd(cursor);
    SPAN entry;
    SPAN chosen = {NULL, NULL};
    bool chosenPlain = true;
    while (NextPiece(&cursor, limit, L"; \t\r\n", &entry)) {
        bool plain;
        // A named entry for the scheme outranks a plain one.
        if (ServesScheme(&entry, secure ? L"https" : L"http", &plain) && (chosen.begin == NULL || (chosenPlain && !plain))) {
            chosen = entry;
            chosenPlain = plain;
        }
    }
    if (chosen.begin == NULL || (size_t)(chosen.end - chosen.begin) >= cchProxy || IsBypassed(bypassList, host))
        return false;
    return CopySpan(proxy, cchProxy, chosen.begin, chosen.end);
}

bool FormatUrl(wchar_t *url, size_t cchUrl, bool secure, const wchar_t *host, uint16_t port, const wchar_t *path)
{
    size_t cch = 0;
    return AppendText(url, cchUrl, &cch, secure ? L"https://" : L"http://") && AppendText(url, cchUrl, &cch, host) &&
           AppendText(url, cchUrl, &cch, L":") && AppendDecimal(url, cchUrl, &cch, port) &&
           AppendText(url, cchUrl, &cch, path[0] == L'/' ? L"" : L"/") && AppendText(url, cchUrl, &cch, path);
}

bool ReadUrlHost(const wchar_t *url, bool *secure, wchar_t *host, size_t cchHost)
{
    const wchar_t *end = TextEnd(url);
    const wchar_t *begin = AfterPrefixNoCase(url, end, L"https://");
    *secure = begin != NULL;
    begin = begin != NULL ? begin : AfterPrefixNoCase(url, end, L"http://");
    if (begin == NULL)
        return false;
    const wchar_t *authority = begin;
    while (authority < end && *authority != L'/' && *authority != L'?' && *authority != L'#')
        ++authority;
    for (const wchar_t *p = begin; p < authority; ++p)
        begin = *p == L'@' ? p + 1 : begin;
    const wchar_t *stop = begin;
    if (stop < authority && *stop == L'[') {
        while (stop < authority && *stop != L']')
            ++stop;
        stop += stop < authority ? 1 : 0;
    } else {
        while (stop < authority && *stop != L':')
            ++stop;
    }
    return stop > begin && CopySpan(host, cchHost, begin, stop);
}
