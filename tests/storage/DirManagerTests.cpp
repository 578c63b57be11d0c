// DirManager's security operations. Wine does not enforce file access lists, so the
// lists are checked where the code hands them to the system: the imports of the test
// executable, into which the code under test is linked, are patched.
#include "StorageTestSupport.h"

#include "storage/DirManager.h"

#include <gtest/gtest.h>

#include <regex>

using namespace storagetest;
using FerrydockIpc::DirManager;
using testsupport::LogCapture;
using testsupport::LogRecord;
using Lines = std::vector<std::wstring>;
using Records = std::vector<LogRecord>;

namespace {

DirManager& Manager() { return DirManager::GetInstance(); }
constexpr DWORD kHiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

} // namespace

TEST(DirManager, PermissionFailures)
{
    const TempTree tree;
    ASSERT_TRUE(MakeFolder(tree / L"exists"));
    const char* op = "SetDirctoryPermission";
    const Records createFailed = {DirLine(4, L"CreateDirectory failed", "CreateDirWithPermssion"),
                                  DirLine(4, L"CreateDirWithPermssion failed ", op)};
    struct Case {
        const char* what;
        std::wstring path;
        bool create;
        Faults faults;
        Records log;
        size_t creations;
    };
    const Case cases[] = {
        {"create: exists (183)", tree / L"exists", true, {}, createFailed, 1},
        {"create: parent missing (3)", tree / L"no\\such", true, {}, createFailed, 1},
        {"open: parent missing", tree / L"no\\such", false, {},
         {DirLine(4, L"Get dir handle failed, error code: 3", op)}, 0},
        {"SID text unusable", tree / L"new", true, {.convertStringSidFails = true},
         {DirLine(4, L"ConvertStringSidToSid failed 1337", op)}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const SecurityHooks hooks(TestModule(), c.faults);
        LogCapture log;
        EXPECT_FALSE(Manager().SetDirctoryPermission(c.path, c.create));
        EXPECT_EQ(log.Records(), c.log);
        EXPECT_EQ(hooks.Calls(L"CreateDirectoryW").size(), c.creations);
        EXPECT_EQ(Exists(c.path), c.path == tree / L"exists");
    }
}

TEST(DirManager, SetDirectoryHidden)
{
    const TempTree tree;
    // Wine keeps only hidden and system on folders, so the rest is compared as read back;
    // that other attributes are kept shows only on Windows.
    for (const DWORD attributes : {DWORD{FILE_ATTRIBUTE_HIDDEN}, DWORD{FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE}}) {
        const std::wstring folder = tree / std::to_wstring(attributes);
        ASSERT_TRUE(MakeFolder(folder) && SetFileAttributesW(folder.c_str(), attributes));
        const DWORD before = GetFileAttributesW(folder.c_str());
        EXPECT_TRUE(Manager().SetDirectoryHidden(folder)) << attributes;
        EXPECT_EQ(GetFileAttributesW(folder.c_str()), before | kHiddenSystem) << attributes;
    }
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
    const LogRecord token = DirLine(3, L"Get process token", op);
    const LogRecord success = DirLine(3, L"AccessCheck success", op);
    constexpr DWORD untouched = 0xDEAD;
    struct Case {
        const char* what;
        Faults faults;
        bool result;
        DWORD granted;
        Records log;
    };
    const Case cases[] = {
        {"granted", {}, true, FILE_ALL_ACCESS, {token, success}},
        {"denied", {.accessChecks = {1}}, false, 0, {token, success}},
        {"check fails", {.accessChecks = {-1}}, false, untouched,
         {token, DirLine(4, L"AccessCheck failed 1338", op)}},
        {"own token refused", {.openProcessTokenFails = true}, false, untouched, {}},
        {"duplicate refused", {.duplicateTokenFails = true}, false, untouched, {token}},
        {"length query refused", {.getFileSecurityFailsOnCall = 1}, false, untouched,
         {DirLine(4, L"failed to get length by calling GetFileSecurity 5", op)}},
        {"descriptor read refused", {.getFileSecurityFailsOnCall = 2}, false, untouched,
         {DirLine(4, L"GetFileSecurity failed", op)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const SecurityHooks hooks(TestModule(), c.faults);
        LogCapture log;
        DWORD granted = untouched;
        EXPECT_EQ(Manager().CanAccessFolder(tree.root.c_str(), FILE_ALL_ACCESS, &granted), c.result);
        EXPECT_EQ(granted, c.granted);
        EXPECT_EQ(log.Records(), c.log);
    }
    // Generic rights mapped for files; an impersonation copy (2) of the process token.
    const SecurityHooks hooks(TestModule());
    DWORD granted = 0;
    EXPECT_TRUE(Manager().CanAccessFolder(tree.root.c_str(), GENERIC_READ, &granted));
    EXPECT_EQ(hooks.Calls(L"OpenProcessToken"), Lines{L"OpenProcessToken 0x2000e"});
    EXPECT_EQ(hooks.Calls(L"DuplicateToken"), Lines{L"DuplicateToken 2"});
    EXPECT_EQ(hooks.Calls(L"AccessCheck"), Lines{L"AccessCheck 0x120089 0x120089 0x120116 0x1200a0 0x1f01ff 20 2 2"});
    EXPECT_EQ(hooks.Calls(L"GetFileSecurityW"), (Lines{L"GetFileSecurityW 7 0", L"GetFileSecurityW 7 1"}));
}

TEST(DirManager, AddUserPermissionsWritesOneUsersGrant)
{
    const TempTree tree;
    const char* op = "AddUserPermissions";
    const std::wstring written = L"SetNamedSecurityInfoW " + tree.root + L" 1 4 0 ";
    struct Case {
        const char* what;
        Faults faults;
        Lines writes;
        Records log;
    };
    const Case cases[] = {
        {"explicit denial and grant", {.namedDacl = L"D:(D;;FA;;;BU)(A;OICI;FR;;;BU)(A;OICI;FA;;;SY)"},
         {written + L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BU)"}, {}},
        // the number is whatever the thread's last error held
        {"no Users entry", {.namedDacl = L"D:(A;OICI;FA;;;SY)"}, {written + L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BU)"},
         {DirLine(3, L"RemoveAces failed #", op)}},
        {"read refused", {.getNamedError = ERROR_ACCESS_DENIED}, {}, {DirLine(3, L"Get Dacl failed 5", op)}},
        {"no access list", {.namedDacl = L"O:BAG:BA"}, {}, {DirLine(3, L"Get Dacl failed 4242", op)}},
        {"write refused", {.namedDacl = L"D:(A;;FA;;;BU)", .setNamedError = ERROR_ACCESS_DENIED},
         {written + L"D:(A;OICI;FA;;;BU)"}, {DirLine(3, L"AtlSetDacl failed 5", op)}},
    };
    static const std::wregex number(L"(RemoveAces failed )[0-9]+");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const SecurityHooks hooks(TestModule(), c.faults);
        LogCapture log;
        Manager().AddUserPermissions(tree.root.c_str());
        EXPECT_EQ(hooks.Calls(L"SetNamed"), c.writes);
        Records records = log.Records();
        for (auto& record : records) {
            record.line = std::regex_replace(record.line, number, L"$1#");
        }
        EXPECT_EQ(records, c.log);
    }
}
