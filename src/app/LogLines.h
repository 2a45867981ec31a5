// Lines of the run's log, kept until their turn to be written comes: lines
// made on any thread of a walk are written, and their codes stored, in the
// order one thread would have written them.
#ifndef TOLVANE_APP_LOG_LINES_H
#define TOLVANE_APP_LOG_LINES_H

#include "app/ReturnCode.h"

#include <string>
#include <vector>

class LogLines {
public:
    // Error and Fatal lines store their code once written; Info and Warn
    // lines, the run's own notes, store none.
    enum class Level : char { Info, Warn, Error, Fatal };
    struct Line {
        Level level;
        ReturnCode code;
        std::string text;
    };

    // codedHead(tag, code) + text at error level.
    void error(ReturnCode code, const std::string& tag, const std::string& text);
    // codedHead(tag, -7) + text at fatal level.
    void fatal(const std::string& tag, const std::string& text);
    // A fatal line spelt whole by the caller; stores -7.
    void fatalLine(std::string line);
    // A note of the run's own, spelt whole by the caller.
    void note(Level level, std::string line);

    bool empty() const { return lines.empty(); }
    const std::vector<Line>& all() const { return lines; }

private:
    std::vector<Line> lines;
};

#endif
