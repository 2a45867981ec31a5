#include "app/HeldLines.h"

void HeldLines::error(ReturnCode code, const std::string& tag, const std::string& text)
{
    lines.push_back(Line{Level::Error, code, codedHead(tag, code) + text});
}

void HeldLines::unrecordedLocked(const std::string& path)
{
    lines.push_back(Line{Level::UnrecordedLocked, ReturnCode::Success, path});
}

void HeldLines::fatal(const std::string& tag, const std::string& text)
{
    fatalLine(codedHead(tag, ReturnCode::Exception) + text);
}

void HeldLines::fatalLine(std::string line)
{
    lines.push_back(Line{Level::Fatal, ReturnCode::Exception, std::move(line)});
}
