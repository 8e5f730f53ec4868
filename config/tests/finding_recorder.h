#pragma once
// Records what the configuration readers find, one "SECTION KEY: problem; what the start does"
// line each, for the tests of the -check findings.

#include <string>
#include <vector>

#include "config/config_findings.h"

namespace tolmark::testing {

struct FindingRecorder : FindingSink {
    void report(const Finding& f) override {
        lines.push_back(f.section + " " + f.key + ": " + f.problem + "; " + f.startDoes);
    }
    std::vector<std::string> lines;
};

}  // namespace tolmark::testing
