// DirManager's security operations and the access-list layer under them, on the code
// linked into the test executable, whose imports SecurityHooks patch.
#include "StorageTestSupport.h"

#include "storage/AccessList.h"
#include "storage/DirManager.h"

#include <gtest/gtest.h>

#include <regex>

using namespace storagetest;
using FerrydockIpc::Dacl;
using FerrydockIpc::DirManager;
using FerrydockIpc::Sid;
using testsupport::LogCapture;
using testsupport::LogRecord;

namespace {

DirManager& Manager() { return DirManager::GetInstance(); }
const HMODULE kTestModule = GetModuleHandleW(nullptr);

} // namespace

TEST(AccessList, RemoveEveryEntryOfOneSidThenAddOneGrantInCanonicalOrder)
{
    const struct {
        const wchar_t* before;
        bool removed;
        const wchar_t* after;
    } cases[] = {
        {L"D:", false, L"D:(A;OICI;FA;;;BU)"},
        // inherited Users entries go too; other inherited entries stay last
        {L"D:(A;ID;FR;;;BU)(A;OICIID;FA;;;SY)(D;;FA;;;WD)", true, L"D:(D;;FA;;;WD)(A;OICI;FA;;;BU)(A;OICIID;FA;;;SY)"},
        // a longer SID that starts like the Users SID is another trustee
        {L"D:(A;;FA;;;S-1-5-32-545-1)", false, L"D:(A;;FA;;;S-1-5-32-545-1)(A;OICI;FA;;;BU)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.before);
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ConvertStringSecurityDescriptorToSecurityDescriptorW(c.before, SDDL_REVISION_1, &descriptor, nullptr);
        Dacl dacl;
        ASSERT_TRUE(dacl.Assign(DaclOf(descriptor)));
        LocalFree(descriptor);
        EXPECT_EQ(dacl.RemoveAces(Sid::FromString(L"BU")), c.removed);
        ASSERT_TRUE(dacl.AddAllowedAce(Sid::FromString(L"BU"), FILE_ALL_ACCESS, 3 /* inherited by all below */));
        std::vector<BYTE> list;
        ASSERT_TRUE(dacl.Build(list));
        EXPECT_TRUE(IsValidAcl(reinterpret_cast<PACL>(list.data())));
        EXPECT_EQ(DaclSddl(reinterpret_cast<const ACL*>(list.data())), c.after);
    }
    // A list holds at most 64 KB: 4,096 grants of 20 bytes do not fit.
    Dacl dacl;
    EXPECT_FALSE(dacl.AddAllowedAce(Sid(), FILE_ALL_ACCESS, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
    for (int i = 0; i < 4096; ++i) {
        dacl.AddAllowedAce(Sid::FromString(L"SY"), FILE_GENERIC_READ, 0);
    }
    std::vector<BYTE> list;
    EXPECT_FALSE(dacl.Build(list));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(DirManager, PermissionFailures)
{
    const TempTree tree;
    ASSERT_TRUE(MakeFolder(tree / L"exists"));
    const char* op = "SetDirctoryPermission";
    const Records createFailed = {DirLine(4, L"CreateDirectory failed", "CreateDirWithPermssion"),
                                  DirLine(4, L"CreateDirWithPermssion failed ", op)};
    const struct {
        std::wstring path;
        bool create;
        const char* failing;
        Records log;
    } cases[] = {
        {tree / L"exists", true, "", createFailed},
        {tree / L"no\\such", false, "", {DirLine(4, L"Get dir handle failed, error code: 3", op)}},
        {tree / L"new", true, "ConvertStringSidToSidW", {DirLine(4, L"ConvertStringSidToSid failed 1337", op)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.path));
        const auto failing = Failing(kTestModule, c.failing, 1, 1337);
        LogCapture log;
        EXPECT_FALSE(Manager().SetDirctoryPermission(c.path, c.create));
        EXPECT_EQ(log.Records(), c.log);
        EXPECT_EQ(GetFileAttributesW(c.path.c_str()) != INVALID_FILE_ATTRIBUTES, c.path == tree / L"exists");
    }
}

TEST(DirManager, SetDirectoryHidden)
{
    const TempTree tree;
    const std::wstring folder = tree / L"folder";
    ASSERT_TRUE(MakeFolder(folder) && SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_HIDDEN));
    EXPECT_TRUE(Manager().SetDirectoryHidden(folder));
    EXPECT_EQ(GetFileAttributesW(folder.c_str()) & 6u, 6u) << "hidden and system";
    LogCapture log;
    EXPECT_FALSE(Manager().SetDirectoryHidden(tree / L"missing"));
    EXPECT_EQ(log.Records(), Records{DirLine(4, L"GetFileAttributes failed", "SetDirectoryHidden")});
}

// "Get process token" and "AccessCheck success" only say that the steps ran; the check
// ran and denied is not the check failed.
TEST(DirManager, CanAccessFolder)
{
    const TempTree tree;
    const char* op = "CanAccessFolder";
    const LogRecord token = DirLine(3, L"Get process token", op), success = DirLine(3, L"AccessCheck success", op);
    constexpr DWORD untouched = 0xDEAD;
    const struct {
        const char* failing; // "Denying": the check runs and denies
        long long at;
        DWORD error;
        bool result;
        DWORD granted;
        Records log;
    } cases[] = {
        {"", 0, 0, true, FILE_ALL_ACCESS, {token, success}},
        {"Denying", 0, 0, false, 0, {token, success}},
        {"AccessCheck", 1, 1338, false, untouched, {token, DirLine(4, L"AccessCheck failed 1338", op)}},
        {"OpenProcessToken", 1, 5, false, untouched, {}},
        {"DuplicateToken", 1, 5, false, untouched, {token}},
        {"GetFileSecurityW", 1, 5, false, untouched,
         {DirLine(4, L"failed to get length by calling GetFileSecurity 5", op)}},
        {"GetFileSecurityW", 2, 5, false, untouched, {DirLine(4, L"GetFileSecurity failed", op)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failing);
        const bool deny = std::string(c.failing) == "Denying";
        const auto failing = Failing(kTestModule, deny ? "" : c.failing, c.at, c.error);
        const auto denying = testsupport::DenyingAccessCheck(kTestModule, deny);
        LogCapture log;
        DWORD granted = untouched;
        EXPECT_EQ(Manager().CanAccessFolder(tree.root.c_str(), FILE_ALL_ACCESS, &granted), c.result);
        EXPECT_EQ(granted, c.granted);
        EXPECT_EQ(log.Records(), c.log);
    }
    // Generic rights mapped for files; an impersonation copy (2) of the process token.
    const SecurityHooks hooks(kTestModule);
    DWORD granted = 0;
    EXPECT_TRUE(Manager().CanAccessFolder(tree.root.c_str(), GENERIC_READ, &granted));
    EXPECT_EQ(hooks.Calls(), (Lines{L"GetFileSecurityW 7 0", L"GetFileSecurityW 7 1", L"OpenProcessToken 0x2000e",
                                    L"AccessCheck 0x120089 0x120089 0x120116 0x1200a0 0x1f01ff 20 2 2"}));
}

TEST(DirManager, AddUserPermissionsWritesOneUsersGrant)
{
    const TempTree tree;
    const char* op = "AddUserPermissions";
    const std::wstring written = L"SetNamedSecurityInfoW " + tree.root + L" 1 4 0 ";
    const struct {
        const wchar_t* namedDacl;
        const char* failing; // with ERROR_ACCESS_DENIED
        Lines writes;
        Records log;
    } cases[] = {
        {L"D:(D;;FA;;;BU)(A;OICI;FR;;;BU)(A;OICI;FA;;;SY)", "", {written + L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BU)"}, {}},
        // the number is whatever the thread's last error held
        {L"D:(A;OICI;FA;;;SY)", "", {written + L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BU)"},
         {DirLine(3, L"RemoveAces failed #", op)}},
        {nullptr, "GetNamedSecurityInfoW", {}, {DirLine(3, L"Get Dacl failed 5", op)}},
        {L"O:BAG:BA", "", {}, {DirLine(3, L"Get Dacl failed 4242", op)}}, // no access list
        {L"D:(A;;FA;;;BU)", "SetNamedSecurityInfoW", {}, {DirLine(3, L"AtlSetDacl failed 5", op)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        const SecurityHooks hooks(kTestModule, c.namedDacl);
        const auto failing = Failing(kTestModule, c.failing, 1, ERROR_ACCESS_DENIED);
        LogCapture log;
        Manager().AddUserPermissions(tree.root.c_str());
        EXPECT_EQ(hooks.Calls(L"SetNamed"), c.writes);
        Records records = log.Records();
        for (auto& record : records) {
            record.line = std::regex_replace(record.line, std::wregex(L"(RemoveAces failed )[0-9]+"), L"$1#");
        }
        EXPECT_EQ(records, c.log);
    }
}
