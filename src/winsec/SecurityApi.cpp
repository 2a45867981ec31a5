#include "winsec/SecurityApi.h"

namespace winsec {

namespace {
SecurityApi* overriding = nullptr;
}

SecurityApi& securityApi()
{
    return overriding != nullptr ? *overriding : systemSecurityApi();
}

ScopedSecurityApi::ScopedSecurityApi(SecurityApi& replacement) : previous(overriding)
{
    overriding = &replacement;
}

ScopedSecurityApi::~ScopedSecurityApi()
{
    overriding = previous;
}

} // namespace winsec
