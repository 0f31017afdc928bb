// The hosts' reports, as an aligned table for people or as JSON for CI.
#pragma once

#include <stdio.h>

#include <string>
#include <vector>

#include "HostCheck.h"

void PrintTable(FILE *out, const std::vector<HOST_REPORT> &reports);

// [{"host", "port", "verdict": "serves"|"warnings"|"leaves", "reasons": [...], "checks": [...],
//   "seconds", "timed"}], and the summary as a last element {"summary": ...} where one is given.
void PrintJson(FILE *out, const std::vector<HOST_REPORT> &reports, const std::string &summary);
