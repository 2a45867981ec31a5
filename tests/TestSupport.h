// Shared fixtures for tests that work on real files, real ACLs and the real
// program.
#ifndef TOLVANE_TEST_SUPPORT_H
#define TOLVANE_TEST_SUPPORT_H

#include <string>
#include <vector>

namespace testsupport {

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return root; }
    // root + "/" + relative
    std::string operator/(const std::string& relative) const;

private:
    std::string root;
};

// Changes the current directory until it goes out of scope.
class ScopedCurrentDirectory {
public:
    explicit ScopedCurrentDirectory(const std::string& directory);
    ~ScopedCurrentDirectory();

private:
    std::string previous;
};

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
void makeDirectories(const std::string& path);

// Runs `command` through /bin/sh; returns its standard output. The exit
// status (as the shell reports it: 0..255, or 128+signal) goes to *status.
std::string run(const std::string& command, int* status = nullptr);
// Single-quotes a string for /bin/sh.
std::string shellQuote(const std::string& text);

// `getfacl -cp` of one path: the entries without the comment header.
std::string getfacl(const std::string& path);
// Runs setfacl with the given arguments on one path; fails the test on error.
void setfacl(const std::string& arguments, const std::string& path);

// True if uid/gid 65534 can open `path` for writing (files) or create an
// entry in it (directories).
bool nobodyCanWrite(const std::string& path);

// A LogTolvane.xml in `directory` that writes "%p %m%n" to `logFile`, at
// `threshold` (DEBUG, ERROR, ...).
void writeLogConfig(const std::string& directory, const std::string& logFile,
                    const std::string& threshold = "DEBUG");

// Lines of a text file, without their line ends.
std::vector<std::string> readLines(const std::string& path);

} // namespace testsupport

#endif
