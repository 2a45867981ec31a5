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
    // Error and Fatal lines fail the run; Info and Warn lines only tell.
    enum class Level : char { Error, Fatal, Info, Warn };
    struct Line {
        Level level;
        ReturnCode code; // stored once an Error or Fatal line is written
        std::string text;
    };

    // codedHead(tag, code) + text at error level.
    void error(ReturnCode code, const std::string& tag, const std::string& text);
    // codedHead(tag, -7) + text at fatal level.
    void fatal(const std::string& tag, const std::string& text);
    // A fatal line spelt whole by the caller; stores -7.
    void fatalLine(std::string line);
    // Lines spelt whole by the caller that store no code.
    void info(std::string line);
    void warn(std::string line);

    bool empty() const { return lines.empty(); }
    const std::vector<Line>& all() const { return lines; }

private:
    std::vector<Line> lines;
};

#endif
