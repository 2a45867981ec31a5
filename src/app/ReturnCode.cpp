#include "app/ReturnCode.h"

std::string taggedHead(const std::string& tag)
{
    return "[" + tag + "]: " + tag;
}

std::string codedHead(const std::string& tag, ReturnCode code)
{
    return taggedHead(tag) + " :: ReturnCode = " + std::to_string(static_cast<std::int32_t>(code)) +
           " : ";
}
