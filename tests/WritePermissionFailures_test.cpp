// Every failing step of the lock and unlock of one real file, driven by
// breaking one call of the real security layer: the exact lines logged, the
// ReturnCode left, the result, whether the file's ACL changed, and that every
// block obtained was released exactly once.
#include "FaultInjectingSecurityApi.h"
#include "NamedEntry.h"
#include "RunFixture.h"

#include <gmock/gmock.h>

using namespace testsupport;
using ::testing::ElementsAreArray;

namespace {

struct FailureRow {
    SecurityOperation operation;
    unsigned callNumber;
    Fault fault;
    std::vector<std::string> texts; // logged after the prefix; the path follows -4 texts
    int returnCode;
    bool lockOnly = false; // a call only the lock makes before it writes
};

const char* const kAddAceFailed = "ERROR :: ReturnCode = -4 : Adding ACE to new ACL Failed for ";
// user::, user:nobody, group::, group:nogroup, mask::, other::
const int kAceCount = 6;

std::vector<FailureRow> failureRows()
{
    using Op = SecurityOperation;
    const Fault fail = Fault::Fail;
    return {
        {Op::GetNamedSecurityInfo, 1, fail,
         {"ERROR :: ReturnCode = -4 : Getting Security Information Failed for "}, -4},
        {Op::LocalAlloc, 1, fail,
         {"ERROR :: ReturnCode = -4 : Alloc new security descriptor failed for "}, -4},
        // A descriptor left uninitialised cannot take the DACL either.
        {Op::InitializeSecurityDescriptor, 1, fail,
         {"ERROR :: ReturnCode = -4 : Creating new security descriptor failed for ",
          "ERROR :: ReturnCode = -4 : Setting new security descriptor to new ACL Failed for "},
         -4},
        {Op::GetSecurityDescriptorDacl, 1, fail,
         {"ERROR :: ReturnCode = -4 : Getting DACL from security descriptor failed for "}, -4},
        {Op::GetAclInformation, 1, fail,
         {"ERROR :: ReturnCode = -4 : Getting ACL size information Failed for "}, -4},
        {Op::LocalAlloc, 2, fail, {"ERROR :: ReturnCode = -4 : Alloc new ACL failed for "}, -4},
        {Op::InitializeAcl, 1, fail,
         {"ERROR :: ReturnCode = -4 : Initializing new DACL Failed for ", kAddAceFailed,
          kAddAceFailed, kAddAceFailed, kAddAceFailed, kAddAceFailed, kAddAceFailed},
         -4},
        {Op::GetAce, 2, fail, {"ERROR :: ReturnCode = -4 : Getting ACE Failed for "}, -4},
        {Op::ReadWriteRecord, 1, fail,
         {"ERROR :: ReturnCode = -4 : Getting Security Information Failed for "}, -4},
        {Op::AddAce, kAceCount, fail, {kAddAceFailed}, -4},
        {Op::SetSecurityDescriptorDacl, 1, fail,
         {"ERROR :: ReturnCode = -4 : Setting new security descriptor to new ACL Failed for "},
         -4},
        // No DACL is locked without its record where records can be kept.
        {Op::StoreWriteRecord, 1, fail,
         {"ERROR :: ReturnCode = -4 : Setting file new security descriptor Failed for "}, -4,
         true},
        {Op::SetFileSecurity, 1, fail,
         {"ERROR :: ReturnCode = -4 : Setting file new security descriptor Failed for "}, -4},
        {Op::GetNamedSecurityInfo, 1, Fault::ThrowStdException,
         {"FATAL :: ReturnCode = -7 : STD Exception injected failure of call 1"}, -7},
        {Op::AddAce, 3, Fault::ThrowNonStandard,
         {"FATAL :: ReturnCode = -7 : Exception Uknown Error"}, -7},
        {Op::SetFileSecurity, 1, Fault::ThrowStdException,
         {"FATAL :: ReturnCode = -7 : STD Exception injected failure of call 1"}, -7},
    };
}

// "LEVEL text" with the tag put in after the level, and the path after -4 texts.
std::string expectedLine(const std::string& text, const std::string& tag, const std::string& path)
{
    const std::size_t blank = text.find(' ');
    const std::string line = text.substr(0, blank) + " [" + tag + "]: " + tag + text.substr(blank);
    return text.rfind("FATAL", 0) == 0 ? line : line + path;
}

class WritePermissionFailuresTest : public RunFixture {
protected:
    void SetUp() override
    {
        RunFixture::SetUp();
        writeFile(file, "data");
        setfacl("-m u:nobody:rw,g:nogroup:r,o::r", file);
    }

    bool apply(bool lock) { return apply(*system, lock); }
    bool apply(winsec::SecurityApi& api, bool lock)
    {
        return rewriteDacl(api, *NamedEntry(file), lock);
    }

    const std::string file = dir / "file with blanks";
};

TEST_F(WritePermissionFailuresTest, EveryFailingStepIsLoggedAndNothingIsWrittenOrLeaked)
{
    for (bool lock : {true, false}) {
        if (!lock) {
            ASSERT_TRUE(apply(true)) << "the unlock rows start from a locked file";
        }
        const std::string tag = lock ? "C_TolvaneManager::lockWritingPermission"
                                     : "C_TolvaneManager::unlockWritingPermission";
        for (const FailureRow& row : failureRows()) {
            if (row.lockOnly && !lock)
                continue;
            SCOPED_TRACE((lock ? "lock, operation " : "unlock, operation ") +
                         std::to_string(static_cast<int>(row.operation)) + ", call " +
                         std::to_string(row.callNumber));
            const std::string before = getfacl(file);
            std::remove((dir / "test.log").c_str());
            FaultInjectingSecurityApi faulty(*system);
            faulty.inject(row.operation, row.callNumber, row.fault);
            EXPECT_FALSE(apply(faulty, lock));
            EXPECT_EQ(log().returnCode(), row.returnCode);
            EXPECT_EQ(faulty.liveBlocks(), 0u);
            EXPECT_EQ(faulty.strayReleases(), 0u);
            EXPECT_EQ(getfacl(file), before);

            std::vector<std::string> expected;
            for (const std::string& text : row.texts)
                expected.push_back(expectedLine(text, tag, file));
            EXPECT_THAT(logLines(), ElementsAreArray(expected));
        }
    }
}

TEST_F(WritePermissionFailuresTest, CleanRunWritesAndReleasesEverything)
{
    for (bool lock : {true, false}) {
        FaultInjectingSecurityApi counting(*system);
        EXPECT_TRUE(apply(counting, lock));
        EXPECT_EQ(counting.liveBlocks(), 0u);
        EXPECT_EQ(counting.strayReleases(), 0u);
        EXPECT_EQ(counting.callCount(SecurityOperation::LocalFree), 3u);
        EXPECT_EQ(counting.callCount(SecurityOperation::AddAce), unsigned(kAceCount));
    }
    EXPECT_EQ(log().returnCode(), 1);
    // Unlock gives write back to exactly the entries the lock took it from.
    EXPECT_EQ(getfacl(file), "user::rw-\nuser:nobody:rw-\ngroup::r--\ngroup:nogroup:r--\n"
                             "mask::rw-\nother::r--\n\n");
}

} // namespace
