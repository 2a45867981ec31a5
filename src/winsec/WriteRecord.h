// The record of what -lock took: which ACEs of a path's DACL held the
// write-data right (0x2) just before it was cleared, so that -unlock gives
// it back to exactly those. Pure code over bytes, shared by every platform;
// every function that takes bytes from outside checks them against their
// length, so arbitrary input is safe to hand in.
//
// An ACE is named by its identity: type, flags, the bytes behind its mask
// (its SID, and for object ACEs their GUIDs too) and its occurrence, the
// number of ACEs before it in the DACL with the same type, flags and bytes.
// The mask is left out: it is what lock and unlock change.
//
// A record also names the lock that made it: the configured folder whose
// walk wrote it, by the identity of that folder as opened (its file system
// and handle, not its path), and the time that folder was first locked. An
// unlock gives back only what the lock of its own configured folder took.
//
// Stored form, version 2: one version byte, one state byte (0; anything else
// is malformed), the owner's length (varint, at most kMaxOwnerSize) and
// bytes, the lock time (nanoseconds since 1970, eight bytes, little-endian),
// then one item per ACE, each a head byte and what the head says follows:
//   bits 3-4  0: ACCESS_ALLOWED, flags 0   1: ACCESS_ALLOWED, flags 0x0B
//             2: a type byte and a flags byte follow
//   bit 5     an occurrence follows (varint, at least 1); without it, 0
//   bits 0-2  0: S-1-1-0   1: S-1-3-0   2: S-1-3-1   5: S-1-22-3-0
//             3: S-1-22-1-<varint>   4: S-1-22-2-<varint>
//             6: any other bytes: a varint length, then the bytes
// Varints are little-endian base 128, seven bits a byte. Every identity has
// exactly one encoding: an item that is not the one the encoder writes
// (an unused bit or form, an overlong varint, form 6 for bytes another form
// says) makes the whole record malformed. A POSIX entry costs 1 to 6 bytes.
//   bit 6     the ACE's mask before the lock follows, four bytes little-endian,
//             behind everything else: lock changed more than 0x2 in it (it
//             expanded generic rights), and unlock writes that mask back to
//             the ACE it finds with exactly the mask lock wrote.
//
// Unlock removes a record once the DACL it describes is written: a path
// without a record is left as it is, so a second -unlock changes nothing.
#ifndef TOLVANE_WRITE_RECORD_H
#define TOLVANE_WRITE_RECORD_H

#include "winsec/SecurityTypes.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace winsec {

constexpr BYTE kWriteRecordVersion = 2;
constexpr BYTE kWriteTaken = 0;
constexpr std::size_t kMaxOwnerSize = 255;

// The lock a record belongs to.
struct RecordOwner {
    std::vector<BYTE> folder; // the configured folder's identity
    std::uint64_t lockTime = 0;
};

// An ACE's identity in its stored form; compares equal exactly when the
// identities are equal.
using AceItem = std::string;

// The item of the ACE `ace` (`size` bytes, at least its header and mask),
// the `occurrence`-th with its type, flags and bytes.
AceItem itemOfAce(const BYTE* ace, WORD size, WORD occurrence);

// `item` keeping the mask its ACE had before the lock.
AceItem withMaskBefore(const AceItem& item, ACCESS_MASK mask);
// The identity `item` names, without a mask it keeps; and that mask, with
// true, when it keeps one.
AceItem identityOfItem(const AceItem& item, ACCESS_MASK* maskBefore, bool* keepsMask);

// A record of what the lock of `owner` took: the items of the ACEs that
// held 0x2.
std::vector<BYTE> encodeWriteRecord(const RecordOwner& owner, const std::vector<AceItem>& items);
// False, with its outputs untouched, for a malformed record or another
// version. Null outputs are not filled: with both null it only checks.
bool parseWriteRecord(const BYTE* bytes, std::size_t size, RecordOwner* owner,
                      std::vector<AceItem>* items);

} // namespace winsec

#endif
