#include "FaultInjectingSecurityApi.h"

#include <stdexcept>
#include <string>

namespace testsupport {

using namespace winsec;

namespace {

constexpr BOOL kFailed = 0;

std::size_t indexOf(SecurityOperation operation)
{
    return static_cast<std::size_t>(operation);
}

} // namespace

FaultInjectingSecurityApi::FaultInjectingSecurityApi(SecurityApi& real) : real(real) {}

FaultInjectingSecurityApi::~FaultInjectingSecurityApi()
{
    for (HLOCAL block : live)
        real.localFree(block);
}

void FaultInjectingSecurityApi::inject(SecurityOperation operation, unsigned callNumber,
                                       Fault fault)
{
    rules.push_back(Rule{operation, callNumber, fault});
}

unsigned FaultInjectingSecurityApi::callCount(SecurityOperation operation) const
{
    return calls[indexOf(operation)];
}

bool FaultInjectingSecurityApi::breaks(SecurityOperation operation)
{
    const unsigned number = ++calls[indexOf(operation)];
    for (const Rule& rule : rules) {
        if (rule.operation != operation || rule.callNumber != number)
            continue;
        if (rule.fault == Fault::ThrowStdException)
            throw std::runtime_error("injected failure of call " + std::to_string(number));
        if (rule.fault == Fault::ThrowNonStandard)
            throw static_cast<int>(number);
        return true;
    }
    return false;
}

DWORD FaultInjectingSecurityApi::getNamedSecurityInfo(const winsec::ObjectName& path,
                                                      SE_OBJECT_TYPE objectType,
                                                      SECURITY_INFORMATION info, PSID* owner,
                                                      PSID* group, PACL* dacl, PACL* sacl,
                                                      PSECURITY_DESCRIPTOR* descriptor)
{
    if (breaks(SecurityOperation::GetNamedSecurityInfo))
        return kInjectedError;
    const DWORD result =
        real.getNamedSecurityInfo(path, objectType, info, owner, group, dacl, sacl, descriptor);
    if (result == kErrorSuccess && descriptor != nullptr)
        live.insert(*descriptor);
    return result;
}

HLOCAL FaultInjectingSecurityApi::localAlloc(UINT flags, SIZE_T bytes)
{
    if (breaks(SecurityOperation::LocalAlloc))
        return nullptr;
    HLOCAL block = real.localAlloc(flags, bytes);
    if (block != nullptr)
        live.insert(block);
    return block;
}

BOOL FaultInjectingSecurityApi::initializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor,
                                                             DWORD revision)
{
    if (breaks(SecurityOperation::InitializeSecurityDescriptor))
        return kFailed;
    return real.initializeSecurityDescriptor(descriptor, revision);
}

BOOL FaultInjectingSecurityApi::getSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor,
                                                          LPBOOL present, PACL* dacl,
                                                          LPBOOL defaulted)
{
    if (breaks(SecurityOperation::GetSecurityDescriptorDacl))
        return kFailed;
    return real.getSecurityDescriptorDacl(descriptor, present, dacl, defaulted);
}

BOOL FaultInjectingSecurityApi::getAclInformation(PACL acl, LPVOID information, DWORD length,
                                                  ACL_INFORMATION_CLASS informationClass)
{
    if (breaks(SecurityOperation::GetAclInformation))
        return kFailed;
    return real.getAclInformation(acl, information, length, informationClass);
}

DWORD FaultInjectingSecurityApi::getLengthSid(PSID sid)
{
    if (breaks(SecurityOperation::GetLengthSid))
        return 0;
    return real.getLengthSid(sid);
}

BOOL FaultInjectingSecurityApi::initializeAcl(PACL acl, DWORD length, DWORD revision)
{
    if (breaks(SecurityOperation::InitializeAcl))
        return kFailed;
    return real.initializeAcl(acl, length, revision);
}

BOOL FaultInjectingSecurityApi::getAce(PACL acl, DWORD index, LPVOID* ace)
{
    if (breaks(SecurityOperation::GetAce))
        return kFailed;
    return real.getAce(acl, index, ace);
}

BOOL FaultInjectingSecurityApi::addAce(PACL acl, DWORD revision, DWORD startIndex,
                                       LPVOID aceList, DWORD length)
{
    if (breaks(SecurityOperation::AddAce))
        return kFailed;
    return real.addAce(acl, revision, startIndex, aceList, length);
}

BOOL FaultInjectingSecurityApi::setSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor,
                                                          BOOL present, PACL dacl,
                                                          BOOL defaulted)
{
    if (breaks(SecurityOperation::SetSecurityDescriptorDacl))
        return kFailed;
    return real.setSecurityDescriptorDacl(descriptor, present, dacl, defaulted);
}

BOOL FaultInjectingSecurityApi::setFileSecurity(const winsec::ObjectName& path,
                                                SECURITY_INFORMATION info,
                                                PSECURITY_DESCRIPTOR descriptor)
{
    if (breaks(SecurityOperation::SetFileSecurity))
        return kFailed;
    return real.setFileSecurity(path, info, descriptor);
}

HLOCAL FaultInjectingSecurityApi::localFree(HLOCAL memory)
{
    if (breaks(SecurityOperation::LocalFree))
        return memory;
    if (memory == nullptr)
        return real.localFree(memory);
    if (live.erase(memory) == 0) {
        ++strays;
        return memory;
    }
    return real.localFree(memory);
}

DWORD FaultInjectingSecurityApi::storeWriteRecord(const winsec::ObjectName& path,
                                                  const std::vector<BYTE>& record)
{
    if (breaks(SecurityOperation::StoreWriteRecord))
        return kInjectedError;
    return real.storeWriteRecord(path, record);
}

DWORD FaultInjectingSecurityApi::readWriteRecord(const winsec::ObjectName& path,
                                                 std::vector<BYTE>* record)
{
    if (breaks(SecurityOperation::ReadWriteRecord))
        return kInjectedError;
    return real.readWriteRecord(path, record);
}

DWORD FaultInjectingSecurityApi::removeWriteRecord(const winsec::ObjectName& path)
{
    if (breaks(SecurityOperation::RemoveWriteRecord))
        return kInjectedError;
    return real.removeWriteRecord(path);
}

} // namespace testsupport
