#include "HostCheck.h"

#include <string.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include <curl/curl.h>

#include "download/core/HeaderScan.h"
#include "download/core/PackageCheck.h"
#include "download/core/ResumePolicy.h"
#include "download/core/RetryPolicy.h"
#include "download/core/SignatureText.h"

namespace {

// The client follows at most this many redirects for one request.
const int MAX_REDIRECTS = 10;
// A certificate this close to its end is a warning.
const long long CERTIFICATE_NOTICE_S = 30LL * 24 * 3600;
// A package changed this long after its signature was made and uploaded is worth a word.
const long long UPLOAD_SLACK_S = 3600;

std::string Narrow(const std::wstring &text)
{
    return std::string(text.begin(), text.end());
}

std::wstring Widen(const std::string &text)
{
    std::wstring wide;
    for (unsigned char c : text)
        wide += (wchar_t)c;
    return wide;
}

std::string Date(long long seconds, const char *format = "%Y-%m-%d %H:%M UTC")
{
    char text[64] = "";
    time_t at = (time_t)seconds;
    tm parts;
    if (gmtime_r(&at, &parts) != NULL)
        strftime(text, sizeof(text), format, &parts);
    return text;
}

std::string Seconds(double seconds)
{
    char text[32];
    snprintf(text, sizeof(text), seconds < 10 ? "%.1f s" : "%.0f s", seconds);
    return text;
}

std::string Percent(uint64_t part, uint64_t whole)
{
    return std::to_string(whole == 0 ? 0 : part * 100 / whole) + " %";
}

// The program's clock, as the retry rules read it.
uint32_t TickMs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint32_t)((uint64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000);
}

// How the program's client treats a redirect.
enum REDIRECT {
    REDIRECT_NONE,      // not one the client acts on: the answer is the final one
    REDIRECT_FOLLOWED,  // 301, 302, 307, on every system
    REDIRECT_SOME,      // 303, 308: not every system's client follows them
    REDIRECT_REFUSED,   // from https to http: never
};

REDIRECT JudgeRedirect(long status, const std::string &from, const std::string &to)
{
    if (to.empty() || (status != 301 && status != 302 && status != 303 && status != 307 && status != 308))
        return REDIRECT_NONE;
    if (from.compare(0, 8, "https://") == 0 && to.compare(0, 7, "http://") == 0)
        return REDIRECT_REFUSED;
    return status == 303 || status == 308 ? REDIRECT_SOME : REDIRECT_FOLLOWED;
}

// One host's findings as they come.
class Findings {
  public:
    explicit Findings(HOST_REPORT *report) : report_(report) {}
    void Line(const std::string &what, const std::string &result) { report_->lines.push_back({what, result}); }
    void Leaves(const std::string &what, const std::string &result, const std::string &reason)
    {
        Line(what, result);
        leaves_.push_back(reason);
    }
    void Warns(const std::string &what, const std::string &result, const std::string &warning)
    {
        Line(what, result);
        warnings_.push_back(warning);
    }
    void Warning(const std::string &warning) { warnings_.push_back(warning); }
    bool Leaving() const { return !leaves_.empty(); }
    void Close()
    {
        report_->verdict = !leaves_.empty() ? VERDICT_LEAVES : !warnings_.empty() ? VERDICT_WARNINGS : VERDICT_SERVES;
        report_->reasons = !leaves_.empty() ? leaves_ : warnings_;
        Line("verdict", report_->verdict == VERDICT_SERVES     ? "serves"
                        : report_->verdict == VERDICT_WARNINGS ? "serves, with warnings"
                                                               : "the program leaves this host");
    }

  private:
    HOST_REPORT *report_;
    std::vector<std::string> leaves_;
    std::vector<std::string> warnings_;
};

// What a request brought, redirects followed as the client follows them.
struct FETCHED {
    PROBE probe;
    ANSWER answer;
    bool refusedRedirect;
};

// Something on the way, or the server, made the body otherwise than stored.
std::string Encoding(const FETCHED &fetched)
{
    std::string encoding = HeaderValue(fetched.probe.head, "Content-Encoding");
    return encoding.empty() || strcasecmp(encoding.c_str(), "identity") == 0 ? std::string() : encoding;
}

bool Chunked(const FETCHED &fetched)
{
    return strcasestr(HeaderValue(fetched.probe.head, "Transfer-Encoding").c_str(), "chunked") != NULL;
}

// A page for people where a file should be: its type says so, or its first bytes.
bool Html(const FETCHED &fetched)
{
    const std::string &body = fetched.probe.body;
    size_t first = body.find_first_not_of(" \t\r\n");
    return strcasestr(HeaderValue(fetched.probe.head, "Content-Type").c_str(), "html") != NULL ||
           (first != std::string::npos && body[first] == '<');
}

// Why an answer carries no length the program can use, and what mends it.
std::string NoLength(const char *file, const FETCHED &fetched)
{
    std::string encoding = Encoding(fetched);
    std::string what = std::string("the ") + file;
    if (!encoding.empty())
        return what + " comes " + encoding + "-encoded: the program reads the bytes as sent, and needs their length; " +
               "serve .msi and .sig as stored (no compression for them), and let caches pass them unchanged";
    if (Chunked(fetched))
        return what + " comes chunked, with no Content-Length: the program needs the length; the server, or a cache " +
               "on the way (perhaps only while its copy is cold, decompressing what it holds), sends it so: serve the " +
               "file as stored, with its Content-Length";
    return what + " comes with no usable Content-Length (none, or two that disagree): serve it with one";
}

// What an HTML page where a file should be means, and what mends it.
std::string HtmlInstead(const char *file, const FETCHED &fetched)
{
    return std::string("an HTML page answers where the ") + file + " should be (" +
           std::to_string(fetched.answer.status) + ", " + std::to_string(fetched.answer.length) +
           " bytes): the file is missing on this host, or an error page answers 200 (a soft 404); upload it, " +
           "and let a missing file answer 404";
}

class HostChecker {
  public:
    HostChecker(const CHECK_SETUP &setup, const SERVER &server, HOST_REPORT *report)
        : setup_(setup), report_(report), findings_(report), secure_(setup.scheme == SCHEME_HTTPS)
    {
        host_ = server.host;
        port_ = PortFor(setup.scheme, server.port);
        report->host = Narrow(host_);
        report->port = port_;
        report->seconds = 0;
        report->timed = false;
        report->cbPackage = 0;
        url_ = Url(setup.serverPath.c_str());
    }

    // The URL of a path on this host, as the program asks for it.
    std::string Url(const wchar_t *path)
    {
        wchar_t url[3 * SETTINGS_CCH_TEXT];
        FormatUrl(url, sizeof(url) / sizeof(url[0]), secure_, host_.c_str(), port_, path);
        return Narrow(url);
    }

    void Run()
    {
        if (!setup_.keys.empty())
            CheckSignature();
        if (!findings_.Leaving() && !unanswered_)
            CheckPackage();
        if (!findings_.Leaving() && !unanswered_ && total_ > 0)
            CheckResume();
        if (redirects_.empty())
            findings_.Line("redirects", "none");
        for (const REDIRECT_SEEN &seen : redirects_) {
            if (seen.warning.empty())
                findings_.Line("redirect", seen.said);
            else
                findings_.Warns("redirect", seen.said, seen.warning);
        }
        CheckCertificate();
        if (report_->timed && !findings_.Leaving())
            findings_.Line("time", Seconds(report_->seconds) + " for " + std::to_string(total_) + " bytes (" +
                                       Rate(total_, packageSeconds_) + " while it came)");
        findings_.Close();
    }

  private:
    const CHECK_SETUP &setup_;
    HOST_REPORT *report_;
    Findings findings_;
    bool secure_;
    std::wstring host_;
    uint16_t port_;
    std::string url_;
    // Each redirect once, whichever request met it, with the warning it earns, if any.
    struct REDIRECT_SEEN {
        std::string key;
        std::string said;
        std::string warning;
    };
    std::vector<REDIRECT_SEEN> redirects_;
    bool signatureHeld_ = false;
    PACKAGE_SIGNATURE signature_ = {};
    std::string signatureHead_;
    uint32_t total_ = 0;
    std::wstring validator_;
    bool tlsFailed_ = false;
    std::string tlsError_;
    std::string tlsUrl_;
    std::string certificate_;
    long long certificateExpires_ = -1;
    bool unanswered_ = false;
    double packageSeconds_ = 0;
    uint32_t seed_ = 0x2545F491;

    static std::string Rate(uint64_t cb, double seconds)
    {
        char text[32];
        double rate = seconds > 0 ? cb / seconds / 1024 : 0;
        snprintf(text, sizeof(text), rate >= 1024 ? "%.1f MiB/s" : "%.0f KiB/s", rate >= 1024 ? rate / 1024 : rate);
        return text;
    }

    // One request, redirects followed as the client follows them. The bodies of a 2xx answer go
    // to digest, of a 206 to rest, where given. Its time is the program's, on this host.
    FETCHED Fetch(const std::string &url, const std::vector<std::string> &headers, size_t cbKeep, bool whole,
                  EVP_MD_CTX *digest = NULL, EVP_MD_CTX *rest = NULL)
    {
        FETCHED fetched = {};
        std::string at = url;
        for (int hop = 0;; ++hop) {
            fetched.probe = PROBE();
            fetched.probe.url = at;
            fetched.probe.headers = headers;
            fetched.probe.cbKeep = cbKeep;
            fetched.probe.whole = whole;
            fetched.probe.digest = digest;
            fetched.probe.rest = rest;
            fetched.probe.caFile = setup_.caFile;
            RunProbe(&fetched.probe, setup_.timing);
            report_->seconds += fetched.probe.seconds;
            NoteCertificate(fetched.probe);
            REDIRECT redirect = fetched.probe.answered ? JudgeRedirect(fetched.probe.status, at, fetched.probe.location)
                                                       : REDIRECT_NONE;
            if (redirect == REDIRECT_NONE || hop == MAX_REDIRECTS)
                break;
            NoteRedirect(redirect, fetched.probe.status, fetched.probe.location);
            fetched.refusedRedirect = redirect == REDIRECT_REFUSED;
            if (fetched.refusedRedirect)
                break;
            at = fetched.probe.location;
        }
        std::wstring head = Widen(fetched.probe.head);
        ScanAnswer(head.c_str(), head.size(), &fetched.answer);
        return fetched;
    }

    // The program's wait before its next try, spent here too.
    void Wait(RETRY_STATE *retry, uint32_t retryAfter)
    {
        uint32_t ms = RetryWaitMs(retry, retryAfter);
        usleep((useconds_t)ms * 1000);
        report_->seconds += ms / 1000.0;
    }

    // The request as the program makes it, made again after the program's waits while its
    // answer says "later", or none comes, until the program's retries end; retried says what
    // that took.
    FETCHED FetchAsTheProgram(const std::string &url, size_t cbKeep, bool whole, EVP_MD_CTX *digest,
                              std::string *retried)
    {
        RETRY_STATE retry = {0, 0, 0, seed_, 0, 0, false};
        std::string earlier;
        int tries = 0;
        double start = report_->seconds;
        FETCHED fetched;
        for (bool again = true; again;) {
            if (digest != NULL)
                EVP_DigestInit_ex(digest, EVP_sha256(), NULL);
            fetched = Fetch(url, {}, cbKeep, whole, digest);
            ++tries;
            bool later = fetched.probe.answered ? IsTransientStatus((int32_t)fetched.answer.status)
                                                : fetched.probe.transient;
            TRY_OUTCOME outcome = {};
            outcome.result = 1;
            outcome.transient = true;
            outcome.retryAfter = fetched.probe.answered ? fetched.answer.retryAfter : NO_RETRY_AFTER;
            again = later && NextRetry(&retry, &outcome, 0, TickMs());
            if (later)
                earlier += (earlier.empty() ? "" : ", ") +
                           (fetched.probe.answered ? std::to_string(fetched.answer.status) : std::string("no answer"));
            if (again)
                Wait(&retry, outcome.retryAfter);
        }
        if (tries > 1)
            *retried = " (" + std::to_string(tries) + " tries over " + Seconds(report_->seconds - start) + ": " + earlier +
                       (fetched.probe.answered && !IsTransientStatus((int32_t)fetched.answer.status) ? ", then this"
                                                                                                 : ", then left") +
                       ")";
        return fetched;
    }

    void NoteRedirect(REDIRECT redirect, long status, const std::string &to)
    {
        std::string key = std::to_string(status) + " to " + to;
        for (const REDIRECT_SEEN &seen : redirects_) {
            if (seen.key == key)
                return;
        }
        if (redirect == REDIRECT_FOLLOWED)
            redirects_.push_back({key, key + ": followed", ""});
        else if (redirect == REDIRECT_SOME)
            redirects_.push_back({key, key + ": followed by newer systems only",
                                  "a " + std::to_string(status) +
                                      " redirect, which not every system's client follows: use 301, 302 or 307"});
        else
            redirects_.push_back({key, key + ": refused, from https to http", ""});
    }

    void NoteCertificate(const PROBE &probe)
    {
        if (probe.url.compare(0, 8, "https://") != 0)
            return;
        if (probe.tlsFailure && !tlsFailed_) {
            tlsFailed_ = true;
            tlsError_ = probe.error;
            tlsUrl_ = probe.url;
        }
        if (!probe.certificate.empty()) {
            certificate_ = probe.certificate;
            certificateExpires_ = probe.certificateExpires;
        }
    }

    // Why a request got no answer the program could use: it tried again, then left the host.
    // The certificate's own line says why a TLS handshake failed.
    bool Unanswered(const char *what, const FETCHED &fetched, const std::string &retried)
    {
        unanswered_ = !fetched.probe.answered;
        if (unanswered_ && fetched.probe.tlsFailure)
            findings_.Line(what, "no answer: the TLS handshake or the certificate failed");
        else if (unanswered_)
            findings_.Leaves(what, "no answer: " + fetched.probe.error + retried, "no answer: " + fetched.probe.error);
        return unanswered_;
    }

    void CheckSignature()
    {
        wchar_t path[SETTINGS_CCH_TEXT + 4];
        SignaturePath(path, sizeof(path) / sizeof(path[0]), setup_.serverPath.c_str());
        std::string retried;
        FETCHED fetched = FetchAsTheProgram(Url(path), CB_SIGNATURE_TEXT, false, NULL, &retried);
        if (Unanswered("signature", fetched, retried))
            return;
        signatureHead_ = fetched.probe.head;
        const ANSWER &answer = fetched.answer;
        std::string said = std::to_string(answer.status) + ", " +
                           (answer.length > 0 ? std::to_string(answer.length) + " bytes" : std::string("no length"));
        std::string encoding = Encoding(fetched);
        if (!encoding.empty())
            said += ", " + encoding + "-encoded";
        else if (Chunked(fetched))
            said += ", chunked";
        said += retried;
        SIGNATURE_ANSWER judged = fetched.refusedRedirect ? SIGNATURE_MISSING : JudgeSignatureAnswer(&answer);
        if (judged == SIGNATURE_MISSING || judged == SIGNATURE_LATER) {
            findings_.Leaves("signature", said,
                             fetched.refusedRedirect ? "the signature's redirect from https to http is refused"
                             : judged == SIGNATURE_LATER
                                 ? "the signature answers " + std::to_string(answer.status) +
                                       " (tried again as the program does, then left)"
                                 : "no signature: " + Narrow(path) + " answers " + std::to_string(answer.status));
            return;
        }
        const std::string &text = fetched.probe.body;
        if (judged == SIGNATURE_TOO_LONG || text.size() != answer.length ||
            !ParsePackageSignature(text.data(), text.size(), &signature_)) {
            std::string why = !encoding.empty() || answer.length == 0 ? NoLength("signature", fetched)
                              : Html(fetched)                         ? HtmlInstead("signature", fetched)
                                                                      : "the signature does not read as one (" + said + ")";
            findings_.Leaves("signature", said + ", does not read", why);
            return;
        }
        int key = SigningKey(setup_.keys, text.data(), &signature_);
        std::string name = signature_.name;
        said += ", reads, " +
                (key ? "key " + std::to_string(key) + " of " + std::to_string(setup_.keys.size())
                     : std::string("made by no key given")) +
                ", for " + name + ", made " + Date((long long)signature_.time);
        if (key == 0)
            findings_.Leaves("signature", said, "the signature is not made by a key given");
        else if (!SignatureFits(&signature_, setup_.serverPath.c_str(), 0))
            findings_.Leaves("signature", said,
                             "the signature is made for " + name + ", not the package's name on the server");
        else if (signature_.time < setup_.notBefore)
            findings_.Leaves("signature", said,
                             "the signature is older than the oldest taken (" + Date((long long)setup_.notBefore) +
                                 "): a withdrawn package");
        else if (setup_.pinned && memcmp(setup_.pin, signature_.sha256, CB_SHA256) != 0)
            findings_.Leaves("signature", said, "the signature and the pin name two packages");
        else
            findings_.Line("signature", said);
        signatureHeld_ = !findings_.Leaving();
    }

    std::string ValidatorText(const FETCHED &fetched)
    {
        std::string etag = HeaderValue(fetched.probe.head, "ETag");
        if (validator_.empty())
            return etag.empty() ? "no validator" : "no validator (the ETag is weak)";
        if (validator_[0] == L'"')
            return "strong ETag " + Narrow(validator_);
        return etag.empty() ? "Last-Modified only" : "Last-Modified (the ETag is weak)";
    }

    // Without the whole package read, the cheap signs that the signature and the package are of
    // two versions.
    void CheckVersions(const FETCHED &fetched)
    {
        if (!signatureHeld_)
            return;
        bool packageAged = !HeaderValue(fetched.probe.head, "Age").empty();
        bool signatureAged = !HeaderValue(signatureHead_, "Age").empty();
        if (packageAged != signatureAged)
            findings_.Warning(std::string("a cache answers the ") + (packageAged ? "package" : "signature") +
                              " from its copy (Age) and the " + (packageAged ? "signature" : "package") +
                              " not: the two may be of two versions (--full checks the digest)");
        time_t modified = curl_getdate(HeaderValue(fetched.probe.head, "Last-Modified").c_str(), NULL);
        time_t uploaded = curl_getdate(HeaderValue(signatureHead_, "Last-Modified").c_str(), NULL);
        long long signedAt = (long long)signature_.time;
        long long after = uploaded > (time_t)signedAt ? (long long)uploaded : signedAt;
        if (modified > 0 && (long long)modified > after + UPLOAD_SLACK_S)
            findings_.Warning("the package changed after its signature was made and uploaded (Last-Modified " +
                              Date(modified) + ", signed " + Date(signedAt) +
                              "): a new package under an old signature? (--full checks the digest)");
    }

    void CheckPackage()
    {
        EVP_MD_CTX *digest = setup_.full ? EVP_MD_CTX_new() : NULL;
        std::string retried;
        double start = report_->seconds;
        FETCHED fetched = FetchAsTheProgram(url_, CB_PACKAGE_SIGNATURE, setup_.full, digest, &retried);
        packageSeconds_ = report_->seconds - start;
        if (Unanswered("package", fetched, retried)) {
            EVP_MD_CTX_free(digest);
            return;
        }
        const ANSWER &answer = fetched.answer;
        validator_ = answer.validator;
        std::string encoding = Encoding(fetched);
        std::string said =
            std::to_string(answer.status) + ", " +
            (answer.length > 0 ? std::to_string(answer.length) + " bytes" : std::string("no usable length"));
        if (signatureHeld_ && answer.length > 0)
            said += answer.length == signature_.length ? " as signed" : ", signed " + std::to_string(signature_.length);
        said += !encoding.empty() ? ", " + encoding + "-encoded" : Chunked(fetched) ? ", chunked" : ", not encoded";
        said += ", " + ValidatorText(fetched);
        if (!setup_.full && answer.status / 100 == 2)
            said += ", digest not checked (--full reads it whole)";
        said += retried;
        const std::string &head = fetched.probe.body;
        if (fetched.refusedRedirect)
            findings_.Leaves("package", said, "the package's redirect from https to http is refused");
        else if (answer.status / 100 != 2)
            findings_.Leaves("package", said,
                             "the package answers " + std::to_string(answer.status) +
                                 (IsTransientStatus(answer.status) ? " (tried again as the program does, then left)" : ""));
        else if (answer.length == 0 || !encoding.empty())
            findings_.Leaves("package", said, NoLength("package", fetched));
        else if (head.size() < CB_PACKAGE_SIGNATURE ||
                 !MatchesPackageSignature(0, (const uint8_t *)head.data(), head.size()))
            findings_.Leaves("package", said,
                             Html(fetched) ? HtmlInstead("package", fetched)
                                           : "the body does not start as a Windows Installer package");
        else if (signatureHeld_ && answer.length != signature_.length)
            findings_.Leaves("package", said, "the package's length is not the signed one: replaced after signing?");
        else
            findings_.Line("package", said);
        total_ = findings_.Leaving() ? 0 : answer.length;
        report_->cbPackage = total_;
        if (!findings_.Leaving() && setup_.full)
            CheckDigest(fetched, digest);
        else if (!findings_.Leaving())
            CheckVersions(fetched);
        EVP_MD_CTX_free(digest);
    }

    // The whole package, its breaks followed as the program follows them: after its wait, the
    // rest with a range where a validator vouches, else all of it again; then its SHA-256.
    void CheckDigest(FETCHED fetched, EVP_MD_CTX *digest)
    {
        RETRY_STATE retry = {0, 0, 0, seed_, 0, 0, false};
        uint64_t received = fetched.probe.cbBody;
        std::string story;
        double start = report_->seconds - packageSeconds_;
        bool whole = fetched.probe.bodyWhole && received == total_;
        bool again = !whole && fetched.probe.transient;
        while (again) {
            story += std::string(story.empty() ? "" : "; ") + (fetched.probe.stalled ? "stalled at " : "cut at ") +
                     Percent(received, total_);
            TRY_OUTCOME outcome = {};
            outcome.result = 1;
            outcome.transient = true;
            outcome.retryAfter = NO_RETRY_AFTER;
            if (!NextRetry(&retry, &outcome, (uint32_t)received, TickMs()))
                break;
            Wait(&retry, outcome.retryAfter);
            KEPT_VOUCHER voucher = VoucherFor((uint32_t)received, validator_.c_str(), true, false);
            wchar_t lines[CCH_VALIDATOR + 64];
            std::vector<std::string> headers;
            if (voucher != VOUCHED_BY_NOTHING &&
                FormatRangeRequest(lines, sizeof(lines) / sizeof(lines[0]), (uint32_t)received, validator_.c_str(),
                                   voucher))
                headers = SplitLines(Narrow(lines));
            EVP_MD_CTX *fresh = EVP_MD_CTX_new();
            EVP_MD_CTX *rest = EVP_MD_CTX_new();
            EVP_DigestInit_ex(fresh, EVP_sha256(), NULL);
            EVP_MD_CTX_copy_ex(rest, digest);
            fetched = Fetch(url_, headers, 0, true, fresh, rest);
            ANSWER_VERDICT verdict =
                fetched.probe.answered ? JudgeAnswer(&fetched.answer, (uint32_t)received, total_, validator_.c_str(), voucher)
                                       : VERDICT_RETRY;
            if (verdict == VERDICT_CONTINUE) {
                EVP_MD_CTX_copy_ex(digest, rest);
                received += fetched.probe.cbBody;
                story += ", the rest came as a 206";
            } else if (verdict == VERDICT_FULL_BODY || verdict == VERDICT_READ_PAST_KEPT) {
                EVP_MD_CTX_copy_ex(digest, fresh);
                received = fetched.probe.cbBody;
                story += ", the whole came again (" + std::to_string(fetched.answer.status) + ")";
            } else if (fetched.probe.answered) {
                story += ", then " + std::to_string(fetched.answer.status);
            }
            EVP_MD_CTX_free(fresh);
            EVP_MD_CTX_free(rest);
            whole = received == total_ && fetched.probe.bodyWhole;
            again = !whole && (verdict == VERDICT_RETRY || verdict == VERDICT_START_OVER || fetched.probe.transient);
        }
        packageSeconds_ = report_->seconds - start;
        report_->timed = whole;
        story = story.empty() ? "" : " (" + story + ")";
        uint8_t sha256[CB_SHA256];
        unsigned int cbDigest = 0;
        const uint8_t *expected = signatureHeld_ ? signature_.sha256 : setup_.pinned ? setup_.pin : NULL;
        const std::string against = signatureHeld_ ? "signature" : "pin";
        if (!whole)
            findings_.Leaves("digest", "the whole package did not come" + story + ": " + fetched.probe.error,
                             "the whole package did not come, retries as the program's included: " +
                                 fetched.probe.error);
        else if (!EVP_DigestFinal_ex(digest, sha256, &cbDigest) || expected == NULL)
            findings_.Line("digest", "whole" + story + "; no signature or pin to check it against");
        else if (memcmp(expected, sha256, CB_SHA256) != 0)
            findings_.Leaves("digest", "does not match the " + against + story,
                             "the package is not the one the " + against +
                                 " names: replaced after signing, or a cache holding one of the two from before");
        else
            findings_.Line("digest", "matches the " + against + story);
    }

    static std::vector<std::string> SplitLines(const std::string &text)
    {
        std::vector<std::string> lines;
        for (size_t begin = 0, end; (end = text.find("\r\n", begin)) != std::string::npos; begin = end + 2)
            lines.push_back(text.substr(begin, end - begin));
        return lines;
    }

    void CheckResume()
    {
        if (validator_.empty()) {
            findings_.Warns("resume", "not asked: no validator",
                            "no ETag or Last-Modified: a cut starts the package again, and no "
                            "later run resumes it");
            return;
        }
        wchar_t lines[CCH_VALIDATOR + 64];
        uint32_t from = total_ / 2;
        FormatRangeRequest(lines, sizeof(lines) / sizeof(lines[0]), from, validator_.c_str(), VOUCHED_BY_VALIDATOR);
        // Not one of the program's own requests: its time is no user's.
        double seconds = report_->seconds;
        FETCHED fetched = Fetch(url_, SplitLines(Narrow(lines)), CB_PACKAGE_SIGNATURE, false);
        report_->seconds = seconds;
        if (!fetched.probe.answered) {
            findings_.Warns("resume", "no answer to a range: " + fetched.probe.error,
                            "a range got no answer: a cut may start over");
            return;
        }
        std::string said = std::to_string(fetched.answer.status) + " to bytes=" + std::to_string(from) + "-";
        std::wstring named = fetched.answer.validator;
        switch (JudgeAnswer(&fetched.answer, from, total_, validator_.c_str(), VOUCHED_BY_VALIDATOR)) {
        case VERDICT_CONTINUE:
            findings_.Line("resume", said + ": a cut continues here");
            break;
        case VERDICT_READ_PAST_KEPT:
            findings_.Warns("resume", said + ": ranges ignored, a cut starts the package again",
                            "ranges are ignored: every cut starts the package again");
            break;
        default:
            if (!named.empty() && named != validator_)
                findings_.Warns("resume", said + ", naming " + Narrow(named) + ": not the rest of this package",
                                "a range is answered with another ETag (" + Narrow(named) + ") than the package's (" +
                                    Narrow(validator_) +
                                    "): backends that name the same file differently; give every backend the same "
                                    "ETag (or none, and the same Last-Modified), or every cut starts the package again");
            else
                findings_.Warns("resume", said + ": not the rest of the package, a cut starts it again",
                                "a range is not answered with the rest of the package: every cut starts it again");
            break;
        }
        // Elsewhere only a strong ETag, or a digest the program checks the whole by, vouches.
        if (setup_.otherHosts && !setup_.pinned && setup_.keys.empty() && validator_[0] != L'"')
            findings_.Warns("kept bytes", "not continued from another host: no strong ETag",
                            "no strong ETag: bytes kept from another host do not continue here");
    }

    // Why a TLS handshake failed, where a second look tells: a server that offers no TLS 1.2,
    // or a chain that cannot be completed.
    std::string TlsCause()
    {
        PROBE newer;
        newer.url = tlsUrl_;
        newer.caFile = setup_.caFile;
        newer.tls13 = true;
        RunProbe(&newer, setup_.timing);
        if (newer.answered)
            return "; the server offers no TLS 1.2, what Windows 7 to 10 speak: enable TLS 1.2 beside 1.3";
        PROBE any;
        any.url = tlsUrl_;
        any.anyCertificate = true;
        RunProbe(&any, setup_.timing);
        if (!any.answered || any.certificate.empty())
            return "";
        if (any.issuer == any.certificate)
            return "; the certificate is self-signed, which Windows does not trust: use one from a CA it trusts";
        if (any.chain == 1)
            return "; the server sends its certificate alone (issued by" + any.issuer +
                   "): if that issuer is an intermediate, send it too (the whole chain), as Windows may not find it; "
                   "if it is a private CA, Windows does not trust it";
        return "";
    }

    void CheckCertificate()
    {
        if (tlsFailed_) {
            std::string cause = TlsCause();
            findings_.Leaves("certificate", tlsError_, "the certificate or TLS failed: " + tlsError_ + cause);
        } else if (!certificate_.empty()) {
            std::string said =
                certificate_ + (certificateExpires_ >= 0 ? ", until " + Date(certificateExpires_, "%Y-%m-%d") : "");
            if (certificateExpires_ >= 0 && certificateExpires_ - (long long)time(NULL) < CERTIFICATE_NOTICE_S)
                findings_.Warns("certificate", said, "the certificate ends within 30 days");
            else
                findings_.Line("certificate", said);
        }
    }
};

}  // namespace

HOST_REPORT CheckHost(const CHECK_SETUP &setup, const SERVER &server)
{
    HOST_REPORT report;
    HostChecker checker(setup, server, &report);
    checker.Run();
    return report;
}

HOST_REPORT UnreadableSettings(const SERVER &server, const std::string &why, SERVER_SCHEME scheme)
{
    HOST_REPORT report;
    report.host = Narrow(server.host);
    report.port = PortFor(scheme, server.port);
    report.seconds = 0;
    report.timed = false;
    report.cbPackage = 0;
    Findings findings(&report);
    findings.Leaves("settings", why + ": the program asks no host", why);
    findings.Close();
    return report;
}

std::string Summary(const std::vector<HOST_REPORT> &reports)
{
    double before = 0;
    for (const HOST_REPORT &report : reports) {
        if (report.verdict != VERDICT_LEAVES) {
            std::string where = "users install from " + report.host + ":" + std::to_string(report.port);
            if (report.timed)
                return where + ", in about " + Seconds(before + report.seconds) +
                       (before > 0 ? " (" + Seconds(before) + " of them on the hosts before it)" : "");
            return where + (before > 0 ? ", after about " + Seconds(before) + " on the hosts before it" : "") +
                   " (--full times the package)";
        }
        before += report.seconds;
    }
    return "users get the error box, after about " + Seconds(before);
}
