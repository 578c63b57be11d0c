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

const char* const kExports[] = {"GetSaveFileDir", "GetSaveDbDir", "GetCurrentUserName"};

class SaveFolders : public testing::Test {
protected:
    void Call(const char* name, wchar_t* buffer, int length) const
    {
        reinterpret_cast<PFN_GetTextIntoBuffer>(reinterpret_cast<void*>(GetProcAddress(dll, name)))(buffer, length);
    }
    std::wstring Call(const char* name) const
    {
        std::vector<wchar_t> buffer(1024, L'#');
        Call(name, buffer.data(), 1024);
        return buffer.data();
    }

    // Each test case runs in a process of its own: the variables need no restoring.
    void SetUp() override
    {
        ASSERT_TRUE(CreateDirectoryW((tree / L"share").c_str(), nullptr) && dll);
        ASSERT_TRUE(CreateDirectoryW((tree / L"appdata").c_str(), nullptr));
        SetEnvironmentVariableW(L"FERRYDOCK_SHARE_PATH", (tree / L"share").c_str());
        SetEnvironmentVariableW(L"FERRYDOCK_APPDATA_PATH", (tree / L"appdata").c_str());
    }

    TempTree tree;
    // the user's folder: full access for the user, the administrators and the system, inherited
    const std::wstring user = ProcessUserSid();
    const std::wstring userDacl = L"D:(A;OICI;GA;;;" + user + L")(A;OICI;GA;;;BA)(A;OICI;GA;;;SY)";
    HMODULE dll = LoadLibraryW(L"FerrydockUITrans.dll");
};

// The records of at least level whose line holds part.
Records Logged(const LogCapture& log, int level = 4, const std::wstring& part = L"")
{
    Records kept = log.Records();
    kept.erase(std::remove_if(kept.begin(), kept.end(),
                              [&](auto& r) { return r.level < level || r.line.find(part) == std::wstring::npos; }),
               kept.end());
    return kept;
}

} // namespace

TEST_F(SaveFolders, CreatedCheckedRepairedBufferRulesAndFallbacks)
{
    for (const char* name : {kExports[0], kExports[1]}) {
        SCOPED_TRACE(name);
        const std::wstring kind = name == std::string("GetSaveFileDir") ? L"file" : L"db";
        const std::wstring product = tree / (kind == L"file" ? L"share" : L"appdata") + L"\\Ferrydock\\",
                           final = product + user;
        LogCapture log;
        // What the call passes to the system; the lists written by name only up to their text.
        const auto calls = [&](bool deny) {
            const auto denying = testsupport::DenyingAccessCheck(dll, deny);
            const SecurityHooks hooks(dll);
            EXPECT_EQ(Call(name), final);
            Lines lines = hooks.Calls();
            for (auto& line : lines) {
                line = line.rfind(L"SetNamed", 0) == 0 ? line.substr(0, line.find(L" D:")) : line;
            }
            return lines;
        };
        const std::wstring grant = L"SetNamedSecurityInfoW " + product + L" 1 4 0";
        // The user's, the administrators' and the system's full access, inherited by everything below.
        EXPECT_EQ(calls(false), (Lines{L"CreateDirectoryW " + product + L" none", grant,
                                       L"CreateDirectoryW " + final + L" 24 0 " + userDacl}));
        EXPECT_TRUE(HiddenAndSystem(product) && HiddenAndSystem(final));
        EXPECT_EQ(calls(false), Lines{grant});
        EXPECT_EQ(Logged(log), Records{});
        // Denied access is repaired once: the Users grant, the list written anew through a handle
        // opened for that only (READ_CONTROL | WRITE_DAC, no sharing, as a folder).
        EXPECT_EQ(calls(true), (Lines{grant, L"SetNamedSecurityInfoW " + final + L" 1 4 0",
                                      L"CreateFileW " + final + L" 0x60000 0 0 3 0x2000000 0",
                                      L"SetSecurityInfo 1 4 0 " + userDacl}));
        EXPECT_EQ(Logged(log, 3, L" folder"),
                  (Records{DirLine(4, L"can't access " + kind + L" folder, permission is 0", name),
                           DirLine(3, L"get " + kind + L" folder access ret: 0, get permission: 0", name)}));
    }
    // The buffer rules of all three exports.
    for (const char* name : kExports) {
        const std::wstring text = Call(name), where = L"(FerrydockIpc::" + std::wstring(name, name + strlen(name)) + L")";
        const int exact = static_cast<int>(text.size()) + 1;
        const LogRecord tooSmall{4, L"wcscpy_s path fail: 34" + where};
        const LogRecord refused{4, (name[3] == 'C' ? L"input is empty" : L"dir is null or len is less than 1") + where};
        // length, no buffer, the text left ("#": untouched), the log
        const std::tuple<int, bool, std::wstring, Records> cases[] = {
            {exact, false, text, {}}, {exact - 1, false, L"", {tooSmall}}, {1, false, L"#", {refused}},
            {-5, false, L"#", {refused}}, {64, true, L"#", {refused}}};
        for (const auto& [length, nullBuffer, expected, logged] : cases) {
            SCOPED_TRACE(testing::Message() << name << " length " << length << (nullBuffer ? " null" : ""));
            std::vector<wchar_t> buffer(static_cast<size_t>(exact + 1), L'#');
            buffer[1] = buffer[static_cast<size_t>(exact)] = L'\0';
            LogCapture log;
            Call(name, nullBuffer ? nullptr : buffer.data(), length);
            EXPECT_EQ(std::wstring(buffer.data()), expected);
            EXPECT_EQ(Logged(log), logged);
        }
    }
    // Fallbacks and failed steps.
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
    // The application-data path fails: the fixed base, absent in the test prefix, is not created.
    SetEnvironmentVariableW(L"FERRYDOCK_APPDATA_RESULT", L"1");
    LogCapture log;
    EXPECT_EQ(Call("GetSaveDbDir"), L"C:\\ProgramData\\Dadez\\Brimlet\\Ferrydock\\");
    EXPECT_EQ(log.Records(), (Records{DirLine(4, L"createDirectory failed3", "CreateGeneralDirectory"),
                                      DirLine(4, L"GetSaveDbDir CreateGeneralDirectory Failed!", "GetSaveDbDir")}));
}

// Every call obtains and releases tokens, SIDs, descriptors, lists and handles; none may stay
// behind. Every other round denies the access check, which sends each call through the repair.
TEST_F(SaveFolders, RepeatedCallsLeaveTheProcessFlat)
{
    const auto round = [this](int i) {
        const auto deny = testsupport::DenyingAccessCheck(dll, i % 2 != 0);
        for (const char* name : kExports) {
            Call(name);
        }
    };
    round(0), round(1);
    const auto before = testsupport::MeasureProcessUsage();
    for (int i = 0; i < 8; ++i) {
        round(i);
    }
    const auto after = testsupport::MeasureProcessUsage();
    std::printf("24 calls: handles %lu -> %lu, heap bytes %zu -> %zu\n", before.handles, after.handles,
                static_cast<size_t>(before.heapBytes), static_cast<size_t>(after.heapBytes));
    EXPECT_LE(after.handles, before.handles + 2);
    EXPECT_LE(after.heapBytes, before.heapBytes + 256) << "8 repairs keeping 64 bytes each would exceed this";
}
