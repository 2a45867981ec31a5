#include "win32/DaclForm_WIN32.h"

namespace winsec {

namespace {

constexpr SECURITY_DESCRIPTOR_CONTROL kFormBits = SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED;

} // namespace

DaclForm daclFormOf(PSECURITY_DESCRIPTOR read)
{
    DaclForm form;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (read == nullptr || !GetSecurityDescriptorControl(read, &control, &revision) ||
        !GetSecurityDescriptorDacl(read, &present, &dacl, &defaulted))
        return form;
    form.control = control & kFormBits;
    form.aclRevision = present && dacl != nullptr ? dacl->AclRevision : 0;
    return form;
}

bool giveDaclForm(const DaclForm& form, PSECURITY_DESCRIPTOR written)
{
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!SetSecurityDescriptorControl(written, kFormBits, form.control) ||
        !GetSecurityDescriptorDacl(written, &present, &dacl, &defaulted))
        return false;
    if (!present || dacl == nullptr)
        return true;
    ACL_SIZE_INFORMATION size{};
    if (!GetAclInformation(dacl, &size, sizeof size, AclSizeInformation))
        return false;
    if (form.aclRevision >= ACL_REVISION && form.aclRevision <= ACL_REVISION_DS)
        dacl->AclRevision = form.aclRevision;
    dacl->AclSize = static_cast<WORD>(size.AclBytesInUse);
    return true;
}

} // namespace winsec
