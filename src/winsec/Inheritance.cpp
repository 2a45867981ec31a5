#include "winsec/Inheritance.h"

#include "winsec/WireConstants.h"

#include <cstring>
#include <string_view>

namespace winsec {

namespace {

constexpr BYTE kInheritable = kObjectInheritAce | kContainerInheritAce;

struct AceView {
    std::size_t offset; // of the ACE in its ACL
    BYTE type;
    BYTE flags;
    ACCESS_MASK mask;
    std::string_view sid; // the bytes behind the mask
};

// The ACEs of an ACL block, or false for a malformed one.
bool acesOf(const std::vector<BYTE>& acl, std::vector<AceView>* aces)
{
    if (acl.size() < sizeof(ACL))
        return false;
    ACL header;
    std::memcpy(&header, acl.data(), sizeof header);
    std::size_t at = sizeof(ACL);
    for (WORD index = 0; index < header.AceCount; ++index) {
        if (at + kAceWithMaskSize > acl.size())
            return false;
        ACE_HEADER ace;
        std::memcpy(&ace, acl.data() + at, sizeof ace);
        if (ace.AceSize < kAceWithMaskSize || at + ace.AceSize > acl.size())
            return false;
        ACCESS_MASK mask;
        std::memcpy(&mask, acl.data() + at + kAceHeaderSize, sizeof mask);
        const auto* sid = reinterpret_cast<const char*>(acl.data() + at + kAceWithMaskSize);
        aces->push_back(AceView{at, ace.AceType, ace.AceFlags, mask,
                                std::string_view(sid, ace.AceSize - kAceWithMaskSize)});
        at += ace.AceSize;
    }
    return true;
}

bool namesCreator(const AceView& ace)
{
    const auto is = [&](const BYTE* sid) {
        return ace.sid.size() >= kWellKnownSidSize &&
               std::memcmp(ace.sid.data(), sid, kWellKnownSidSize) == 0;
    };
    return is(kCreatorOwnerSid) || is(kCreatorGroupSid);
}

// The inheritable ACE of `locked` a child's inherited ACE came from.
const AceView* sourceOf(const AceView& inherited, const std::vector<AceView>& locked)
{
    for (const AceView& ace : locked)
        if ((ace.flags & kInheritable) != 0 && ace.type == inherited.type &&
            ace.sid == inherited.sid && ace.mask == inherited.mask)
            return &ace;
    return nullptr;
}

} // namespace

bool inheritRestoredMasks(const std::vector<BYTE>& locked, const std::vector<BYTE>& restored,
                          std::vector<BYTE>* child)
{
    std::vector<AceView> lockedAces;
    std::vector<AceView> restoredAces;
    std::vector<AceView> childAces;
    if (!acesOf(locked, &lockedAces) || !acesOf(restored, &restoredAces) ||
        !acesOf(*child, &childAces) || lockedAces.size() != restoredAces.size() ||
        childAces.empty())
        return false;
    std::vector<BYTE> given = *child;
    for (const AceView& ace : childAces) {
        const AceView* source = sourceOf(ace, lockedAces);
        if ((ace.flags & kInheritedAce) == 0 || namesCreator(ace) || source == nullptr)
            return false;
        const AceView& back = restoredAces[static_cast<std::size_t>(source - lockedAces.data())];
        if (back.type != source->type || back.sid != source->sid)
            return false;
        std::memcpy(given.data() + ace.offset + kAceHeaderSize, &back.mask, sizeof back.mask);
    }
    child->swap(given);
    return true;
}

} // namespace winsec
