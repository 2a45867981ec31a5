#include "app/RunSettings.h"

// Records on Windows live in the registry, not in a folder.
std::string stateFolderOfEnvironment()
{
    return "";
}
