// The whole run of the program, shared by the entry point of every platform:
// it owns everything a run needs (the guard, the log, the folder list, the
// security operations) and hands each part to what uses it.
#ifndef TOLVANE_APP_RUN_H
#define TOLVANE_APP_RUN_H

#include "app/RunSettings.h"

#include <optional>
#include <string>

// `argument` is the argument string, or nothing when the platform saw a
// number of arguments other than one. Returns the exit status.
int runTolvane(const std::optional<std::string>& argument, const RunSettings& settings);

#endif
