// The in-memory operations and the POSIX ACL <-> DACL mapping. Every ACL
// lives in a buffer of exactly its size, so that a read past it shows up in
// the sanitizer build.
#include "posixacl/AclMemory.h"
#include "posixacl/PosixAcl.h"
#include "winsec/SecurityApi.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using namespace winsec;
using Bytes = std::vector<BYTE>;

namespace {

Bytes sidBytes(BYTE authority, std::vector<DWORD> rids)
{
    Bytes sid{1, static_cast<BYTE>(rids.size()), 0, 0, 0, 0, 0, authority};
    for (DWORD rid : rids)
        sid.insert(sid.end(), reinterpret_cast<BYTE*>(&rid), reinterpret_cast<BYTE*>(&rid) + 4);
    return sid;
}

Bytes aceBytes(BYTE type, BYTE flags, DWORD mask, const Bytes& sid)
{
    const WORD size = static_cast<WORD>(8 + sid.size());
    Bytes ace{type, flags, static_cast<BYTE>(size), static_cast<BYTE>(size >> 8)};
    ace.insert(ace.end(), reinterpret_cast<BYTE*>(&mask), reinterpret_cast<BYTE*>(&mask) + 4);
    ace.insert(ace.end(), sid.begin(), sid.end());
    return ace;
}

void putWord(Bytes& bytes, std::size_t at, WORD value)
{
    std::memcpy(bytes.data() + at, &value, sizeof value);
}

Bytes aclBytes(const std::vector<Bytes>& aces, std::size_t spare = 0)
{
    Bytes acl(8, 0);
    for (const Bytes& ace : aces)
        acl.insert(acl.end(), ace.begin(), ace.end());
    acl.resize(acl.size() + spare);
    acl[0] = 2;
    putWord(acl, 2, static_cast<WORD>(acl.size()));
    putWord(acl, 4, static_cast<WORD>(aces.size()));
    return acl;
}

PACL asAcl(Bytes& bytes)
{
    return reinterpret_cast<PACL>(bytes.data());
}

const Bytes kEveryone = sidBytes(1, {0});
const Bytes kUser1000 = sidBytes(22, {1, 1000});

} // namespace

TEST(AclMemory, LocalAllocGivesZeroFilledFixedBlocks)
{
    BYTE* block = static_cast<BYTE*>(aclmemory::allocate(kLptr, 64));
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(std::all_of(block, block + 64, [](BYTE b) { return b == 0; }));
    EXPECT_EQ(aclmemory::release(block), nullptr);
    HLOCAL empty = aclmemory::allocate(kLptr, 0);
    EXPECT_NE(empty, nullptr);
    aclmemory::release(empty);
    EXPECT_EQ(aclmemory::allocate(0x2 /* LMEM_MOVEABLE */, 16), nullptr);
}

TEST(AclMemory, InitializeAclChecksSizeAndRevision)
{
    Bytes buffer(0x10000, 0xAA);
    for (DWORD bad : {0u, 7u, 9u, 0x10000u, 0xFFFFu})
        EXPECT_FALSE(aclmemory::initializeAcl(asAcl(buffer), bad, kAclRevision)) << bad;
    for (DWORD revision : {0u, 1u, 5u})
        EXPECT_FALSE(aclmemory::initializeAcl(asAcl(buffer), 8, revision)) << revision;
    ASSERT_TRUE(aclmemory::initializeAcl(asAcl(buffer), 0xFFFC, kAclRevisionDs));
    EXPECT_EQ(asAcl(buffer)->AclRevision, 4);
    EXPECT_EQ(asAcl(buffer)->AclSize, 0xFFFC);
    EXPECT_EQ(asAcl(buffer)->AceCount, 0);
}

TEST(AclMemory, AddAceFillsTheAclAndGetAceReadsItBack)
{
    const Bytes first = aceBytes(kAccessAllowedAceType, 0, 0x1, kEveryone);  // 20 bytes
    const Bytes second = aceBytes(kAccessDeniedAceType, 0x10, 0x2, kUser1000); // 24 bytes
    Bytes acl(8 + 20 + 24 + 4, 0xEE);
    ASSERT_TRUE(aclmemory::initializeAcl(asAcl(acl), static_cast<DWORD>(acl.size()), kAclRevision));
    Bytes list = second;
    ASSERT_TRUE(aclmemory::addAce(asAcl(acl), kAclRevision, kMaxDword, list.data(), 24));
    list = first;
    ASSERT_TRUE(aclmemory::addAce(asAcl(acl), kAclRevision, 0, list.data(), 20));
    EXPECT_FALSE(aclmemory::addAce(asAcl(acl), kAclRevision, kMaxDword, list.data(), 20))
        << "only 4 bytes are free";

    ACL_SIZE_INFORMATION size{};
    ASSERT_TRUE(aclmemory::getAclInformation(asAcl(acl), &size, sizeof size, AclSizeInformation));
    EXPECT_EQ(size.AceCount, 2u);
    EXPECT_EQ(size.AclBytesInUse, 52u);
    EXPECT_EQ(size.AclBytesFree, 4u);
    EXPECT_FALSE(aclmemory::getAclInformation(asAcl(acl), &size, 11, AclSizeInformation));

    LPVOID ace = nullptr;
    ASSERT_TRUE(aclmemory::getAce(asAcl(acl), 0, &ace));
    EXPECT_EQ(0, std::memcmp(ace, first.data(), 20)) << "inserted before the first";
    ASSERT_TRUE(aclmemory::getAce(asAcl(acl), 1, &ace));
    EXPECT_EQ(0, std::memcmp(ace, second.data(), 24));
    EXPECT_FALSE(aclmemory::getAce(asAcl(acl), 2, &ace));
}

TEST(AclMemory, AddAceRefusesWrongRevisionsAndBrokenLists)
{
    Bytes acl(256, 0);
    ASSERT_TRUE(aclmemory::initializeAcl(asAcl(acl), 256, kAclRevision));
    Bytes allowed = aceBytes(kAccessAllowedAceType, 0, 0x1, kEveryone);
    EXPECT_FALSE(aclmemory::addAce(asAcl(acl), 1, kMaxDword, allowed.data(), 20));
    EXPECT_FALSE(aclmemory::addAce(asAcl(acl), 5, kMaxDword, allowed.data(), 20));
    EXPECT_FALSE(aclmemory::addAce(asAcl(acl), kAclRevision, kMaxDword, allowed.data(), 16))
        << "the ACE runs past the list";
    Bytes object = aceBytes(0x05 /* ACCESS_ALLOWED_OBJECT */, 0, 0x1, kEveryone);
    EXPECT_FALSE(aclmemory::addAce(asAcl(acl), kAclRevision, kMaxDword, object.data(), 20));
    EXPECT_TRUE(aclmemory::addAce(asAcl(acl), kAclRevisionDs, kMaxDword, object.data(), 20));
    EXPECT_EQ(asAcl(acl)->AclRevision, 4);
    Bytes two = allowed;
    two.insert(two.end(), allowed.begin(), allowed.end());
    EXPECT_TRUE(aclmemory::addAce(asAcl(acl), kAclRevision, kMaxDword, two.data(), 40));
    EXPECT_EQ(asAcl(acl)->AceCount, 3);
}

TEST(AclMemory, MalformedAclsFailEveryCall)
{
    const Bytes ace = aceBytes(kAccessAllowedAceType, 0, 0x1, kEveryone);
    std::vector<std::pair<const char*, Bytes>> cases;
    Bytes acl = aclBytes({ace, ace});
    acl.resize(28);
    putWord(acl, 2, 28);
    cases.emplace_back("an ACL cut short after its first ACE", acl);
    acl = aclBytes({ace});
    putWord(acl, 8 + 2, 24);
    cases.emplace_back("an ACE running past AclSize", acl);
    acl = aclBytes({ace});
    putWord(acl, 8 + 2, 0);
    cases.emplace_back("an ACE of size 0", acl);
    acl = aclBytes({ace});
    putWord(acl, 8 + 2, 18);
    cases.emplace_back("an ACE size that is not a multiple of 4", acl);
    acl = aclBytes({ace});
    acl[0] = 9;
    cases.emplace_back("an unknown revision", acl);
    acl = Bytes{2, 0, 4, 0, 0, 0, 0, 0};
    cases.emplace_back("an AclSize below the header", acl);

    for (auto& [what, bytes] : cases) {
        ACL_SIZE_INFORMATION size{};
        LPVOID found = nullptr;
        Bytes list = ace;
        EXPECT_FALSE(aclmemory::getAclInformation(asAcl(bytes), &size, sizeof size,
                                                  AclSizeInformation)) << what;
        EXPECT_FALSE(aclmemory::getAce(asAcl(bytes), 0, &found)) << what;
        EXPECT_FALSE(aclmemory::addAce(asAcl(bytes), kAclRevision, kMaxDword, list.data(), 20))
            << what;
        posixacl::PosixAcls acls;
        EXPECT_FALSE(posixacl::aclsFromDacl(bytes.data(), bytes.size(), &acls)) << what;
    }
}

TEST(AclMemory, DescriptorsAreReadInBothForms)
{
    SECURITY_DESCRIPTOR absolute;
    EXPECT_FALSE(aclmemory::initializeSecurityDescriptor(&absolute, 2));
    ASSERT_TRUE(aclmemory::initializeSecurityDescriptor(&absolute, kSecurityDescriptorRevision));
    BOOL present = 7, defaulted = 7;
    PACL dacl = reinterpret_cast<PACL>(&present);
    ASSERT_TRUE(aclmemory::getSecurityDescriptorDacl(&absolute, &present, &dacl, &defaulted));
    EXPECT_FALSE(present);
    EXPECT_EQ(dacl, reinterpret_cast<PACL>(&present)) << "left alone, as on Windows";

    Bytes acl = aclBytes({aceBytes(kAccessAllowedAceType, 0, 0x1, kEveryone)});
    ASSERT_TRUE(aclmemory::setSecurityDescriptorDacl(&absolute, 1, asAcl(acl), 1));
    ASSERT_TRUE(aclmemory::getSecurityDescriptorDacl(&absolute, &present, &dacl, &defaulted));
    EXPECT_TRUE(present && defaulted && dacl == asAcl(acl));
    ASSERT_TRUE(aclmemory::setSecurityDescriptorDacl(&absolute, 1, nullptr, 0));
    ASSERT_TRUE(aclmemory::getSecurityDescriptorDacl(&absolute, &present, &dacl, &defaulted));
    EXPECT_TRUE(present && !defaulted && dacl == nullptr);

    PSECURITY_DESCRIPTOR relative =
        aclmemory::newSelfRelativeDescriptor(&kUser1000, nullptr, &acl);
    ASSERT_TRUE(aclmemory::getSecurityDescriptorDacl(relative, &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_EQ(0, std::memcmp(dacl, acl.data(), acl.size()));
    EXPECT_FALSE(aclmemory::setSecurityDescriptorDacl(relative, 1, asAcl(acl), 0))
        << "a self-relative descriptor cannot refer to outside memory";
    EXPECT_EQ(aclmemory::getLengthSid(static_cast<BYTE*>(relative) + 20), 16u);
    EXPECT_EQ(aclmemory::getLengthSid(const_cast<BYTE*>(kEveryone.data())), 12u);
    static_cast<BYTE*>(relative)[0] = 2;
    EXPECT_FALSE(aclmemory::getSecurityDescriptorDacl(relative, &present, &dacl, &defaulted));
    aclmemory::release(relative);
}

TEST(PosixAclMapping, EachEntryBecomesOneAceAndMapsBack)
{
    using namespace posixacl;
    PosixAcls acls;
    acls.access = {{kUserObj, 7, kUndefinedId}, {kUser, 6, 1000},      {kGroupObj, 5, kUndefinedId},
                   {kGroup, 4, 50},             {kMask, 7, kUndefinedId}, {kOther, 1, kUndefinedId}};
    acls.defaults = {{kUserObj, 3, kUndefinedId}, {kGroupObj, 2, kUndefinedId},
                     {kOther, 0, kUndefinedId}};
    const Bytes dacl = daclFromAcls(acls);
    const std::vector<Bytes> expected = {
        aceBytes(0, 0, 0x23, sidBytes(3, {0})), aceBytes(0, 0, 0x03, sidBytes(22, {1, 1000})),
        aceBytes(0, 0, 0x21, sidBytes(3, {1})), aceBytes(0, 0, 0x01, sidBytes(22, {2, 50})),
        aceBytes(0, 0, 0x23, sidBytes(22, {3, 0})), aceBytes(0, 0, 0x20, kEveryone),
        aceBytes(0, 0x0B, 0x22, sidBytes(3, {0})), aceBytes(0, 0x0B, 0x02, sidBytes(3, {1})),
        aceBytes(0, 0x0B, 0x00, kEveryone)};
    EXPECT_EQ(dacl, aclBytes(expected));

    PosixAcls back;
    ASSERT_TRUE(aclsFromDacl(dacl.data(), dacl.size(), &back));
    EXPECT_EQ(back.access, acls.access);
    EXPECT_EQ(back.defaults, acls.defaults);
    Entries decoded;
    const Bytes xattr = encodeXattr(acls.access);
    ASSERT_TRUE(decodeXattr(xattr.data(), xattr.size(), &decoded));
    EXPECT_EQ(decoded, acls.access);
}

TEST(PosixAclMapping, DaclsThatNoPosixAclCanSayAreRefused)
{
    const Bytes owner = aceBytes(0, 0, 0x1, sidBytes(3, {0}));
    const Bytes group = aceBytes(0, 0, 0x1, sidBytes(3, {1}));
    const Bytes other = aceBytes(0, 0, 0x1, kEveryone);
    const Bytes named = aceBytes(0, 0, 0x1, kUser1000);
    const std::vector<std::pair<const char*, std::vector<Bytes>>> cases = {
        {"no ACE at all", {}},
        {"no other entry", {owner, group}},
        {"a named user without mask", {owner, named, group, other}},
        {"the owner twice", {owner, owner, group, other}},
        {"an access-denied ACE", {owner, group, aceBytes(1, 0, 0x1, kEveryone)}},
        {"a right beyond r, w, x", {owner, group, aceBytes(0, 0, 0x4, kEveryone)}},
        {"inherited flag", {owner, group, aceBytes(0, 0x10, 0x1, kEveryone)}},
        {"an unknown SID", {owner, group, other, aceBytes(0, 0, 0x1, sidBytes(5, {18}))}},
        {"uid -1", {owner, aceBytes(0, 0, 1, sidBytes(22, {1, 0xFFFFFFFF})), group, other}},
        {"default ACL without other", {owner, group, other, aceBytes(0, 0x0B, 0x1, sidBytes(3, {0}))}},
    };
    for (const auto& [what, aces] : cases) {
        const Bytes dacl = aclBytes(aces);
        posixacl::PosixAcls acls;
        EXPECT_FALSE(posixacl::aclsFromDacl(dacl.data(), dacl.size(), &acls)) << what;
    }
}

// Random and mutated input: the parsers must neither crash nor read out of
// bounds, and whatever they accept must come back out the same.
TEST(PosixAclMapping, RandomInputIsParsedSafely)
{
    std::mt19937 random(20240605);
    posixacl::PosixAcls valid;
    valid.access = posixacl::entriesFromMode(0754);
    valid.defaults = posixacl::entriesFromMode(0700);
    const Bytes seed = posixacl::daclFromAcls(valid);
    for (int round = 0; round < 20000; ++round) {
        Bytes input = seed;
        for (int flips = 1 + round % 4; flips > 0; --flips)
            input[random() % input.size()] = static_cast<BYTE>(random());
        input.resize(round % 7 == 0 ? random() % input.size() : input.size());
        posixacl::PosixAcls acls;
        if (posixacl::aclsFromDacl(input.data(), input.size(), &acls)) {
            posixacl::PosixAcls again;
            const Bytes dacl = posixacl::daclFromAcls(acls);
            ASSERT_TRUE(posixacl::aclsFromDacl(dacl.data(), dacl.size(), &again));
            ASSERT_EQ(again.access, acls.access);
        }
        posixacl::Entries entries;
        posixacl::decodeXattr(input.data(), input.size(), &entries);
    }
}
