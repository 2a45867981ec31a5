#include "app/LogLines.h"

void LogLines::error(ReturnCode code, const std::string& tag, const std::string& text)
{
    lines.push_back(Line{Level::Error, code, codedHead(tag, code) + text});
}

void LogLines::fatal(const std::string& tag, const std::string& text)
{
    fatalLine(codedHead(tag, ReturnCode::Exception) + text);
}

void LogLines::fatalLine(std::string line)
{
    lines.push_back(Line{Level::Fatal, ReturnCode::Exception, std::move(line)});
}

void LogLines::info(std::string line)
{
    lines.push_back(Line{Level::Info, ReturnCode::Success, std::move(line)});
}

void LogLines::warn(std::string line)
{
    lines.push_back(Line{Level::Warn, ReturnCode::Success, std::move(line)});
}
