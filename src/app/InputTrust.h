// Whether a file the run takes its orders from, or writes its trail to, is
// one that only the administrator controls, the way cron, logrotate and sudo
// refuse files that others could have written. Defined once per platform.
#ifndef TOLVANE_INPUT_TRUST_H
#define TOLVANE_INPUT_TRUST_H

#include <string>

// Empty when only the administrator controls `path` (an existing file, or
// when `mayBeMissing` a file that may not exist yet, then its folder); else
// why not, for the log line.
std::string whyUntrusted(const std::string& path, bool mayBeMissing);

// Whether this run has the administrator's rights (root; on Windows elevated).
bool runsAsAdministrator();

#endif
