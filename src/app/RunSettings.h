// What a run takes from its surroundings besides its two files, read once by
// the entry point and handed down.
#ifndef TOLVANE_APP_RUN_SETTINGS_H
#define TOLVANE_APP_RUN_SETTINGS_H

#include <string>

struct RunSettings {
    // The current directory as a prefix of a file name (".\" on Windows,
    // "./" elsewhere).
    std::string currentDirectory;
    // The threads a walk runs on: TOLVANE_THREADS when it holds a number
    // from 1 up (at most 256), else one per online processor.
    unsigned threads = 1;
    // The walk opens and closes entries a window at a time where the
    // machine lets it (io_uring), unless TOLVANE_IO_URING is 0.
    bool openAhead = true;
    // Where records that no file can keep go (the POSIX record store):
    // $STATE_DIRECTORY (systemd's StateDirectory=), else /var/lib/tolvane for
    // root, else $XDG_STATE_HOME/tolvane or ~/.local/state/tolvane; empty
    // where there is no such place.
    std::string stateFolder;
    // Runs with the administrator's rights (root), which every entry of a
    // tree may need.
    bool privileged = true;
};

RunSettings readRunSettings(const std::string& currentDirectory);

// The state folder as the platform finds it, and whether the run is the
// administrator's; defined once per platform.
std::string stateFolderOfEnvironment();
bool runsPrivileged();

#endif
