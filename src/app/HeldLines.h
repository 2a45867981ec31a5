// Log lines of one step of a walk, held until every line that a one-thread
// walk would have logged before them is written: the log, the stored code and
// the exit status are then those of one thread, whatever ran where.
#ifndef TOLVANE_HELD_LINES_H
#define TOLVANE_HELD_LINES_H

#include "app/ReturnCode.h"

#include <string>
#include <vector>

class HeldLines {
public:
    enum class Level : char {
        Error,
        Fatal,
        // Not written: the path of an entry -unlock left as it was for want
        // of a record although it looks locked, counted by the manager.
        UnrecordedLocked,
    };
    struct Line {
        Level level;
        ReturnCode code; // stored once the line is written (not UnrecordedLocked)
        std::string text;
    };

    // codedHead(tag, code) + text at error level.
    void error(ReturnCode code, const std::string& tag, const std::string& text);
    void unrecordedLocked(const std::string& path);
    // codedHead(tag, -7) + text at fatal level.
    void fatal(const std::string& tag, const std::string& text);
    // A fatal line spelt whole by the caller; stores -7.
    void fatalLine(std::string line);

    bool empty() const { return lines.empty(); }
    const std::vector<Line>& all() const { return lines; }
    void clear() { lines.clear(); }

private:
    std::vector<Line> lines;
};

#endif
