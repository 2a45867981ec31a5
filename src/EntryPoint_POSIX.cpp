#include "TolvaneMain.h"

// The argument vector stands in for a command line: exactly one argument,
// compared byte for byte.
int main(int argc, char* argv[])
{
    if (argc != 2)
        return runTolvane(std::nullopt, "./");
    return runTolvane(std::string(argv[1]), "./");
}
