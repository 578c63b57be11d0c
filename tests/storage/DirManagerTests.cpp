// DirManager's security operations. Wine does not enforce file access lists, so the
// lists are checked where the code hands them to the system (patched imports of the
// test executable, into which the code under test is linked).
#include "SecurityHooks.h"

#include "storage/DirManager.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <thread>

using namespace storagetest;
using FerrydockIpc::DirManager;
using testsupport::LogCapture;
using testsupport::LogRecord;

namespace {

DirManager& Manager() { return DirManager::GetInstance(); }

LogRecord Line(int level, const std::wstring& text, const char* operation)
{
    return {level, L"DIR_MANAGER_LOG_TAG " + text + L"(FerrydockIpc::DirManager::" +
                       std::wstring(operation, operation + strlen(operation)) + L")"};
}

// The three full-access entries, as the list written reads back in SDDL.
std::wstring FolderDacl(const std::wstring& user)
{
    return L"D:(A;OICI;GA;;;" + user + L")(A;OICI;GA;;;BA)(A;OICI;GA;;;SY)";
}

constexpr DWORD kHiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// "RemoveAces failed 1234(...)" -> "RemoveAces failed #(...)", for that one message.
std::vector<LogRecord> WithoutErrorNumber(std::vector<LogRecord> records)
{
    static const std::wregex number(L"(RemoveAces failed )[0-9]+\\(");
    for (auto& record : records) {
        record.line = std::regex_replace(record.line, number, L"$1#(");
    }
    return records;
}

} // namespace

TEST(DirManager, OneInstanceAcrossThreads)
{
    DirManager* seen[4] = {};
    std::vector<std::thread> threads;
    for (auto& slot : seen) {
        threads.emplace_back([&slot] { slot = &DirManager::GetInstance(); });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (DirManager* instance : seen) {
        EXPECT_EQ(instance, &DirManager::GetInstance());
    }
}

TEST(DirManager, CreatesFolderWithTheThreeEntryList)
{
    const TempTree tree;
    const std::wstring user = ProcessUserSid();
    const std::wstring folder = tree / L"final";
    const SecurityHooks hooks(TestModule());
    ASSERT_TRUE(hooks.active());
    LogCapture log;

    EXPECT_TRUE(Manager().SetDirctoryPermission(folder, true));

    ASSERT_EQ(g_recorded.entries.size(), 1u);
    const auto& records = g_recorded.entries[0];
    ASSERT_EQ(records.size(), 3u);
    const std::pair<std::wstring, TRUSTEE_TYPE> trustees[] = {
        {user, TRUSTEE_IS_USER}, {L"S-1-5-32-544", TRUSTEE_IS_GROUP}, {L"S-1-5-18", TRUSTEE_IS_WELL_KNOWN_GROUP}};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(records[i].sid, trustees[i].first);
        EXPECT_EQ(records[i].type, trustees[i].second);
        EXPECT_EQ(records[i].access, static_cast<DWORD>(GENERIC_ALL));
        EXPECT_EQ(records[i].mode, SET_ACCESS);
        EXPECT_EQ(records[i].inheritance, 3u);
        EXPECT_EQ(records[i].form, TRUSTEE_IS_SID);
        EXPECT_EQ(records[i].multiple, NO_MULTIPLE_TRUSTEE);
    }
    ASSERT_EQ(g_recorded.created.size(), 1u);
    const CreatedFolder& created = g_recorded.created[0];
    EXPECT_EQ(created.path, folder);
    EXPECT_TRUE(created.withAttributes);
    EXPECT_EQ(created.length, 24u);
    EXPECT_FALSE(created.inheritHandle);
    EXPECT_EQ(created.dacl, FolderDacl(user));
    EXPECT_EQ(GetFileAttributesW(folder.c_str()) & kHiddenSystem, kHiddenSystem);
    EXPECT_TRUE(log.Records().empty());
}

TEST(DirManager, RewritesAnExistingFolderThroughItsHandle)
{
    const TempTree tree;
    const std::wstring user = ProcessUserSid();
    const std::wstring folder = tree / L"existing";
    ASSERT_TRUE(MakeFolder(folder));
    const SecurityHooks hooks(TestModule());
    ASSERT_TRUE(hooks.active());
    LogCapture log;

    EXPECT_TRUE(Manager().SetDirctoryPermission(folder, false));

    EXPECT_TRUE(g_recorded.created.empty());
    ASSERT_EQ(g_recorded.opened.size(), 1u);
    const OpenedFile& opened = g_recorded.opened[0];
    EXPECT_EQ(opened.path, folder);
    EXPECT_EQ(opened.access, 0x00060000u);
    EXPECT_EQ(opened.share, 0u);
    EXPECT_EQ(opened.disposition, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(opened.flags, static_cast<DWORD>(FILE_FLAG_BACKUP_SEMANTICS));
    EXPECT_FALSE(opened.attributes || opened.templateFile);
    ASSERT_EQ(g_recorded.written.size(), 1u);
    const WrittenList& written = g_recorded.written[0];
    EXPECT_EQ(written.type, SE_FILE_OBJECT);
    EXPECT_EQ(written.parts, static_cast<DWORD>(DACL_SECURITY_INFORMATION));
    EXPECT_FALSE(written.ownerGroupOrSacl);
    EXPECT_TRUE(written.handleOpen);
    EXPECT_EQ(written.dacl, FolderDacl(user));
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(opened.result, &flags)) << "the folder handle is closed";
    EXPECT_EQ(GetFileAttributesW(folder.c_str()) & kHiddenSystem, kHiddenSystem);
    EXPECT_TRUE(log.Records().empty());
}

TEST(DirManager, PermissionFailures)
{
    const TempTree tree;
    ASSERT_TRUE(MakeFolder(tree / L"exists"));
    const char* op = "SetDirctoryPermission";
    const LogRecord createFailed = Line(4, L"CreateDirectory failed", "CreateDirWithPermssion");
    const LogRecord createWithFailed = Line(4, L"CreateDirWithPermssion failed ", op);
    struct Case {
        const char* what;
        std::wstring path;
        bool create;
        Faults faults;
        std::vector<LogRecord> log;
        size_t creations;
    };
    Faults badSid;
    badSid.convertStringSidFails = true;
    const Case cases[] = {
        {"create: exists (183)", tree / L"exists", true, {}, {createFailed, createWithFailed}, 1},
        {"create: parent missing (3)", tree / L"no\\such", true, {}, {createFailed, createWithFailed}, 1},
        {"open: missing", tree / L"missing", false, {}, {Line(4, L"Get dir handle failed, error code: 2", op)}, 0},
        {"open: parent missing", tree / L"no\\such", false, {}, {Line(4, L"Get dir handle failed, error code: 3", op)}, 0},
        {"SID text unusable", tree / L"new", true, badSid, {Line(4, L"ConvertStringSidToSid failed 1337", op)}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const SecurityHooks hooks(TestModule(), c.faults);
        ASSERT_TRUE(hooks.active());
        LogCapture log;
        EXPECT_FALSE(Manager().SetDirctoryPermission(c.path, c.create));
        EXPECT_EQ(log.Records(), c.log);
        EXPECT_EQ(g_recorded.created.size(), c.creations);
        EXPECT_EQ(g_recorded.attributeWrites, 0);
        EXPECT_EQ(Exists(c.path), c.path == tree / L"exists");
    }
}

TEST(DirManager, SetDirectoryHidden)
{
    const TempTree tree;
    struct Case {
        DWORD before;
        int writes;
    };
    // Wine keeps only hidden and system on folders, so other attributes are compared
    // as the system reports them back.
    const Case cases[] = {{FILE_ATTRIBUTE_NORMAL, 1},
                          {FILE_ATTRIBUTE_HIDDEN, 1},
                          {FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE, 1},
                          {kHiddenSystem, 0}};
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before);
        const std::wstring folder = tree / std::to_wstring(++n);
        ASSERT_TRUE(MakeFolder(folder));
        ASSERT_TRUE(SetFileAttributesW(folder.c_str(), c.before));
        const DWORD before = GetFileAttributesW(folder.c_str());
        const SecurityHooks hooks(TestModule());
        LogCapture log;
        EXPECT_TRUE(Manager().SetDirectoryHidden(folder));
        EXPECT_EQ(GetFileAttributesW(folder.c_str()), before | kHiddenSystem);
        EXPECT_EQ(g_recorded.attributeWrites, c.writes);
        EXPECT_TRUE(log.Records().empty());
    }
    LogCapture log;
    EXPECT_FALSE(Manager().SetDirectoryHidden(tree / L"missing"));
    EXPECT_EQ(log.Records(), std::vector<LogRecord>{Line(4, L"GetFileAttributes failed", "SetDirectoryHidden")});
}

TEST(DirManager, CanAccessFolder)
{
    const TempTree tree;
    const char* op = "CanAccessFolder";
    const LogRecord token = Line(3, L"Get process token", op);
    const LogRecord success = Line(3, L"AccessCheck success", op);
    constexpr DWORD untouched = 0xDEADu;
    struct Case {
        const char* what;
        std::wstring path;
        Faults faults;
        bool result;
        DWORD granted;
        std::vector<LogRecord> log;
    };
    const auto with = [](void (*set)(Faults&)) {
        Faults f;
        set(f);
        return f;
    };
    const std::wstring folder = tree.root();
    const Case cases[] = {
        {"granted", folder, {}, true, FILE_ALL_ACCESS, {token, success}},
        {"denied: the check ran", folder,
         with([](Faults& f) { f.accessCheckDenials = {1}; f.deniedGrant = FILE_GENERIC_READ; }), false,
         FILE_GENERIC_READ, {token, success}},
        {"check call fails", folder, with([](Faults& f) { f.accessCheckDenials = {-1}; }), false, untouched,
         {token, Line(4, L"AccessCheck failed 1338", op)}},
        {"own token refused", folder, with([](Faults& f) { f.openProcessTokenFails = true; }), false, untouched, {}},
        {"duplicate refused", folder, with([](Faults& f) { f.duplicateTokenFails = true; }), false, untouched,
         {token}},
        {"length query refused", folder, with([](Faults& f) { f.getFileSecurityFailsOnCall = 1; }), false, untouched,
         {Line(4, L"failed to get length by calling GetFileSecurity 5", op)}},
        {"descriptor read refused", folder, with([](Faults& f) { f.getFileSecurityFailsOnCall = 2; }), false,
         untouched, {Line(4, L"GetFileSecurity failed", op)}},
        {"missing", tree / L"missing", {}, false, untouched,
         {Line(4, L"failed to get length by calling GetFileSecurity 2", op)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const SecurityHooks hooks(TestModule(), c.faults);
        ASSERT_TRUE(hooks.active());
        LogCapture log;
        DWORD granted = untouched;
        EXPECT_EQ(Manager().CanAccessFolder(c.path.c_str(), FILE_ALL_ACCESS, &granted), c.result);
        EXPECT_EQ(granted, c.granted);
        EXPECT_EQ(log.Records(), c.log);
    }
}

TEST(DirManager, AccessCheckIsAskedWithMappedRightsAndAnImpersonationToken)
{
    const TempTree tree;
    const SecurityHooks hooks(TestModule());
    ASSERT_TRUE(hooks.active());
    DWORD granted = 0;
    EXPECT_TRUE(Manager().CanAccessFolder(tree.root().c_str(), GENERIC_READ, &granted));
    ASSERT_EQ(g_recorded.checks.size(), 1u);
    const AccessCheckCall& call = g_recorded.checks[0];
    EXPECT_EQ(call.desired, static_cast<DWORD>(FILE_GENERIC_READ));
    EXPECT_EQ(call.mapping.GenericRead, 0x00120089u);
    EXPECT_EQ(call.mapping.GenericWrite, 0x00120116u);
    EXPECT_EQ(call.mapping.GenericExecute, 0x001200A0u);
    EXPECT_EQ(call.mapping.GenericAll, 0x001F01FFu);
    EXPECT_EQ(call.privilegeLength, 20u);
    EXPECT_EQ(call.tokenType, TokenImpersonation);
    EXPECT_EQ(call.level, SecurityImpersonation);
}

TEST(DirManager, AddUserPermissionsWritesOneUsersGrant)
{
    const TempTree tree;
    const char* op = "AddUserPermissions";
    struct Case {
        const char* what;
        Faults faults;
        std::vector<std::wstring> written;
        std::vector<LogRecord> log;
    };
    const auto list = [](const wchar_t* sddl, DWORD getError = 0, DWORD setError = 0) {
        Faults f;
        f.namedDescriptorSddl = sddl;
        f.getNamedError = getError;
        f.setNamedError = setError;
        return f;
    };
    const Case cases[] = {
        {"explicit denial and grant", list(L"D:(D;;FA;;;BU)(A;OICI;FR;;;BU)(A;OICI;FA;;;SY)"),
         {L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BU)"}, {}},
        // nothing sets an error here: the number is whatever the thread held
        {"no Users entry", list(L"D:(A;OICI;FA;;;SY)"), {L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BU)"},
         {Line(3, L"RemoveAces failed 0", op)}},
        {"read refused", list(nullptr, ERROR_ACCESS_DENIED), {}, {Line(3, L"Get Dacl failed 5", op)}},
        {"no access list", list(L"O:BAG:BA"), {}, {Line(3, L"Get Dacl failed 4242", op)}},
        {"write refused", list(L"D:(A;;FA;;;BU)", 0, ERROR_ACCESS_DENIED), {L"D:(A;OICI;FA;;;BU)"},
         {Line(3, L"AtlSetDacl failed 5", op)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const SecurityHooks hooks(TestModule(), c.faults);
        ASSERT_TRUE(hooks.active());
        LogCapture log;
        Manager().AddUserPermissions(tree.root().c_str());
        std::vector<std::wstring> written;
        for (const WrittenList& w : g_recorded.written) {
            EXPECT_EQ(w.name, tree.root());
            EXPECT_EQ(w.type, SE_FILE_OBJECT);
            EXPECT_EQ(w.parts, static_cast<DWORD>(DACL_SECURITY_INFORMATION));
            EXPECT_FALSE(w.ownerGroupOrSacl);
            written.push_back(w.dacl);
        }
        EXPECT_EQ(written, c.written);
        EXPECT_EQ(WithoutErrorNumber(log.Records()), WithoutErrorNumber(c.log));
    }
    LogCapture log;
    Manager().AddUserPermissions(nullptr);
    EXPECT_EQ(log.Records(), std::vector<LogRecord>{Line(3, L"Get Dacl failed 87", op)});
}
