#include "app/ReturnCode.h"
#include "app/Run.h"

#include <cstdio>
#include <cstring>
#include <sys/resource.h>

namespace {

constexpr char kUsageLine[] = "Usage: tolvane -lock | -unlock | -status (tolvane --help says more)\n";
constexpr char kUsage[] =
    "Usage: tolvane -lock | -unlock | -status\n"
    "       tolvane --help | --version\n"
    "\n"
    "  -lock     take the right to write data away from each folder listed in\n"
    "            Tolvane.ini and from every folder and file below it, recording\n"
    "            with each entry what was taken\n"
    "  -unlock   give back exactly what -lock recorded; entries without a record\n"
    "            are left as they are\n"
    "  -status   change nothing; print one line per listed folder, fields\n"
    "            separated by tabs: state (locked, unlocked, partly, missing),\n"
    "            entries, with a record, without a record and without write,\n"
    "            without a record and with write, unreadable, the folder\n"
    "\n"
    "Tolvane.ini (the folders) and LogTolvane.xml (the log set-up) are read from\n"
    "the current directory (/etc/tolvane for the packaged units); every line goes\n"
    "to the log, none to the terminal. Run it as root.\n"
    "\n"
    "Exit status: 1 nothing failed; 255 wrong argument; 254 no folder to work on\n"
    "(Tolvane.ini missing, NB_FOLDER wrong) or an input not root's alone;\n"
    "253 a configured folder or a FOLDER_n key is missing; 252 an ACL could not\n"
    "be read or written, or a record not kept; 250 another instance is running;\n"
    "249 a folder could not be listed, or an unexpected error; 0 --help, --version.\n"
    "See tolvane(8).\n";

// The walk keeps a folder open for every sub-folder waiting its turn; the
// soft limit on descriptors (often 1024) would otherwise end a wide or deep
// walk long before the path-length limit does.
void raiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// --help and --version answer on the terminal alone: no log, no guard, no
// file read.
bool answersTerminal(int argc, char* argv[])
{
    if (argc != 2)
        return false;
    if (std::strcmp(argv[1], "--help") == 0)
        std::fputs(kUsage, stdout);
    else if (std::strcmp(argv[1], "--version") == 0)
        std::fputs("tolvane " TOLVANE_VERSION "\n", stdout);
    else
        return false;
    return true;
}

} // namespace

// The argument vector stands in for a command line: exactly one argument,
// compared byte for byte.
int main(int argc, char* argv[])
{
    if (answersTerminal(argc, argv))
        return 0;
    raiseDescriptorLimit();
    useUtf8Characters();
    const RunSettings settings = readRunSettings("./");
    const int status = argc == 2 ? runTolvane(std::string(argv[1]), settings)
                                 : runTolvane(std::nullopt, settings);
    if (status == static_cast<int>(ReturnCode::WrongArgument))
        std::fputs(kUsageLine, stderr);
    return status;
}
