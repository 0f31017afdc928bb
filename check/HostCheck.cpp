#include "HostCheck.h"

#include <string.h>
#include <strings.h>
#include <time.h>

#include "download/core/HeaderScan.h"
#include "download/core/PackageCheck.h"
#include "download/core/ResumePolicy.h"
#include "download/core/SignatureText.h"

namespace {

// The client follows at most this many redirects for one request.
const int MAX_REDIRECTS = 10;
// A certificate this close to its end is a warning.
const long long CERTIFICATE_NOTICE_S = 30LL * 24 * 3600;

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

// The value of the first header line of that name, blanks cut; empty when there is none.
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

class HostChecker {
  public:
    HostChecker(const CHECK_SETUP &setup, const SERVER &server, HOST_REPORT *report)
        : setup_(setup), findings_(report), secure_(setup.scheme == SCHEME_HTTPS)
    {
        host_ = server.host;
        port_ = PortFor(setup.scheme, server.port);
        report->host = Narrow(host_);
        report->port = port_;
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
        findings_.Close();
    }

  private:
    const CHECK_SETUP &setup_;
    Findings findings_;
    bool secure_;
    std::wstring host_;
    uint16_t port_;
    std::string url_;
    // Each redirect once, whichever request met it, with the warning it earns, if any.
    struct REDIRECT_SEEN {
        std::string said;
        std::string warning;
    };
    std::vector<REDIRECT_SEEN> redirects_;
    bool signatureHeld_ = false;
    PACKAGE_SIGNATURE signature_ = {};
    uint32_t total_ = 0;
    std::wstring validator_;
    bool tlsFailed_ = false;
    std::string tlsError_;
    std::string certificate_;
    long long certificateExpires_ = -1;
    bool unanswered_ = false;

    FETCHED Fetch(const std::string &url, const std::vector<std::string> &headers, size_t cbKeep, bool whole)
    {
        FETCHED fetched = {};
        std::string at = url;
        for (int hop = 0;; ++hop) {
            fetched.probe = PROBE();
            fetched.probe.url = at;
            fetched.probe.headers = headers;
            fetched.probe.cbKeep = cbKeep;
            fetched.probe.whole = whole;
            fetched.probe.caFile = setup_.caFile;
            RunProbe(&fetched.probe, setup_.timing);
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

    void NoteRedirect(REDIRECT redirect, long status, const std::string &to)
    {
        std::string said = std::to_string(status) + " to " + to;
        for (const REDIRECT_SEEN &seen : redirects_) {
            if (seen.said.compare(0, said.size(), said) == 0)
                return;
        }
        if (redirect == REDIRECT_FOLLOWED)
            redirects_.push_back({said + ": followed", ""});
        else if (redirect == REDIRECT_SOME)
            redirects_.push_back({said + ": followed by newer systems only",
                                  "a " + std::to_string(status) +
                                      " redirect, which not every system's client follows: use 301, 302 or 307"});
        else
            redirects_.push_back({said + ": refused, from https to http", ""});
    }

    void NoteCertificate(const PROBE &probe)
    {
        if (probe.url.compare(0, 8, "https://") != 0)
            return;
        if (probe.tlsFailure && !tlsFailed_) {
            tlsFailed_ = true;
            tlsError_ = probe.error;
        }
        if (!probe.certificate.empty()) {
            certificate_ = probe.certificate;
            certificateExpires_ = probe.certificateExpires;
        }
    }

    // Why a request got no answer the program could use: it tries again, then leaves the host. The
    // certificate's own line says why a TLS handshake failed.
    bool Unanswered(const char *what, const FETCHED &fetched)
    {
        unanswered_ = !fetched.probe.answered;
        if (unanswered_ && fetched.probe.tlsFailure)
            findings_.Line(what, "no answer: the TLS handshake or the certificate failed");
        else if (unanswered_)
            findings_.Leaves(what, "no answer: " + fetched.probe.error, "no answer: " + fetched.probe.error);
        return unanswered_;
    }

    std::string Encoding(const FETCHED &fetched)
    {
        std::string encoding = HeaderValue(fetched.probe.head, "Content-Encoding");
        return encoding.empty() || strcasecmp(encoding.c_str(), "identity") == 0 ? std::string() : encoding;
    }

    void CheckSignature()
    {
        wchar_t path[SETTINGS_CCH_TEXT + 4];
        SignaturePath(path, sizeof(path) / sizeof(path[0]), setup_.serverPath.c_str());
        FETCHED fetched = Fetch(Url(path), {}, CB_SIGNATURE_TEXT, false);
        if (Unanswered("signature", fetched))
            return;
        const ANSWER &answer = fetched.answer;
        std::string said = std::to_string(answer.status) + ", " +
                           (answer.length > 0 ? std::to_string(answer.length) + " bytes" : std::string("no length"));
        std::string encoding = Encoding(fetched);
        if (!encoding.empty())
            said += ", " + encoding + "-encoded";
        SIGNATURE_ANSWER judged = fetched.refusedRedirect ? SIGNATURE_MISSING : JudgeSignatureAnswer(&answer);
        if (judged == SIGNATURE_MISSING || judged == SIGNATURE_LATER) {
            findings_.Leaves("signature", said,
                             fetched.refusedRedirect ? "the signature's redirect from https to http is refused"
                             : judged == SIGNATURE_LATER
                                 ? "the signature answers " + std::to_string(answer.status) +
                                       " (tried again, then left)"
                                 : "no signature: " + Narrow(path) + " answers " + std::to_string(answer.status));
            return;
        }
        const std::string &text = fetched.probe.body;
        if (judged == SIGNATURE_TOO_LONG || text.size() != answer.length ||
            !ParsePackageSignature(text.data(), text.size(), &signature_)) {
            std::string why = !encoding.empty()
                                  ? "the signature comes " + encoding + "-encoded: the program reads the bytes as sent"
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

    void CheckPackage()
    {
        FETCHED fetched = Fetch(url_, {}, CB_PACKAGE_SIGNATURE, setup_.full);
        if (Unanswered("package", fetched))
            return;
        const ANSWER &answer = fetched.answer;
        validator_ = answer.validator;
        std::string encoding = Encoding(fetched);
        std::string said =
            std::to_string(answer.status) + ", " +
            (answer.length > 0 ? std::to_string(answer.length) + " bytes" : std::string("no usable length"));
        if (signatureHeld_ && answer.length > 0)
            said += answer.length == signature_.length ? " as signed" : ", signed " + std::to_string(signature_.length);
        said += encoding.empty() ? ", not encoded" : ", " + encoding + "-encoded";
        said += ", " + ValidatorText(fetched);
        const std::string &head = fetched.probe.body;
        if (fetched.refusedRedirect)
            findings_.Leaves("package", said, "the package's redirect from https to http is refused");
        else if (answer.status / 100 != 2)
            findings_.Leaves("package", said,
                             "the package answers " + std::to_string(answer.status) +
                                 (IsTransientStatus(answer.status) ? " (tried again, then left)" : ""));
        else if (answer.length == 0)
            findings_.Leaves("package", said, "the package comes with no usable Content-Length");
        else if (!encoding.empty())
            findings_.Leaves("package", said,
                             "the package comes " + encoding + "-encoded: the program reads the bytes as sent");
        else if (head.size() < CB_PACKAGE_SIGNATURE ||
                 !MatchesPackageSignature(0, (const uint8_t *)head.data(), head.size()))
            findings_.Leaves("package", said, "the body does not start as a Windows Installer package");
        else if (signatureHeld_ && answer.length != signature_.length)
            findings_.Leaves("package", said, "the package's length is not the signed one: replaced after signing?");
        else
            findings_.Line("package", said);
        if (!findings_.Leaving() && setup_.full)
            CheckDigest(fetched);
        total_ = findings_.Leaving() ? 0 : answer.length;
    }

    void CheckDigest(const FETCHED &fetched)
    {
        const uint8_t *expected = signatureHeld_ ? signature_.sha256 : setup_.pinned ? setup_.pin : NULL;
        if (!fetched.probe.bodyWhole || fetched.probe.cbBody != fetched.answer.length)
            findings_.Leaves("digest",
                             "the body broke off at " + std::to_string(fetched.probe.cbBody) +
                                 " bytes: " + fetched.probe.error,
                             "the whole package did not arrive: " + fetched.probe.error);
        else if (expected == NULL)
            findings_.Line("digest", "whole; no signature or pin to check it against");
        else if (memcmp(expected, fetched.probe.sha256, CB_SHA256) != 0)
            findings_.Leaves("digest", std::string("does not match the ") + (signatureHeld_ ? "signature" : "pin"),
                             "the package is not the one the " + std::string(signatureHeld_ ? "signature" : "pin") +
                                 " names");
        else
            findings_.Line("digest", std::string("matches the ") + (signatureHeld_ ? "signature" : "pin"));
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
        std::vector<std::string> headers;
        std::string text = Narrow(lines);
        for (size_t begin = 0, end; (end = text.find("\r\n", begin)) != std::string::npos; begin = end + 2)
            headers.push_back(text.substr(begin, end - begin));
        FETCHED fetched = Fetch(url_, headers, CB_PACKAGE_SIGNATURE, false);
        if (!fetched.probe.answered) {
            findings_.Warns("resume", "no answer to a range: " + fetched.probe.error,
                            "a range got no answer: a cut may start over");
            return;
        }
        std::string said = std::to_string(fetched.answer.status) + " to bytes=" + std::to_string(from) + "-";
        switch (JudgeAnswer(&fetched.answer, from, total_, validator_.c_str(), VOUCHED_BY_VALIDATOR)) {
        case VERDICT_CONTINUE:
            findings_.Line("resume", said + ": a cut continues here");
            break;
        case VERDICT_READ_PAST_KEPT:
            findings_.Warns("resume", said + ": ranges ignored, a cut starts the package again",
                            "ranges are ignored: every cut starts the package again");
            break;
        default:
            findings_.Warns("resume", said + ": not the rest of the package, a cut starts it again",
                            "a range is not answered with the rest of the package: every cut starts it again");
            break;
        }
        // Elsewhere only a strong ETag, or a digest the program checks the whole by, vouches.
        if (setup_.otherHosts && !setup_.pinned && setup_.keys.empty() && validator_[0] != L'"')
            findings_.Warns("kept bytes", "not continued from another host: no strong ETag",
                            "no strong ETag: bytes kept from another host do not continue here");
    }

    void CheckCertificate()
    {
        if (tlsFailed_) {
            findings_.Leaves("certificate", tlsError_, "the certificate or TLS failed: " + tlsError_);
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
    Findings findings(&report);
    findings.Leaves("settings", why + ": the program asks no host", why);
    findings.Close();
    return report;
}
