// The byte layout of ACEs and SIDs, and the well-known SIDs this program
// spells itself: one place for each, for every part that builds or reads them.
#ifndef TOLVANE_WINSEC_ACE_LAYOUT_H
#define TOLVANE_WINSEC_ACE_LAYOUT_H

#include "winsec/SecurityTypes.h"

#include <cstddef>

namespace winsec {

// Type, flags and size; every ACE type starts with it.
constexpr std::size_t kAceHeaderSize = sizeof(ACE_HEADER);
// The header and the access mask right behind it, where the SID begins in
// every ACE type this program writes.
constexpr WORD kAceWithMaskSize = static_cast<WORD>(kAceHeaderSize + sizeof(ACCESS_MASK));
// Revision, sub-authority count and the six bytes of the authority; each
// sub-authority adds four.
constexpr std::size_t kSidFixedSize = 8;

// The SIDs with one sub-authority this program names, in their bytes.
constexpr std::size_t kWellKnownSidSize = kSidFixedSize + 4;
constexpr BYTE kEveryoneSid[kWellKnownSidSize] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};      // S-1-1-0
constexpr BYTE kCreatorOwnerSid[kWellKnownSidSize] = {1, 1, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0}; // S-1-3-0
constexpr BYTE kCreatorGroupSid[kWellKnownSidSize] = {1, 1, 0, 0, 0, 0, 0, 3, 1, 0, 0, 0}; // S-1-3-1

} // namespace winsec

#endif
