// The lock and unlock rules on DACLs that a POSIX file system cannot hold
// (deny entries, inherited entries, generic rights, no DACL at all): the
// descriptor read is crafted, the write is captured, and everything between
// runs on the real in-memory operations.
#include "posixacl/AclMemory.h"
#include "NamedEntry.h"
#include "RunFixture.h"
#include "winsec/Inheritance.h"
#include "winsec/SecurityApi.h"

#include <gmock/gmock.h>

#include <cstring>

using namespace winsec;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

typedef std::vector<BYTE> Bytes;

// S-1-5-21-1-2-3-1001: 5 sub-authorities, 28 bytes.
const Bytes ownerSid = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 1, 0, 0, 0,
                        2, 0, 0, 0, 3, 0, 0, 0, 0xE9, 3, 0, 0};
const Bytes everyoneSid = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
const DWORD kOwnerLength = 28;

void appendDword(Bytes& bytes, DWORD value)
{
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<BYTE>(value >> shift));
}

DWORD dwordAt(const Bytes& bytes, std::size_t offset)
{
    DWORD value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

Bytes ace(BYTE type, BYTE flags, DWORD mask, const Bytes& sid = everyoneSid)
{
    Bytes bytes = {type, flags, static_cast<BYTE>(8 + sid.size()), 0};
    appendDword(bytes, mask);
    bytes.insert(bytes.end(), sid.begin(), sid.end());
    return bytes;
}

Bytes acl(const std::vector<Bytes>& aces)
{
    Bytes bytes(8, 0);
    for (const Bytes& entry : aces)
        bytes.insert(bytes.end(), entry.begin(), entry.end());
    bytes[0] = 2;
    bytes[2] = static_cast<BYTE>(bytes.size());
    bytes[3] = static_cast<BYTE>(bytes.size() >> 8);
    bytes[4] = static_cast<BYTE>(aces.size());
    return bytes;
}

std::vector<DWORD> masksOf(const Bytes& dacl)
{
    std::vector<DWORD> masks;
    std::size_t offset = 8;
    for (BYTE index = 0; index < dacl.at(4); ++index, offset += dacl.at(offset + 2))
        masks.push_back(dwordAt(dacl, offset + 4));
    return masks;
}

// Hands out one crafted descriptor and records what would be written.
class CraftedSecurity : public SecurityApi {
public:
    // `dacl` null: no DACL at all; `nullDacl`: a DACL marked present but null.
    CraftedSecurity(const Bytes* dacl, bool nullDacl = false) : hasDacl(dacl != nullptr)
    {
        if (hasDacl)
            daclBytes = *dacl;
        control = kSeSelfRelative | (hasDacl || nullDacl ? kSeDaclPresent : 0);
    }

    DWORD getNamedSecurityInfo(const winsec::ObjectName&, SE_OBJECT_TYPE, SECURITY_INFORMATION,
                               PSID* owner, PSID*, PACL* dacl, PACL*,
                               PSECURITY_DESCRIPTOR* descriptor) override
    {
        Bytes block(20, 0);
        block[0] = 1;
        std::memcpy(&block[2], &control, 2);
        block[4] = 20;
        block.insert(block.end(), ownerSid.begin(), ownerSid.end());
        if (hasDacl) {
            block[16] = static_cast<BYTE>(block.size());
            block.insert(block.end(), daclBytes.begin(), daclBytes.end());
        }
        BYTE* copy = static_cast<BYTE*>(aclmemory::allocate(kLptr, block.size()));
        std::memcpy(copy, block.data(), block.size());
        *descriptor = copy;
        *owner = copy + 20;
        *dacl = hasDacl ? reinterpret_cast<PACL>(copy + block[16]) : nullptr;
        return kErrorSuccess;
    }
    HLOCAL localAlloc(UINT flags, SIZE_T bytes) override { return aclmemory::allocate(flags, bytes); }
    BOOL initializeSecurityDescriptor(PSECURITY_DESCRIPTOR d, DWORD revision) override
    {
        return aclmemory::initializeSecurityDescriptor(d, revision);
    }
    BOOL getSecurityDescriptorDacl(PSECURITY_DESCRIPTOR d, LPBOOL present, PACL* dacl,
                                   LPBOOL defaulted) override
    {
        return aclmemory::getSecurityDescriptorDacl(d, present, dacl, defaulted);
    }
    BOOL getAclInformation(PACL acl, LPVOID info, DWORD length, ACL_INFORMATION_CLASS c) override
    {
        return aclmemory::getAclInformation(acl, info, length, c);
    }
    DWORD getLengthSid(PSID sid) override { return aclmemory::getLengthSid(sid); }
    BOOL initializeAcl(PACL acl, DWORD length, DWORD revision) override
    {
        return aclmemory::initializeAcl(acl, length, revision);
    }
    BOOL getAce(PACL acl, DWORD index, LPVOID* ace) override
    {
        return aclmemory::getAce(acl, index, ace);
    }
    BOOL addAce(PACL acl, DWORD revision, DWORD start, LPVOID aces, DWORD length) override
    {
        return aclmemory::addAce(acl, revision, start, aces, length);
    }
    BOOL setSecurityDescriptorDacl(PSECURITY_DESCRIPTOR d, BOOL present, PACL dacl,
                                   BOOL defaulted) override
    {
        return aclmemory::setSecurityDescriptorDacl(d, present, dacl, defaulted);
    }
    BOOL setFileSecurity(const winsec::ObjectName&, SECURITY_INFORMATION info,
                         PSECURITY_DESCRIPTOR descriptor) override
    {
        aclmemory::DescriptorParts parts;
        if (info != kDaclSecurityInformation || !aclmemory::readDescriptorParts(descriptor, &parts))
            return 0;
        const BYTE* dacl = reinterpret_cast<const BYTE*>(parts.dacl);
        written.assign(dacl, dacl + parts.dacl->AclSize);
        ++writes;
        return 1;
    }
    HLOCAL localFree(HLOCAL memory) override { return aclmemory::release(memory); }
    DWORD storeWriteRecord(const winsec::ObjectName&, const Bytes& stored) override
    {
        record = stored;
        hasRecord = true;
        return kErrorSuccess;
    }
    DWORD readWriteRecord(const winsec::ObjectName&, Bytes* read) override
    {
        *read = record;
        return hasRecord ? kErrorSuccess : kErrorNoWriteRecord;
    }
    DWORD removeWriteRecord(const winsec::ObjectName&) override
    {
        hasRecord = false;
        return kErrorSuccess;
    }
    DWORD identifyObject(const winsec::ObjectName&, Bytes* identity) override
    {
        *identity = {1};
        return kErrorSuccess;
    }
    DWORD inheritAfterUnlock(const winsec::ObjectName&, const UnlockedFolder&) override
    {
        return kErrorNoWriteRecord;
    }

    Bytes written;
    int writes = 0;
    Bytes record;
    bool hasRecord = false;

private:
    bool hasDacl;
    Bytes daclBytes;
    SECURITY_DESCRIPTOR_CONTROL control;
};

const BYTE allowed = kAccessAllowedAceType;
const BYTE denied = kAccessDeniedAceType;

// Every kind of entry the rules must treat alike, whatever its type or SID.
const Bytes mixedDacl = acl({ace(allowed, 0, 0x001F01FF, ownerSid), ace(allowed, 0, 0x2),
                             ace(allowed, 0, 0x0), ace(allowed, 0, 0x40000004),
                             ace(denied, 0, 0x00010002), ace(denied, 0, 0x00010000),
                             ace(allowed, kInheritedAce | 0x3, 0x001200A9)});

class AceRulesTest : public RunFixture {
protected:
    Bytes lockWith(const Bytes& dacl) { return rewrite(&dacl, true); }
    Bytes unlockWith(const Bytes& dacl) { return rewrite(&dacl, false); }

    // `dacl` null: a path without a DACL. With `keepsRecords` the record of
    // one run is there for the next, as the file would keep it.
    Bytes rewrite(const Bytes* dacl, bool lock)
    {
        CraftedSecurity crafted(dacl);
        crafted.record = keptRecord;
        crafted.hasRecord = keepsRecords && !keptRecord.empty();
        EXPECT_TRUE(rewriteDacl(crafted, *testsupport::NamedEntry(dir / "p"), lock));
        EXPECT_EQ(crafted.writes, crafted.written.empty() ? 0 : 1);
        keptRecord = crafted.hasRecord ? crafted.record : Bytes();
        return crafted.written;
    }

    bool keepsRecords = false;
    Bytes keptRecord;
};

// Deny ACEs keep 0x2 (clearing it would grant it); GENERIC_WRITE is mapped
// to the file rights it stands for before 0x2 goes.
TEST_F(AceRulesTest, LockClearsOnlyTheWriteBitOfAllowAcesAndKeepsEverythingElse)
{
    const Bytes locked = lockWith(mixedDacl);
    EXPECT_THAT(masksOf(locked), ElementsAre(0x001F01FD, 0x0, 0x0, 0x00120114, 0x00010002,
                                             0x00010000, 0x001200A9));
    ASSERT_EQ(locked.size(), mixedDacl.size() + 2 * kOwnerLength + 16);
    // Same header revision and count, same ACE bytes but for the masks.
    Bytes expected = mixedDacl;
    expected.resize(locked.size(), 0);
    expected[2] = static_cast<BYTE>(locked.size());
    for (std::size_t offset : {12u, 48u})
        expected[offset] &= 0xFD;
    const DWORD mapped = 0x00120114;
    std::memcpy(&expected[88], &mapped, sizeof mapped);
    EXPECT_EQ(locked, expected);
    EXPECT_EQ(lockWith(locked), locked) << "locking twice is locking once";
    EXPECT_EQ(log().returnCode(), 1);
    EXPECT_THAT(logLines(), IsEmpty());
}

// Only a record says what a lock took: without one, nothing is granted.
TEST_F(AceRulesTest, UnlockWithoutARecordChangesNothing)
{
    EXPECT_THAT(unlockWith(lockWith(mixedDacl)), IsEmpty());
    EXPECT_THAT(unlockWith(mixedDacl), IsEmpty());
    EXPECT_EQ(log().returnCode(), 1);
}

// Repeated SIDs are told apart by their order; a path that had no DACL gets
// the 0x2 of the Everyone entry that lock gave it back.
TEST_F(AceRulesTest, UnlockWithTheRecordGivesBackExactlyWhatLockTook)
{
    keepsRecords = true;
    const Bytes locked = lockWith(mixedDacl);
    EXPECT_EQ(lockWith(locked), locked) << "locking twice is locking once";
    EXPECT_EQ(masksOf(unlockWith(locked)), masksOf(mixedDacl));
    EXPECT_THAT(unlockWith(locked), IsEmpty()) << "the record was removed with the unlock";

    keptRecord.clear();
    const Bytes openLocked = rewrite(nullptr, true);
    EXPECT_THAT(masksOf(unlockWith(openLocked)), ElementsAre(0x001F01FF));
    EXPECT_EQ(log().returnCode(), 1);
}

// An object ACE's DACL is rebuilt at its revision (4); a generic ACE gets
// back the very mask it had, unless it was changed since the lock.
TEST_F(AceRulesTest, ObjectAcesKeepTheirRevisionAndGenericMasksComeBackExactly)
{
    keepsRecords = true;
    Bytes objectAce = {kAccessAllowedObjectAceType, 0, 40, 0, 0xFF, 0x01, 0x1F, 0x00, 0, 0, 0, 0};
    objectAce.insert(objectAce.end(), ownerSid.begin(), ownerSid.end());
    Bytes dacl = acl({objectAce, ace(allowed, 0x0B, 0x10000000)});
    dacl[0] = 4;
    const Bytes locked = lockWith(dacl);
    ASSERT_FALSE(locked.empty());
    EXPECT_EQ(locked[0], 4);
    EXPECT_THAT(masksOf(locked), ElementsAre(0x001F01FD, 0x001F01FD));
    EXPECT_THAT(masksOf(unlockWith(locked)), ElementsAre(0x001F01FF, 0x10000000));

    Bytes changed = lockWith(dacl);
    const DWORD other = 0x00120089;
    std::memcpy(&changed[8 + 40 + 4], &other, sizeof other);
    EXPECT_THAT(masksOf(unlockWith(changed)), ElementsAre(0x001F01FF, 0x00120089));
}

TEST_F(AceRulesTest, EmptyDaclIsWrittenEmptyWithRoomToSpare)
{
    const Bytes locked = lockWith(acl({}));
    EXPECT_EQ(locked.size(), 8 + 2 * kOwnerLength + 16);
    EXPECT_THAT(masksOf(locked), IsEmpty());
}

// A path without a DACL grants everything to everyone. Locking must not turn
// that into an empty DACL, which would deny everything for good.
TEST_F(AceRulesTest, PathWithoutDaclIsLockedToEveryoneButWrite)
{
    for (bool nullDacl : {false, true}) {
        CraftedSecurity crafted(nullptr, nullDacl);
        EXPECT_TRUE(rewriteDacl(crafted, *testsupport::NamedEntry(dir / "p"), true));
        ASSERT_EQ(crafted.writes, 1);
        EXPECT_EQ(crafted.written.size(), 8 + 2 * kOwnerLength + 16);
        EXPECT_EQ(crafted.written[4], 1); // one ACE
        const Bytes everyoneAce(crafted.written.begin() + 8, crafted.written.begin() + 28);
        EXPECT_EQ(everyoneAce, ace(allowed, 0, 0x001F01FD));

        EXPECT_TRUE(rewriteDacl(crafted, *testsupport::NamedEntry(dir / "p"), false));
        EXPECT_EQ(crafted.writes, 1) << "unlock leaves an open path as it is";
    }
    EXPECT_EQ(log().returnCode(), 1);
}

} // namespace

namespace {

// What an entry made in a locked folder is given at unlock, on Windows.
TEST(InheritedAtUnlock, InheritedAcesTakeTheRestoredMasksAndAnythingElseIsLeftAlone)
{
    const BYTE inherit = kObjectInheritAce | kContainerInheritAce;
    const Bytes locked = acl({ace(allowed, inherit, 0x1200A9), ace(allowed, 0, 0x1F01FD)});
    const Bytes restored = acl({ace(allowed, inherit, 0x1200AB), ace(allowed, 0, 0x1F01FF)});
    Bytes child = acl({ace(allowed, kInheritedAce, 0x1200A9)});
    ASSERT_TRUE(inheritRestoredMasks(locked, restored, &child));
    EXPECT_THAT(masksOf(child), ElementsAre(0x1200ABu));

    const std::vector<Bytes> leftAlone = {
        acl({ace(allowed, 0, 0x1200A9)}),                                 // explicit
        acl({ace(allowed, kInheritedAce, 0x1200A8)}),                     // another mask
        acl({ace(allowed, kInheritedAce, 0x1F01FD)}),                     // from no inheritable ACE
        acl({ace(allowed, kInheritedAce, 0x1200A9, Bytes(kCreatorOwnerSid, kCreatorOwnerSid + 12))}),
    };
    for (Bytes other : leftAlone) {
        const Bytes before = other;
        EXPECT_FALSE(inheritRestoredMasks(locked, restored, &other));
        EXPECT_EQ(before, other);
    }
}

} // namespace
