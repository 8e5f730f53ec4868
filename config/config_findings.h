#pragma once
// What the loaders of the configuration find wrong while they read it, told to whoever listens
// ("Velkora -check"). The loaders go on as the start always does (a default for a value that
// does not read, a line left out); a finding says what was wrong and what the start does
// instead. Nobody listens during a normal start, which pays nothing for it.

#include <string>

namespace tolmark {

enum class FindingLevel { Warning, Error };

struct Finding {
    FindingLevel level = FindingLevel::Warning;
    std::string file;       // the file the finding is in
    unsigned line = 0;      // counted from 1; 0: not known (the section and key say where)
    std::string section;    // may be empty
    std::string key;        // may be empty
    std::string problem;    // what is wrong
    std::string startDoes;  // what the start does with it
};

class FindingSink {
public:
    virtual ~FindingSink() = default;
    virtual void report(const Finding& finding) = 0;
};

}  // namespace tolmark
