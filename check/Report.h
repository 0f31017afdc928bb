// The hosts' reports, as an aligned table for people or as JSON for CI.
#pragma once

#include <stdio.h>

#include <vector>

#include "HostCheck.h"

void PrintTable(FILE *out, const std::vector<HOST_REPORT> &reports);

// [{"host", "port", "verdict": "serves"|"warnings"|"leaves", "reasons": [...], "checks": [...]}]
void PrintJson(FILE *out, const std::vector<HOST_REPORT> &reports);
