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

// Debian's log4cxx 1.0 is built without a fixed charset: it decodes a
// message, and an appender without an Encoding encodes each line, through
// the C library's multibyte conversion of the process locale. A program that
// never calls setlocale runs in the C locale, whatever LANG says, and there
// every character beyond ASCII came out as '?'. The facade hands messages
// over already decoded from UTF-8; this makes the appenders' conversion
// UTF-8 too, whatever the locale the run started in. The entry point calls
// it before anything else.
void useUtf8Characters();

#endif
