// The two folder exports on real folders in a temporary tree; the share and
// application-data folders come from the stand-ins' environment variables.
#include "SecurityHooks.h"

#include "storage/StorageApi.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <thread>

using namespace storagetest;
using testsupport::LogCapture;
using testsupport::LogRecord;

namespace {

constexpr DWORD kHiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
using Export = void (*)(wchar_t*, int);

struct Folder {
    const char* name;
    Export call;
    const char* where;            // the member's qualified name
    const wchar_t* cannotAccess;  // first line of the repair
    const wchar_t* accessRet;     // second line of the repair
};

const Folder kFolders[] = {
    {"file", FerrydockIpc::GetSaveFileDir, "FerrydockIpc::DirManager::GetSaveFileDir",
     L"can't access file folder, permission is ", L"get file folder access ret: "},
    {"db", FerrydockIpc::GetSaveDbDir, "FerrydockIpc::DirManager::GetSaveDbDir", L"can't access db folder, permission is ",
     L"get db folder access ret: "},
};

std::wstring Call(Export call, int length = 1024)
{
    std::vector<wchar_t> buffer(static_cast<size_t>(length), L'#');
    call(buffer.data(), length);
    return buffer.data();
}

std::wstring Wide(const char* text) { return std::wstring(text, text + strlen(text)); }

LogRecord Line(int level, const std::wstring& text, const char* where)
{
    return {level, L"DIR_MANAGER_LOG_TAG " + text + L"(" + Wide(where) + L")"};
}

std::vector<LogRecord> Errors(const LogCapture& log)
{
    std::vector<LogRecord> errors;
    for (const auto& record : log.Records()) {
        if (record.level == 4) {
            errors.push_back(record);
        }
    }
    return errors;
}

class SaveFolders : public testing::Test {
protected:
    std::wstring Product(const Folder& f) const
    {
        return f.call == FerrydockIpc::GetSaveFileDir ? tree / L"share\\Ferrydock\\" : tree / L"appdata\\Ferrydock\\";
    }

    TempTree tree;
    const std::wstring user = ProcessUserSid();
    const bool made = MakeFolder(tree / L"share") && MakeFolder(tree / L"appdata");
    ScopedEnv share{L"FERRYDOCK_SHARE_PATH", (tree / L"share").c_str()};
    ScopedEnv appData{L"FERRYDOCK_APPDATA_PATH", (tree / L"appdata\\").c_str()};
    ScopedEnv result{L"FERRYDOCK_APPDATA_RESULT", nullptr};
};

} // namespace

TEST_F(SaveFolders, FirstCallCreatesSecondCallOnlyChecks)
{
    ASSERT_TRUE(made);
    for (const Folder& f : kFolders) {
        SCOPED_TRACE(f.name);
        const std::wstring product = Product(f);
        const std::wstring final = product + user;
        {
            const SecurityHooks hooks(TestModule());
            ASSERT_TRUE(hooks.active());
            LogCapture log;
            EXPECT_EQ(Call(f.call), final);
            EXPECT_TRUE(Errors(log).empty());
            ASSERT_EQ(g_recorded.created.size(), 2u);
            EXPECT_EQ(g_recorded.created[0].path, product);
            EXPECT_FALSE(g_recorded.created[0].withAttributes);
            EXPECT_EQ(g_recorded.created[1].path, final);
            EXPECT_EQ(g_recorded.created[1].dacl,
                      L"D:(A;OICI;GA;;;" + user + L")(A;OICI;GA;;;BA)(A;OICI;GA;;;SY)");
            EXPECT_EQ(g_recorded.checks.size(), 1u) << "full access granted: no repair";
        }
        EXPECT_EQ(GetFileAttributesW(product.c_str()) & kHiddenSystem, kHiddenSystem);
        EXPECT_EQ(GetFileAttributesW(final.c_str()) & kHiddenSystem, kHiddenSystem);

        const SecurityHooks hooks(TestModule());
        EXPECT_EQ(Call(f.call), final);
        EXPECT_TRUE(g_recorded.created.empty());
        EXPECT_EQ(g_recorded.checks.size(), 1u);
        const std::vector<std::string> order = {"GetNamedSecurityInfoW", "SetNamedSecurityInfoW"};
        std::vector<std::string> named;
        for (const auto& call : g_recorded.calls) {
            if (call.find("NamedSecurityInfo") != std::string::npos) {
                named.push_back(call);
            }
        }
        EXPECT_EQ(named, order) << "the product folder's Users entry is written again";
    }
}

TEST_F(SaveFolders, DeniedAccessIsRepairedOnce)
{
    ASSERT_TRUE(made);
    for (const Folder& f : kFolders) {
        SCOPED_TRACE(f.name);
        const std::wstring final = Call(f.call);
        Faults faults;
        faults.accessCheckDenials = {1, 0};
        const SecurityHooks hooks(TestModule(), faults);
        ASSERT_TRUE(hooks.active());
        LogCapture log;
        EXPECT_EQ(Call(f.call), final);

        std::vector<std::string> repair(g_recorded.calls.begin(), g_recorded.calls.end());
        const auto first = std::find(repair.begin(), repair.end(), "AccessCheck");
        repair.erase(repair.begin(), first);
        std::vector<std::string> writes;
        for (const auto& call : repair) {
            if (call == "AccessCheck" || call == "SetNamedSecurityInfoW" || call == "SetSecurityInfo") {
                writes.push_back(call);
            }
        }
        EXPECT_EQ(writes, (std::vector<std::string>{"AccessCheck", "SetNamedSecurityInfoW", "SetSecurityInfo",
                                                     "AccessCheck"}));
        ASSERT_GE(g_recorded.written.size(), 3u);
        EXPECT_EQ(g_recorded.written[1].name, final);
        EXPECT_EQ(g_recorded.written[2].dacl, L"D:(A;OICI;GA;;;" + user + L")(A;OICI;GA;;;BA)(A;OICI;GA;;;SY)");
        const std::vector<LogRecord> expected = {
            Line(4, f.cannotAccess + std::wstring(L"0"), f.where),
            Line(3, f.accessRet + std::wstring(L"1, get permission: 2032127"), f.where)};
        std::vector<LogRecord> repairLines;
        for (const auto& record : log.Records()) {
            if (record.line.find(L"access ret") != std::wstring::npos || record.line.find(L"can't") != std::wstring::npos) {
                repairLines.push_back(record);
            }
        }
        EXPECT_EQ(repairLines, expected);
    }
}

TEST_F(SaveFolders, FallbacksAndFailedSteps)
{
    ASSERT_TRUE(made);
    const std::wstring fallbackBase = L"C:\\ProgramData\\Dadez\\Brimlet\\";
    if (Exists(fallbackBase)) {
        GTEST_SKIP() << "the fallback folder exists in this prefix; the failure path cannot be shown";
    }
    const char* fileWhere = "FerrydockIpc::DirManager::GetSaveFileDir";
    const char* dbWhere = "FerrydockIpc::DirManager::GetSaveDbDir";
    {
        SCOPED_TRACE("application-data path fails: the fixed base, which is never created");
        const ScopedEnv fails(L"FERRYDOCK_APPDATA_RESULT", L"1");
        LogCapture log;
        EXPECT_EQ(Call(FerrydockIpc::GetSaveDbDir), fallbackBase + L"Ferrydock\\");
        EXPECT_EQ(Errors(log), (std::vector<LogRecord>{
                                   Line(4, L"createDirectory failed3", "FerrydockIpc::DirManager::CreateGeneralDirectory"),
                                   Line(4, L"GetSaveDbDir CreateGeneralDirectory Failed!", dbWhere)}));
        EXPECT_FALSE(Exists(fallbackBase));
    }
    {
        SCOPED_TRACE("empty share path");
        const ScopedEnv empty(L"FERRYDOCK_SHARE_PATH", L"");
        LogCapture log;
        EXPECT_EQ(Call(FerrydockIpc::GetSaveFileDir), L"\\Ferrydock\\");
        EXPECT_EQ(log.Records(), std::vector<LogRecord>{Line(4, L"Create veltra share dir failed!", fileWhere)});
    }
    {
        SCOPED_TRACE("share folder missing: one level is created");
        const ScopedEnv fresh(L"FERRYDOCK_SHARE_PATH", (tree / L"newshare").c_str());
        EXPECT_EQ(Call(FerrydockIpc::GetSaveFileDir), tree / L"newshare\\Ferrydock\\" + user);
    }
    {
        SCOPED_TRACE("share folder's parent missing");
        const ScopedEnv deep(L"FERRYDOCK_SHARE_PATH", (tree / L"a\\b").c_str());
        LogCapture log;
        EXPECT_EQ(Call(FerrydockIpc::GetSaveFileDir), tree / L"a\\b\\Ferrydock\\");
        EXPECT_EQ(log.Records(), std::vector<LogRecord>{Line(4, L"Create veltra share dir failed!", fileWhere)});
    }
    {
        SCOPED_TRACE("application-data path succeeds but is empty: relative to the current folder");
        const ScopedEnv empty(L"FERRYDOCK_APPDATA_PATH", L"");
        wchar_t previous[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, previous);
        ASSERT_TRUE(SetCurrentDirectoryW(tree.root().c_str()));
        EXPECT_EQ(Call(FerrydockIpc::GetSaveDbDir), L"Ferrydock\\" + user);
        SetCurrentDirectoryW(previous);
        EXPECT_TRUE(Exists(tree / L"Ferrydock\\" + user));
    }
}

TEST_F(SaveFolders, EmptySidTextLeavesTheProductFolder)
{
    ASSERT_TRUE(made);
    static decltype(&::LookupAccountNameW) realLookup;
    struct Fake {
        static BOOL WINAPI Lookup(LPCWSTR, LPCWSTR, PSID, LPDWORD, LPWSTR, LPDWORD, PSID_NAME_USE)
        {
            SetLastError(ERROR_NONE_MAPPED);
            return FALSE;
        }
    };
    const auto patch = Patch(TestModule(), "advapi32.dll", "LookupAccountNameW", &Fake::Lookup, realLookup);
    ASSERT_TRUE(patch->active());
    for (const Folder& f : kFolders) {
        SCOPED_TRACE(f.name);
        Faults faults;
        faults.accessCheckDenials = {1, 1};
        const SecurityHooks hooks(TestModule(), faults);
        LogCapture log;
        EXPECT_EQ(Call(f.call), Product(f));
        EXPECT_EQ(g_recorded.checks.size(), 2u) << "the check runs on the product folder itself";
        EXPECT_EQ(Errors(log), (std::vector<LogRecord>{
                                   Line(4, f.cannotAccess + std::wstring(L"0"), f.where),
                                   Line(4, L"ConvertStringSidToSid failed 1337",
                                        "FerrydockIpc::DirManager::SetDirctoryPermission")}));
    }
}

TEST_F(SaveFolders, BufferRules)
{
    ASSERT_TRUE(made);
    for (const Folder& f : kFolders) {
        const std::wstring path = Call(f.call);
        const int exact = static_cast<int>(path.size()) + 1;
        const std::wstring where = f.call == FerrydockIpc::GetSaveFileDir ? L"FerrydockIpc::GetSaveFileDir"
                                                                          : L"FerrydockIpc::GetSaveDbDir";
        const LogRecord tooSmall{4, L"wcscpy_s path fail: 34(" + where + L")"};
        const LogRecord refused{4, L"dir is null or len is less than 1(" + where + L")"};
        struct Case {
            int length;
            bool nullBuffer;
            std::wstring expected;
            std::vector<LogRecord> log;
        };
        const Case cases[] = {{exact, false, path, {}},    {exact - 1, false, L"", {tooSmall}},
                              {1, false, L"#", {refused}}, {0, false, L"#", {refused}},
                              {-5, false, L"#", {refused}}, {64, true, L"#", {refused}}};
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << f.name << " length " << c.length << (c.nullBuffer ? " null" : ""));
            std::vector<wchar_t> buffer(static_cast<size_t>(exact + 1), L'#');
            buffer[1] = L'\0';
            buffer.back() = L'\0';
            LogCapture log;
            f.call(c.nullBuffer ? nullptr : buffer.data(), c.length);
            EXPECT_EQ(std::wstring(buffer.data()), c.expected);
            EXPECT_EQ(buffer[static_cast<size_t>(exact)], L'\0') << "nothing past the capacity";
            std::vector<LogRecord> exportLines;
            for (const auto& record : log.Records()) {
                if (record.line.find(L"DIR_MANAGER_LOG_TAG") == std::wstring::npos) {
                    exportLines.push_back(record);
                }
            }
            EXPECT_EQ(exportLines, c.log);
        }
    }
}

TEST_F(SaveFolders, TwoThreadsRaceThroughTheFirstCall)
{
    ASSERT_TRUE(made);
    for (const Folder& f : kFolders) {
        SCOPED_TRACE(f.name);
        std::wstring results[2];
        std::thread first([&] { results[0] = Call(f.call); });
        std::thread second([&] { results[1] = Call(f.call); });
        first.join();
        second.join();
        const std::wstring final = Product(f) + user;
        // The loser of a creation race may see error 183 and fall back to the product
        // folder for that call; the winner always has the final folder.
        EXPECT_TRUE(results[0] == final || results[1] == final);
        for (const auto& r : results) {
            EXPECT_TRUE(r == final || r == Product(f)) << testing::PrintToString(r);
        }
        EXPECT_EQ(GetFileAttributesW(final.c_str()) & kHiddenSystem, kHiddenSystem);
        EXPECT_EQ(Call(f.call), final);
    }
}
