// The three exports as the interface calls them, through FerrydockUITrans.dll, on real
// folders in a temporary tree that the stand-ins' environment variables point at. The
// library's calls are seen and failed through its own import table: Wine does not enforce
// access lists, so what they allow is checked only on Windows; here, what is passed.
#include "StorageTestSupport.h"

#include "FerrydockUITrans.h"
#include "support/ProcessUsage.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <thread>

using namespace storagetest;
using testsupport::LogCapture;
using testsupport::LogRecord;
using Lines = std::vector<std::wstring>;
using Records = std::vector<LogRecord>;

namespace {

constexpr DWORD kHiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

struct Folder {
    const char* name; // export, and member of DirManager
    const wchar_t* product;
    const wchar_t* kind; // "file" or "db" in the repair messages
};
const Folder kFolders[] = {{"GetSaveFileDir", L"share\\Ferrydock\\", L"file"},
                           {"GetSaveDbDir", L"appdata\\Ferrydock\\", L"db"}};

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

    TempTree tree;
    const std::wstring user = ProcessUserSid();
    const bool made = MakeFolder(tree / L"share") && MakeFolder(tree / L"appdata");
    ScopedEnv share{L"FERRYDOCK_SHARE_PATH", (tree / L"share").c_str()};
    ScopedEnv appData{L"FERRYDOCK_APPDATA_PATH", (tree / L"appdata").c_str()};
    ScopedEnv result{L"FERRYDOCK_APPDATA_RESULT", nullptr};
    HMODULE dll = LoadLibraryW(L"FerrydockUITrans.dll");
};

Records Where(const LogCapture& log, const std::function<bool(const LogRecord&)>& keep)
{
    Records kept;
    for (const auto& record : log.Records()) {
        if (keep(record)) {
            kept.push_back(record);
        }
    }
    return kept;
}
bool IsError(const LogRecord& record) { return record.level == 4; }

// The user's, the administrators' and the system's full access, inherited by everything below.
Lines UserFolderEntries(const std::wstring& user)
{
    return {L"SetEntriesInAclW old=0 | 0x10000000 2 3 0 1 0 " + user +
            L" | 0x10000000 2 3 0 2 0 S-1-5-32-544 | 0x10000000 2 3 0 5 0 S-1-5-18"};
}

BOOL WINAPI Denying(PSECURITY_DESCRIPTOR, HANDLE, DWORD, PGENERIC_MAPPING, PPRIVILEGE_SET, LPDWORD, LPDWORD granted,
                    LPBOOL status)
{
    *granted = 0;
    *status = FALSE;
    return TRUE;
}

} // namespace

TEST_F(SaveFolders, FirstCallCreatesSecondChecksDeniedAccessIsRepaired)
{
    ASSERT_TRUE(made && dll);
    for (const Folder& f : kFolders) {
        SCOPED_TRACE(f.name);
        const std::wstring product = tree / f.product;
        const std::wstring final = product + user;
        LogCapture log;
        {
            const SecurityHooks hooks(dll);
            ASSERT_TRUE(hooks.active());
            EXPECT_EQ(Call(f.name), final);
            EXPECT_EQ(hooks.Calls(L"SetEntries"), UserFolderEntries(user));
            EXPECT_EQ(hooks.Calls(L"CreateDirectoryW"),
                      (Lines{L"CreateDirectoryW " + product + L" none",
                             L"CreateDirectoryW " + final + L" 24 0 " + UserFolderDacl()}));
            EXPECT_EQ(hooks.Calls(L"AccessCheck").size(), 1u) << "full access: no repair";
        }
        EXPECT_EQ(GetFileAttributesW(product.c_str()) & kHiddenSystem, kHiddenSystem);
        EXPECT_EQ(GetFileAttributesW(final.c_str()) & kHiddenSystem, kHiddenSystem);

        {
            const SecurityHooks hooks(dll);
            EXPECT_EQ(Call(f.name), final);
            EXPECT_EQ(hooks.Calls(L"CreateDirectoryW"), Lines{});
            EXPECT_EQ(hooks.Calls(L"SetNamedSecurityInfoW").size(), 1u) << "the product folder's Users grant, again";
            EXPECT_EQ(hooks.Calls(L"AccessCheck").size(), 1u);
            EXPECT_EQ(Where(log, IsError), Records{});
        }
        // Denied access is repaired once: the list is written anew, then checked again.
        const SecurityHooks hooks(dll, {.accessChecks = {1, 0}});
        log.Clear();
        EXPECT_EQ(Call(f.name), final);

        Lines steps;
        for (const auto& call : hooks.Calls()) {
            const std::wstring name = call.substr(0, call.find(L' '));
            if (name == L"AccessCheck" || name == L"SetSecurityInfo" || call.find(L"SetNamedSecurityInfoW " + final) == 0) {
                steps.push_back(name);
            }
        }
        EXPECT_EQ(steps, (Lines{L"AccessCheck", L"SetNamedSecurityInfoW", L"SetSecurityInfo", L"AccessCheck"}));
        EXPECT_EQ(hooks.Calls(L"SetEntries"), UserFolderEntries(user));
        // Opened to rewrite its list only (READ_CONTROL | WRITE_DAC, no sharing, as a folder).
        EXPECT_EQ(hooks.Calls(L"CreateFileW"), Lines{L"CreateFileW " + final + L" 0x60000 0 0 3 0x2000000 0"});
        EXPECT_EQ(hooks.Calls(L"SetSecurityInfo"), Lines{L"SetSecurityInfo 1 1 4 0 " + UserFolderDacl()});
        const std::wstring kind = f.kind;
        EXPECT_EQ(Where(log, [](const LogRecord& r) { return r.line.find(L" folder") != std::wstring::npos; }),
                  (Records{DirLine(4, L"can't access " + kind + L" folder, permission is 0", f.name),
                           DirLine(3, L"get " + kind + L" folder access ret: 1, get permission: 2032127", f.name)}));
    }
}

TEST_F(SaveFolders, FallbacksAndFailedSteps)
{
    ASSERT_TRUE(made && dll);
    const std::wstring fixedBase = L"C:\\ProgramData\\Dadez\\Brimlet\\";
    ASSERT_FALSE(Exists(fixedBase)) << "the fixed application-data folder must not exist in the test prefix";
    {
        SCOPED_TRACE("application-data path fails: the fixed base, never created here");
        const ScopedEnv fails(L"FERRYDOCK_APPDATA_RESULT", L"1");
        LogCapture log;
        EXPECT_EQ(Call("GetSaveDbDir"), fixedBase + L"Ferrydock\\");
        EXPECT_EQ(log.Records(), (Records{DirLine(4, L"createDirectory failed3", "CreateGeneralDirectory"),
                                          DirLine(4, L"GetSaveDbDir CreateGeneralDirectory Failed!", "GetSaveDbDir")}));
        EXPECT_FALSE(Exists(fixedBase));
    }
    const LogRecord shareFailed = DirLine(4, L"Create veltra share dir failed!", "GetSaveFileDir");
    const std::pair<std::wstring, std::wstring> shares[] = {
        {L"", L"\\Ferrydock\\"},                             // an empty share path cannot be created
        {tree / L"a\\b", tree / L"a\\b\\Ferrydock\\"},        // one level only
        {tree / L"new", tree / L"new\\Ferrydock\\" + user}}; // a missing share folder is made
    for (const auto& [sharePath, expected] : shares) {
        SCOPED_TRACE(testing::PrintToString(sharePath));
        const ScopedEnv other(L"FERRYDOCK_SHARE_PATH", sharePath.c_str());
        LogCapture log;
        EXPECT_EQ(Call("GetSaveFileDir"), expected);
        EXPECT_EQ(Where(log, IsError), expected.back() == L'\\' ? Records{shareFailed} : Records{});
    }
    SCOPED_TRACE("application-data path succeeds but is empty: relative to the current folder");
    const ScopedEnv empty(L"FERRYDOCK_APPDATA_PATH", L"");
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(tree.root.c_str()));
    EXPECT_EQ(Call("GetSaveDbDir"), L"Ferrydock\\" + user);
    SetCurrentDirectoryW(previous);
    EXPECT_TRUE(Exists(tree / L"Ferrydock\\" + user));
}

TEST_F(SaveFolders, BufferRulesOfAllThreeExports)
{
    ASSERT_TRUE(made && dll);
    const std::pair<const char*, const wchar_t*> exports[] = {{"GetSaveFileDir", L"dir is null or len is less than 1"},
                                                              {"GetSaveDbDir", L"dir is null or len is less than 1"},
                                                              {"GetCurrentUserName", L"input is empty"}};
    for (const auto& [name, refusal] : exports) {
        const std::wstring text = Call(name);
        const int exact = static_cast<int>(text.size()) + 1;
        const std::wstring where = L"(FerrydockIpc::" + std::wstring(name, name + strlen(name)) + L")";
        const LogRecord tooSmall{4, L"wcscpy_s path fail: 34" + where};
        const LogRecord refused{4, refusal + where};
        struct Case {
            int length;
            bool nullBuffer;
            std::wstring expected; // "#": untouched
            Records log;
        };
        const Case cases[] = {{exact, false, text, {}},    {exact - 1, false, L"", {tooSmall}}, {1, false, L"#", {refused}},
                              {0, false, L"#", {refused}}, {-5, false, L"#", {refused}},       {64, true, L"#", {refused}}};
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << name << " length " << c.length << (c.nullBuffer ? " null" : ""));
            std::vector<wchar_t> buffer(static_cast<size_t>(exact + 1), L'#');
            buffer[1] = buffer[static_cast<size_t>(exact)] = L'\0';
            LogCapture log;
            Export(name)(c.nullBuffer ? nullptr : buffer.data(), c.length);
            EXPECT_EQ(std::wstring(buffer.data()), c.expected);
            EXPECT_EQ(Where(log, [](const LogRecord& r) { return r.line.find(L"DIR_MANAGER_LOG_TAG") != 0; }), c.log);
        }
    }
}

// The loser of a creation race may see error 183 on the product folder and get its
// path for that call; the final folder is made once and both callers end up there.
TEST_F(SaveFolders, TwoThreadsRaceThroughTheFirstCall)
{
    ASSERT_TRUE(made && dll);
    for (const Folder& f : kFolders) {
        SCOPED_TRACE(f.name);
        const std::wstring product = tree / f.product;
        std::wstring results[2];
        std::thread first([&] { results[0] = Call(f.name); });
        std::thread second([&] { results[1] = Call(f.name); });
        first.join();
        second.join();
        EXPECT_TRUE(results[0] == product + user || results[1] == product + user);
        EXPECT_TRUE(results[0] == product + user || results[0] == product) << testing::PrintToString(results[0]);
        EXPECT_TRUE(results[1] == product + user || results[1] == product) << testing::PrintToString(results[1]);
        EXPECT_EQ(GetFileAttributesW((product + user).c_str()) & kHiddenSystem, kHiddenSystem);
    }
}

// Every call obtains and releases tokens, SIDs, descriptors, lists and handles; none
// may stay behind. A denying access check sends every call through the repair too.
TEST_F(SaveFolders, HundredsOfCallsLeaveHandlesAndMemoryFlat)
{
    ASSERT_TRUE(made && dll);
    const std::pair<const char*, bool> cases[] = {{"GetSaveFileDir", false}, {"GetSaveDbDir", false},
                                                  {"GetCurrentUserName", false}, {"GetSaveFileDir", true},
                                                  {"GetSaveDbDir", true}};
    for (const auto& [name, repair] : cases) {
        SCOPED_TRACE(testing::Message() << name << (repair ? " with repair" : ""));
        decltype(&::AccessCheck) real = nullptr;
        const auto deny = repair ? Patch(dll, "advapi32.dll", "AccessCheck", &Denying, real) : nullptr;
        wchar_t buffer[1024];
        for (int i = 0; i < 20; ++i) {
            Export(name)(buffer, 1024);
        }
        const testsupport::ProcessUsage before = testsupport::MeasureProcessUsage();
        for (int i = 0; i < 300; ++i) {
            Export(name)(buffer, 1024);
            Export(name)(buffer, 8);
        }
        const testsupport::ProcessUsage after = testsupport::MeasureProcessUsage();
        std::printf("%s%s: 600 calls, handles %lu -> %lu, private bytes %zu -> %zu, heap bytes %zu -> %zu\n", name,
                    repair ? " (repair)" : "", before.handles, after.handles, static_cast<size_t>(before.privateBytes),
                    static_cast<size_t>(after.privateBytes), static_cast<size_t>(before.heapBytes),
                    static_cast<size_t>(after.heapBytes));
        ASSERT_GT(before.handles, 0u);
        EXPECT_LE(after.handles, before.handles + 2);
        EXPECT_LE(after.privateBytes, before.privateBytes + 512 * 1024);
        EXPECT_LE(after.heapBytes, before.heapBytes + 4096) << "600 calls keeping even one SID would pass this";
    }
}
