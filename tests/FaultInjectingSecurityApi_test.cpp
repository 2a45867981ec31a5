#include "FaultInjectingSecurityApi.h"
#include "NamedEntry.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace winsec;
using testsupport::Fault;
using testsupport::FaultInjectingSecurityApi;
using testsupport::SecurityOperation;

namespace {

DWORD readInto(SecurityApi& api, const std::string& path, PSECURITY_DESCRIPTOR* descriptor,
               PACL* dacl)
{
    return api.getNamedSecurityInfo(*testsupport::NamedEntry(path), SE_FILE_OBJECT, 7, nullptr, nullptr, dacl, nullptr,
                                    descriptor);
}

} // namespace

TEST(FaultInjectingSecurityApi, OnlyTheChosenCallFailsAndItFailsItsOwnWay)
{
    testsupport::TempDir temp;
    FaultInjectingSecurityApi api(testsupport::systemApi());
    api.inject(SecurityOperation::GetNamedSecurityInfo, 2);
    api.inject(SecurityOperation::LocalAlloc, 2);
    api.inject(SecurityOperation::GetAce, 1);
    api.inject(SecurityOperation::GetLengthSid, 1);
    api.inject(SecurityOperation::LocalFree, 1);

    PSECURITY_DESCRIPTOR first = nullptr, second = nullptr;
    PACL dacl = nullptr;
    EXPECT_EQ(readInto(api, temp.path(), &first, &dacl), kErrorSuccess);
    EXPECT_EQ(readInto(api, temp.path(), &second, &dacl), testsupport::kInjectedError);
    EXPECT_EQ(second, nullptr);
    HLOCAL block = api.localAlloc(kLptr, 8);
    EXPECT_NE(block, nullptr);
    EXPECT_EQ(api.localAlloc(kLptr, 8), nullptr);
    LPVOID ace = nullptr;
    EXPECT_FALSE(api.getAce(dacl, 0, &ace));
    EXPECT_TRUE(api.getAce(dacl, 0, &ace));
    EXPECT_EQ(api.getLengthSid(static_cast<BYTE*>(ace) + 8), 0u);
    EXPECT_EQ(api.getLengthSid(static_cast<BYTE*>(ace) + 8), 12u);

    EXPECT_EQ(api.localFree(block), block) << "a failed release keeps the block";
    EXPECT_EQ(api.liveBlocks(), 2u);
    EXPECT_EQ(api.callCount(SecurityOperation::GetAce), 2u);
}

TEST(FaultInjectingSecurityApi, ChosenCallsThrowStandardAndOtherExceptions)
{
    FaultInjectingSecurityApi api(testsupport::systemApi());
    api.inject(SecurityOperation::InitializeAcl, 1, Fault::ThrowStdException);
    api.inject(SecurityOperation::InitializeAcl, 3, Fault::ThrowNonStandard);
    alignas(4) BYTE acl[8];
    EXPECT_THROW(api.initializeAcl(reinterpret_cast<PACL>(acl), 8, kAclRevision),
                 std::runtime_error);
    EXPECT_TRUE(api.initializeAcl(reinterpret_cast<PACL>(acl), 8, kAclRevision));
    EXPECT_THROW(api.initializeAcl(reinterpret_cast<PACL>(acl), 8, kAclRevision), int);
    EXPECT_TRUE(api.initializeAcl(reinterpret_cast<PACL>(acl), 8, kAclRevision));
}

TEST(FaultInjectingSecurityApi, CountsBlocksUntilEachIsReleasedOnce)
{
    testsupport::TempDir temp;
    FaultInjectingSecurityApi api(testsupport::systemApi());
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
    ASSERT_EQ(readInto(api, temp.path(), &descriptor, &dacl), kErrorSuccess);
    HLOCAL block = api.localAlloc(kLptr, 40);
    EXPECT_EQ(api.liveBlocks(), 2u);
    EXPECT_EQ(api.localFree(descriptor), nullptr);
    EXPECT_EQ(api.localFree(block), nullptr);
    EXPECT_EQ(api.liveBlocks(), 0u);
    EXPECT_EQ(api.localFree(block), block) << "released twice";
    EXPECT_EQ(api.localFree(nullptr), nullptr);
    EXPECT_EQ(api.strayReleases(), 1u);
}
