#include "Report.h"

#include <string>

namespace {

std::string Quoted(const std::string &text)
{
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += (char)c;
        } else if (c < 0x20 || c >= 0x7F) {
            char escape[8];
            snprintf(escape, sizeof(escape), "\\u%04x", c);
            quoted += escape;
        } else {
            quoted += (char)c;
        }
    }
    return quoted + "\"";
}

const char *VerdictName(VERDICT verdict)
{
    return verdict == VERDICT_SERVES ? "serves" : verdict == VERDICT_WARNINGS ? "warnings" : "leaves";
}

}  // namespace

void PrintTable(FILE *out, const std::vector<HOST_REPORT> &reports)
{
    size_t cchHost = 4;
    size_t cchWhat = 5;
    for (const HOST_REPORT &report : reports) {
        std::string host = report.host + ":" + std::to_string(report.port);
        cchHost = host.size() > cchHost ? host.size() : cchHost;
        for (const CHECK_LINE &line : report.lines)
            cchWhat = line.what.size() > cchWhat ? line.what.size() : cchWhat;
    }
    fprintf(out, "%-*s  %-*s  %s\n", (int)cchHost, "host", (int)cchWhat, "check", "result");
    for (const HOST_REPORT &report : reports) {
        std::string host = report.host + ":" + std::to_string(report.port);
        for (size_t i = 0; i < report.lines.size(); ++i) {
            const CHECK_LINE &line = report.lines[i];
            fprintf(out, "%-*s  %-*s  %s\n", (int)cchHost, i == 0 ? host.c_str() : "", (int)cchWhat, line.what.c_str(),
                    line.result.c_str());
        }
        for (const std::string &reason : report.reasons)
            fprintf(out, "%-*s  %-*s  - %s\n", (int)cchHost, "", (int)cchWhat, "", reason.c_str());
    }
}

void PrintJson(FILE *out, const std::vector<HOST_REPORT> &reports, const std::string &summary)
{
    fprintf(out, "[");
    for (size_t i = 0; i < reports.size(); ++i) {
        const HOST_REPORT &report = reports[i];
        fprintf(out, "%s\n  {\"host\": %s, \"port\": %d, \"verdict\": \"%s\", \"reasons\": [", i ? "," : "",
                Quoted(report.host).c_str(), report.port, VerdictName(report.verdict));
        for (size_t j = 0; j < report.reasons.size(); ++j)
            fprintf(out, "%s%s", j ? ", " : "", Quoted(report.reasons[j]).c_str());
        fprintf(out, "], \"checks\": [");
        for (size_t j = 0; j < report.lines.size(); ++j)
            fprintf(out, "%s{\"check\": %s, \"result\": %s}", j ? ", " : "", Quoted(report.lines[j].what).c_str(),
                    Quoted(report.lines[j].result).c_str());
        fprintf(out, "], \"seconds\": %.1f, \"timed\": %s}", report.seconds, report.timed ? "true" : "false");
    }
    if (!summary.empty())
        fprintf(out, "%s\n  {\"summary\": %s}", reports.empty() ? "" : ",", Quoted(summary).c_str());
    fprintf(out, "\n]\n");
}
