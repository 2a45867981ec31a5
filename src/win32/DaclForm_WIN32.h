// What a rewritten DACL keeps of the descriptor it replaces besides its
// ACEs: whether inheritance is cut (SE_DACL_PROTECTED) or the DACL was built
// by automatic inheritance (SE_DACL_AUTO_INHERITED), and the ACL revision.
// Dropping the first would make a folder with inheritance cut inherit again
// after the first lock, and no unlock could give that back.
#ifndef TOLVANE_DACL_FORM_WIN32_H
#define TOLVANE_DACL_FORM_WIN32_H

#include "winsec/SecurityTypes.h"

namespace winsec {

struct DaclForm {
    SECURITY_DESCRIPTOR_CONTROL control = 0; // the two bits above, as read
    BYTE aclRevision = 0;                    // 0: no DACL was read
};

DaclForm daclFormOf(PSECURITY_DESCRIPTOR read);

// Gives `written` (an absolute descriptor whose DACL the caller owns) the
// form read, and trims its ACL's size to the bytes in use, so that a lock
// and an unlock leave the DACL byte for byte as it was. False when the
// descriptor cannot be changed.
bool giveDaclForm(const DaclForm& form, PSECURITY_DESCRIPTOR written);

} // namespace winsec

#endif
