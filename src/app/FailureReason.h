// The line that says why a failure happened, after the failure's own lines.
#ifndef TOLVANE_APP_FAILURE_REASON_H
#define TOLVANE_APP_FAILURE_REASON_H

#include <string>
#include <vector>

// taggedHead(tag) + " :: Reason: " + the system's words for each error of
// `errors`, each once, + ", for " + path; empty when none is known (0 is
// none).
std::string reasonLine(const char* tag, const std::vector<int>& errors, const std::string& path);

#endif
