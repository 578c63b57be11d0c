// The three exports as the interface calls them, through FerrydockUITrans.dll, on real
// folders in a temporary tree that the stand-ins' environment variables point at. The
// library's calls are seen and failed through its own import table: Wine does not enforce
// access lists, so what they allow is checked only on Windows; here, what is passed.
#include "StorageTestSupport.h"

#include "FerrydockUITrans.h"
#include "support/ProcessUsage.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace storagetest;
using testsupport::LogCapture;
using testsupport::LogRecord;

namespace {

const std::pair<const char*, std::wstring> kFolders[] = {{"GetSaveFileDir", L"share\\Ferrydock\\"},
                                                         {"GetSaveDbDir", L"appdata\\Ferrydock\\"}};

class SaveFolders : public testing::Test {
protected:
    PFN_GetTextIntoBuffer Export(const char* name) const
    {
        return reinterpret_cast<PFN_GetTextIntoBuffer>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
    }
    std::wstring Call(const char* name) const
    {
        std::vector<wchar_t> buffer(1024, L'#');
        Export(name)(buffer.data(), 1024);
        return buffer.data();
    }

    // Each test case runs in a process of its own: the variables need no restoring.
    void SetUp() override
    {
        ASSERT_TRUE(MakeFolder(tree / L"share") && MakeFolder(tree / L"appdata") && dll);
        SetEnvironmentVariableW(L"FERRYDOCK_SHARE_PATH", (tree / L"share").c_str());
        SetEnvironmentVariableW(L"FERRYDOCK_APPDATA_PATH", (tree / L"appdata").c_str());
    }

    TempTree tree;
    const std::wstring user = ProcessUserSid();
    HMODULE dll = LoadLibraryW(L"FerrydockUITrans.dll");
};

// The records of at least level whose line holds part.
Records Logged(const LogCapture& log, int level = 4, const std::wstring& part = L"")
{
    Records kept;
    for (const auto& record : log.Records()) {
        if (record.level >= level && record.line.find(part) != std::wstring::npos) {
            kept.push_back(record);
        }
    }
    return kept;
}

} // namespace

TEST_F(SaveFolders, FirstCallCreatesSecondChecksDeniedAccessIsRepaired)
{
    // The user's, the administrators' and the system's full access, inherited by everything below.
    const Lines entries = {L"SetEntriesInAclW old=0 | 268435456 2 3 0 1 0 " + user +
                           L" | 268435456 2 3 0 2 0 S-1-5-32-544 | 268435456 2 3 0 5 0 S-1-5-18"};
    for (const auto& [name, productFolder] : kFolders) {
        SCOPED_TRACE(name);
        const std::wstring product = tree / productFolder, final = product + user;
        const std::wstring kind = name == std::string("GetSaveFileDir") ? L"file" : L"db";
        LogCapture log;
        {
            const SecurityHooks hooks(dll);
            EXPECT_EQ(Call(name), final);
            EXPECT_EQ(hooks.Calls(L"SetEntries"), entries);
            EXPECT_EQ(hooks.Calls(L"CreateDirectoryW"),
                      (Lines{L"CreateDirectoryW " + product + L" none",
                             L"CreateDirectoryW " + final + L" 24 0 " + UserFolderDacl()}));
            EXPECT_EQ(hooks.Calls(L"AccessCheck").size(), 1u) << "full access: no repair";
        }
        EXPECT_TRUE(HiddenAndSystem(product) && HiddenAndSystem(final));
        {
            const SecurityHooks hooks(dll);
            EXPECT_EQ(Call(name), final);
            EXPECT_EQ(hooks.Calls(L"CreateDirectoryW"), Lines{});
            EXPECT_EQ(hooks.Calls(L"SetNamedSecurityInfoW").size(), 1u) << "the product folder's Users grant, again";
            EXPECT_EQ(hooks.Calls(L"AccessCheck").size(), 1u);
            EXPECT_EQ(Logged(log), Records{});
        }
        // Denied access is repaired once: the Users grant, the list written anew, checked again.
        const auto deny = testsupport::DenyingAccessCheck(dll);
        const SecurityHooks hooks(dll);
        log.Clear();
        EXPECT_EQ(Call(name), final);
        Lines steps;
        for (const auto& call : hooks.Calls()) {
            const std::wstring step = call.substr(0, call.find(L' '));
            const bool finalsGrant = call.rfind(L"SetNamedSecurityInfoW " + final, 0) == 0;
            if (step == L"AccessCheck" || step == L"SetSecurityInfo" || finalsGrant) {
                steps.push_back(step);
            }
        }
        EXPECT_EQ(steps, (Lines{L"AccessCheck", L"SetNamedSecurityInfoW", L"SetSecurityInfo", L"AccessCheck"}));
        EXPECT_EQ(hooks.Calls(L"SetEntries"), entries);
        // Opened to rewrite its list only (READ_CONTROL | WRITE_DAC, no sharing, as a folder).
        EXPECT_EQ(hooks.Calls(L"CreateFileW"), Lines{L"CreateFileW " + final + L" 0x60000 0 0 3 0x2000000 0"});
        EXPECT_EQ(hooks.Calls(L"SetSecurityInfo"), Lines{L"SetSecurityInfo 1 4 0 " + UserFolderDacl()});
        EXPECT_EQ(Logged(log, 3, L" folder"),
                  (Records{DirLine(4, L"can't access " + kind + L" folder, permission is 0", name),
                           DirLine(3, L"get " + kind + L" folder access ret: 0, get permission: 0", name)}));
    }
}

TEST_F(SaveFolders, FallbacksAndFailedSteps)
{
    const std::wstring fixedBase = L"C:\\ProgramData\\Dadez\\Brimlet\\";
    ASSERT_EQ(GetFileAttributesW(fixedBase.c_str()), INVALID_FILE_ATTRIBUTES) << "must not exist in the test prefix";
    {
        SCOPED_TRACE("application-data path fails: the fixed base, never created here");
        SetEnvironmentVariableW(L"FERRYDOCK_APPDATA_RESULT", L"1");
        LogCapture log;
        EXPECT_EQ(Call("GetSaveDbDir"), fixedBase + L"Ferrydock\\");
        EXPECT_EQ(log.Records(), (Records{DirLine(4, L"createDirectory failed3", "CreateGeneralDirectory"),
                                          DirLine(4, L"GetSaveDbDir CreateGeneralDirectory Failed!", "GetSaveDbDir")}));
        SetEnvironmentVariableW(L"FERRYDOCK_APPDATA_RESULT", nullptr);
    }
    const LogRecord shareFailed = DirLine(4, L"Create veltra share dir failed!", "GetSaveFileDir");
    const std::pair<std::wstring, std::wstring> shares[] = {
        {L"", L"\\Ferrydock\\"},                             // an empty share path cannot be created
        {tree / L"a\\b", tree / L"a\\b\\Ferrydock\\"},        // one level only
        {tree / L"new\\", tree / L"new\\Ferrydock\\" + user}}; // a missing share folder is made
    for (const auto& [sharePath, expected] : shares) {
        SCOPED_TRACE(testing::PrintToString(sharePath));
        SetEnvironmentVariableW(L"FERRYDOCK_SHARE_PATH", sharePath.c_str());
        LogCapture log;
        EXPECT_EQ(Call("GetSaveFileDir"), expected);
        EXPECT_EQ(Logged(log), expected.back() == L'\\' ? Records{shareFailed} : Records{});
    }
    SCOPED_TRACE("application-data path succeeds but is empty: relative to the current folder");
    SetEnvironmentVariableW(L"FERRYDOCK_APPDATA_PATH", L"");
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(tree.root.c_str()));
    EXPECT_EQ(Call("GetSaveDbDir"), L"Ferrydock\\" + user);
    SetCurrentDirectoryW(previous);
    EXPECT_TRUE(HiddenAndSystem(tree / L"Ferrydock\\" + user));
}

TEST_F(SaveFolders, BufferRulesOfAllThreeExports)
{
    for (const char* name : {"GetSaveFileDir", "GetSaveDbDir", "GetCurrentUserName"}) {
        const std::wstring text = Call(name);
        const std::wstring where = L"(FerrydockIpc::" + std::wstring(name, name + strlen(name)) + L")";
        const int exact = static_cast<int>(text.size()) + 1;
        const LogRecord tooSmall{4, L"wcscpy_s path fail: 34" + where};
        const LogRecord refused{4, (name[3] == 'C' ? L"input is empty" : L"dir is null or len is less than 1") + where};
        const struct {
            int length;
            bool nullBuffer;
            std::wstring expected; // "#": untouched
            Records log;
        } cases[] = {{exact, false, text, {}}, {exact - 1, false, L"", {tooSmall}}, {1, false, L"#", {refused}},
                     {-5, false, L"#", {refused}}, {64, true, L"#", {refused}}};
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << name << " length " << c.length << (c.nullBuffer ? " null" : ""));
            std::vector<wchar_t> buffer(static_cast<size_t>(exact + 1), L'#');
            buffer[1] = buffer[static_cast<size_t>(exact)] = L'\0';
            LogCapture log;
            Export(name)(c.nullBuffer ? nullptr : buffer.data(), c.length);
            EXPECT_EQ(std::wstring(buffer.data()), c.expected);
            EXPECT_EQ(Logged(log), c.log);
        }
    }
}

TEST_F(SaveFolders, HundredsOfCallsLeaveTheProcessFlat)
{
    // Every call obtains and releases tokens, SIDs, descriptors, lists and handles; none may
    // stay behind. Half the rounds deny the access check, which sends every call through the
    // repair too.
    const auto round = [this](int i) {
        const auto deny = testsupport::DenyingAccessCheck(dll, i % 2 != 0);
        for (const char* name : {"GetSaveFileDir", "GetSaveDbDir", "GetCurrentUserName"}) {
            wchar_t buffer[1024];
            Export(name)(buffer, 1024);
            Export(name)(buffer, 8);
        }
    };
    round(0);
    round(1);
    const testsupport::ProcessUsage before = testsupport::MeasureProcessUsage();
    for (int i = 0; i < 30; ++i) {
        round(i);
    }
    const testsupport::ProcessUsage after = testsupport::MeasureProcessUsage();
    std::printf("180 calls: handles %lu -> %lu, heap bytes %zu -> %zu\n", before.handles, after.handles,
                static_cast<size_t>(before.heapBytes), static_cast<size_t>(after.heapBytes));
    ASSERT_GT(before.handles, 0u);
    EXPECT_LE(after.handles, before.handles + 2);
    EXPECT_LE(after.heapBytes, before.heapBytes + 2048) << "180 calls keeping even one SID would exceed this";
}
