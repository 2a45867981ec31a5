#include "C_TolvaneManager.h"

#include "DaclRewrite.h"

#include <exception>

bool C_TolvaneManager::lockWritingPermission(const std::string& path)
{
    return rewriteWritePermission(path, "C_TolvaneManager::lockWritingPermission", winsec::lockRule);
}

bool C_TolvaneManager::unlockWritingPermission(const std::string& path)
{
    return rewriteWritePermission(path, "C_TolvaneManager::unlockWritingPermission",
                                  winsec::unlockRule);
}

bool C_TolvaneManager::rewriteWritePermission(const std::string& path, const std::string& tag,
                                              const winsec::AceRule& rule)
{
    try {
        winsec::DaclRewrite rewrite(path, rule, [&](const char* text) {
            failWith(-4, messagePrefix(tag) + text + path);
        });
        return rewrite.run();
    } catch (const std::exception& e) {
        fatalWith(messagePrefix(tag) + " :: ReturnCode = -7 : STD Exception " + e.what());
    } catch (...) {
        fatalWith(messagePrefix(tag) + " :: ReturnCode = -7 : Exception Uknown Error");
    }
    return false;
}
