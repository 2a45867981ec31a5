#include "app/RunSettings.h"

#include <cstdlib>
#include <unistd.h>

std::string stateFolderOfEnvironment()
{
    if (const char* systemd = std::getenv("STATE_DIRECTORY"); systemd != nullptr && *systemd) {
        const std::string list = systemd;
        return list.substr(0, list.find(':'));
    }
    if (geteuid() == 0)
        return "/var/lib/tolvane";
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg != nullptr && *xdg == '/')
        return std::string(xdg) + "/tolvane";
    const char* home = std::getenv("HOME");
    return home != nullptr && *home == '/' ? std::string(home) + "/.local/state/tolvane" : "";
}

bool runsPrivileged()
{
    return geteuid() == 0;
}
