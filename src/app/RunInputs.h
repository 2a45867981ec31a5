// What a run reads its orders from and writes its trail to: the working
// directory, Tolvane.ini, LogTolvane.xml and every file an appender of it
// writes. Run by the administrator, none of them may be anyone else's: a
// user who could write one could point the run at any tree or make it write
// any file. A LogTolvane.xml that cannot be read whole names no file for
// sure, and is refused as well.
#ifndef TOLVANE_RUN_INPUTS_H
#define TOLVANE_RUN_INPUTS_H

#include <optional>
#include <string>

struct InputRefusal {
    std::string reason;
    // Whether the logging set-up is the administrator's and may say it.
    bool logTrusted;
};

// Nothing when the run may start: it is not the administrator's, or all its
// inputs are. `directory` is the current directory as a file name prefix.
std::optional<InputRefusal> refusedInputs(const std::string& directory);

#endif
