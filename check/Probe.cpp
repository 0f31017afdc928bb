#include "Probe.h"

#include <string.h>
#include <strings.h>
#include <time.h>

#include <curl/curl.h>

#include "download/core/RetryPolicy.h"

namespace {

// What the callbacks see of one transfer.
struct TRANSFER_WATCH {
    PROBE *probe;
    const PROBE_TIMING *timing;
    bool headDone;
    bool enough;         // the body bytes wanted are in: the rest is not read
    bool answerTooLate;  // no whole head within msAnswer
    bool stalled;        // a stretch of the body brought too little
    long long msStart;
    long long msWindowStart;
    uint64_t cbWindowStart;
};

long long NowMs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

size_t OnHeader(char *data, size_t size, size_t count, void *context)
{
    TRANSFER_WATCH *watch = (TRANSFER_WATCH *)context;
    size_t cb = size * count;
    // A status line starts another answer (after a 100 Continue, say): only the last counts.
    if (cb >= 5 && memcmp(data, "HTTP/", 5) == 0) {
        watch->probe->head.clear();
        watch->probe->status = cb >= 12 ? strtol(data + 9, NULL, 10) : 0;
    }
    watch->probe->head.append(data, cb);
    if ((cb == 2 && data[0] == '\r') || (cb == 1 && data[0] == '\n')) {
        watch->headDone = true;
        watch->msWindowStart = NowMs();
    }
    return cb;
}

size_t OnBody(char *data, size_t size, size_t count, void *context)
{
    TRANSFER_WATCH *watch = (TRANSFER_WATCH *)context;
    PROBE *probe = watch->probe;
    size_t cb = size * count;
    if (probe->body.size() < probe->cbKeep)
        probe->body.append(data, cb < probe->cbKeep - probe->body.size() ? cb : probe->cbKeep - probe->body.size());
    probe->cbBody += cb;
    // A redirect's page or an error's is no part of the package.
    EVP_MD_CTX *digest = probe->status == 206 && probe->rest != NULL ? probe->rest
                         : probe->status / 100 == 2                  ? probe->digest
                                                                      : NULL;
    if (digest != NULL)
        EVP_DigestUpdate(digest, data, cb);
    // Only what is wanted is read: stopping here ends the transfer without an error of the
    // server's.
    watch->enough = (!probe->whole || probe->status / 100 != 2) && probe->body.size() >= probe->cbKeep;
    return watch->enough ? 0 : cb;
}

// The program's own bounds: the whole head within msAnswer, then 16 KiB in every stall window.
int OnProgress(void *context, curl_off_t, curl_off_t cbNow, curl_off_t, curl_off_t)
{
    TRANSFER_WATCH *watch = (TRANSFER_WATCH *)context;
    long long now = NowMs();
    if (!watch->headDone) {
        watch->answerTooLate = now - watch->msStart > watch->timing->msAnswer;
        return watch->answerTooLate;
    }
    if (now - watch->msWindowStart >= watch->timing->msStallWindow) {
        watch->stalled = (uint64_t)cbNow - watch->cbWindowStart < CB_STALL_MINIMUM;
        watch->msWindowStart = now;
        watch->cbWindowStart = (uint64_t)cbNow;
    }
    return watch->stalled;
}

bool IsTlsFailure(CURLcode code)
{
    return code == CURLE_SSL_CONNECT_ERROR || code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CERTPROBLEM ||
           code == CURLE_SSL_CIPHER || code == CURLE_SSL_CACERT_BADFILE || code == CURLE_SSL_ISSUER_ERROR;
}

// What the program's client reports as a network that may come back: no name, no connection,
// a time-out, a connection closed or reset before the answer or the body was whole.
bool IsTransientFailure(CURLcode code)
{
    return code == CURLE_COULDNT_RESOLVE_HOST || code == CURLE_COULDNT_CONNECT || code == CURLE_OPERATION_TIMEDOUT ||
           code == CURLE_GOT_NOTHING || code == CURLE_SEND_ERROR || code == CURLE_RECV_ERROR ||
           code == CURLE_PARTIAL_FILE;
}

void ReadCertificate(CURL *curl, PROBE *probe)
{
    curl_certinfo *info = NULL;
    if (curl_easy_getinfo(curl, CURLINFO_CERTINFO, &info) != CURLE_OK || info == NULL || info->num_of_certs < 1)
        return;
    probe->chain = info->num_of_certs;
    for (curl_slist *field = info->certinfo[0]; field != NULL; field = field->next) {
        if (strncmp(field->data, "Subject:", 8) == 0)
            probe->certificate = field->data + 8;
        if (strncmp(field->data, "Issuer:", 7) == 0)
            probe->issuer = field->data + 7;
        if (strncmp(field->data, "Expire date:", 12) == 0)
            probe->certificateExpires = (long long)curl_getdate(field->data + 12, NULL);
    }
}

// The Location of a redirect, made absolute against the URL asked, as the client makes it.
std::string RedirectTarget(const PROBE &probe)
{
    std::string location = HeaderValue(probe.head, "Location");
    std::string target;
    CURLU *url = location.empty() || probe.status / 100 != 3 ? NULL : curl_url();
    char *absolute = NULL;
    if (url != NULL && curl_url_set(url, CURLUPART_URL, probe.url.c_str(), 0) == CURLUE_OK &&
        curl_url_set(url, CURLUPART_URL, location.c_str(), 0) == CURLUE_OK &&
        curl_url_get(url, CURLUPART_URL, &absolute, 0) == CURLUE_OK)
        target = absolute;
    curl_free(absolute);
    if (url != NULL)
        curl_url_cleanup(url);
    return target;
}

void ReadOutcome(CURL *curl, CURLcode code, const TRANSFER_WATCH &watch, const char *error)
{
    PROBE *probe = watch.probe;
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    probe->answered = watch.headDone && status != 0;
    probe->status = probe->answered ? status : 0;
    // Read whatever its body: a redirect's page may be cut short here.
    probe->location = RedirectTarget(*probe);
    probe->tlsFailure = IsTlsFailure(code);
    probe->bodyWhole = probe->answered && (code == CURLE_OK || watch.enough);
    probe->stalled = watch.stalled || watch.answerTooLate;
    probe->transient = !probe->bodyWhole && !probe->tlsFailure && (probe->stalled || IsTransientFailure(code));
    if (watch.answerTooLate)
        probe->error = "no whole answer within " + std::to_string(watch.timing->msAnswer / 1000) + " s";
    else if (watch.stalled)
        probe->error =
            "the body stalled: less than 16 KiB in " + std::to_string(watch.timing->msStallWindow / 1000) + " s";
    else if (code != CURLE_OK && !watch.enough)
        probe->error = error[0] != '\0' ? error : curl_easy_strerror(code);
    probe->seconds = (NowMs() - watch.msStart) / 1000.0;
    ReadCertificate(curl, probe);
}

}  // namespace

std::string HeaderValue(const std::string &head, const char *name)
{
    size_t cchName = strlen(name);
    for (size_t line = head.find('\n'); line != std::string::npos; line = head.find('\n', line + 1)) {
        const char *at = head.c_str() + line + 1;
        if (strncasecmp(at, name, cchName) == 0 && at[cchName] == ':') {
            size_t begin = head.find_first_not_of(" \t", line + 2 + cchName);
            size_t end = head.find_first_of("\r\n", begin);
            return begin == std::string::npos ? std::string() : head.substr(begin, end - begin);
        }
    }
    return std::string();
}

bool RunProbe(PROBE *probe, const PROBE_TIMING &timing)
{
    char error[CURL_ERROR_SIZE] = "";
    TRANSFER_WATCH watch = {probe, &timing, false, false, false, false, NowMs(), 0, 0};
    CURL *curl = curl_easy_init();
    // No Accept line: the client sends none. (libcurl sends no User-Agent and asks for no
    // encoding.)
    curl_slist *lines = curl_slist_append(NULL, "Accept:");
    for (const std::string &header : probe->headers)
        lines = curl_slist_append(lines, header.c_str());
    bool made = curl != NULL && lines != NULL;
    if (made) {
        curl_easy_setopt(curl, CURLOPT_URL, probe->url.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, lines);
        curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, (long)CURL_HTTP_VERSION_1_1);
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, timing.msConnect);
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &watch);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &watch);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &watch);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
        curl_easy_setopt(curl, CURLOPT_CERTINFO, 1L);
        // What Windows 7 to 10 speak: a server that insists on TLS 1.3 loses most users.
        curl_easy_setopt(curl, CURLOPT_SSLVERSION,
                         (long)(CURL_SSLVERSION_TLSv1 | (probe->tls13 ? CURL_SSLVERSION_MAX_DEFAULT
                                                                      : CURL_SSLVERSION_MAX_TLSv1_2)));
        if (probe->anyCertificate) {
            curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
            curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
        }
        if (!probe->caFile.empty())
            curl_easy_setopt(curl, CURLOPT_CAINFO, probe->caFile.c_str());
        CURLcode code = curl_easy_perform(curl);
        ReadOutcome(curl, code, watch, error);
    }
    if (lines != NULL)
        curl_slist_free_all(lines);
    if (curl != NULL)
        curl_easy_cleanup(curl);
    return made;
}
