// What an entry made in a locked folder is given at unlock, in DACL terms:
// where every ACE of its DACL was inherited, each from an inheritable ACE of
// its folder's DACL as the lock left it (same type and SID, same mask), it
// gets the mask of the same ACE of the folder's DACL as the unlock restored
// it, as the system's own propagation would have given it. Pure code over
// bytes; every ACL is checked against its length.
#ifndef TOLVANE_WINSEC_INHERITANCE_H
#define TOLVANE_WINSEC_INHERITANCE_H

#include "winsec/SecurityTypes.h"

#include <vector>

namespace winsec {

// `child` with its masks taken from `restored`; false, `child` untouched,
// when an ACE of `child` is not inherited or matches no inheritable ACE of
// `locked`, when `locked` and `restored` do not pair ACE by ACE, or when an
// ACE names CREATOR OWNER or CREATOR GROUP (whose inherited form is another
// SID).
bool inheritRestoredMasks(const std::vector<BYTE>& locked, const std::vector<BYTE>& restored,
                          std::vector<BYTE>* child);

} // namespace winsec

#endif
