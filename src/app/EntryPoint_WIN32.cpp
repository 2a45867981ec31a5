#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "app/Run.h"

// The command line arrives without the program name; the rest of it, blanks
// and quotes included, is the argument string.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int)
{
    useUtf8Characters();
    return runTolvane(std::string(commandLine != nullptr ? commandLine : ""),
                      readRunSettings(".\\"));
}
