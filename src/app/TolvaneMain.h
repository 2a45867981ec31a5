// The whole run of the program, shared by the entry point of every platform.
#ifndef TOLVANE_TOLVANE_MAIN_H
#define TOLVANE_TOLVANE_MAIN_H

#include <optional>
#include <string>

// `argument` is the argument string, or nothing when the platform saw a
// number of arguments other than one. `currentDirectory` is the current
// directory as a prefix of a file name (".\" on Windows, "./" elsewhere).
// Returns the exit status.
int runTolvane(const std::optional<std::string>& argument, const std::string& currentDirectory);

#endif
