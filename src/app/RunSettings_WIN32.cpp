#include "app/RunSettings.h"

// Records on Windows live in the registry, not in a folder.
std::string stateFolderOfEnvironment()
{
    return "";
}

// A run on Windows is not told that it lacks the administrator's rights.
bool runsPrivileged()
{
    return true;
}
