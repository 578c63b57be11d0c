#include "FerrydockUITrans.h"
#include "ipc/IPCHelper.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <tlhelp32.h>

using testsupport::LogCapture;
using testsupport::LogRecord;

namespace {

bool MemberCheck(const wchar_t* file) { return FerrydockIpc::IPCHelper::GetInstance()->IsSupportFileType(file); }

// The IPC client runs a thread of its own: a new thread shows that the helper was created.
int ThreadsOfThisProcess()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    }
    CloseHandle(snapshot);
    return count;
}

const std::wstring kRefused = L"DRAGDROP - Contains file types that do not support transfer ";
const std::wstring kTag = L"(FerrydockIpc::IPCHelper::IsSupportFileType)";

void SetProperties(const wchar_t* value) { SetEnvironmentVariableW(L"FERRYDOCK_SUPPORT_PROPERTIES", value); }

} // namespace

TEST(FileType, ExtensionIsTheTextAfterTheLastDotOfTheWholePath)
{
    SetProperties(nullptr);
    const struct {
        const wchar_t* name;
        bool allowed;
        const wchar_t* refusedExtension;
    } cases[] = {
        {L"C:\\setup.exe", false, L"exe"}, {L"C:\\SETUP.EXE", false, L"EXE"}, {L"game.Apk", false, L"Apk"},
        {L"notes.exe.txt", true, nullptr}, {L"readme", true, nullptr}, {L"trailing.", true, nullptr},
        {L".exe", false, L"exe"}, {L"C:\\a.ex", true, nullptr}, {L"C:\\a.exes", true, nullptr}, {L"", true, nullptr},
        {L"C:\\tools.exe\\readme", true, nullptr}, // extension "exe\readme"
        {L"C:\\tools.exe\\archive.apk", false, L"apk"},
        {L"C:\\a.\u0435xe", true, nullptr}, // Cyrillic e: only ASCII letters fold
    };
    for (const auto& c : cases) {
        LogCapture capture;
        EXPECT_EQ(MemberCheck(c.name), c.allowed) << testing::PrintToString(std::wstring(c.name));
        std::vector<LogRecord> expected;
        if (c.refusedExtension != nullptr) {
            expected.push_back({4, kRefused + c.refusedExtension + kTag});
        }
        EXPECT_EQ(capture.Records(), expected);
    }
    LogCapture capture;
    EXPECT_FALSE(MemberCheck(nullptr));
    EXPECT_EQ(capture.Records(), (std::vector<LogRecord>{{3, L"[FD]IsSupportFileType file is nullptr" + kTag}}));
}

TEST(FileType, TheProductPropertyAllowsEveryTypeSilently)
{
    const struct {
        const wchar_t* properties;
        bool everything;
    } cases[] = {
        {L"KDLoginGuide=china", true}, {L"Other=1;KDLoginGuide=china", true}, {L"KDLoginGuide=china;", true},
        {L"KDLoginGuide=China", false}, {L"KDLoginGuide=chinas", false}, {L"XKDLoginGuide=china", false},
        {L"KDLoginGuide", false}, {L"", false},
    };
    for (const auto& c : cases) {
        SetProperties(c.properties);
        LogCapture capture;
        EXPECT_EQ(MemberCheck(L"setup.exe"), c.everything) << testing::PrintToString(std::wstring(c.properties));
        EXPECT_EQ(capture.Records().empty(), c.everything);
    }
    SetProperties(nullptr);
}

TEST(FileType, ExportRefusesNullBeforeAskingTheMember)
{
    SetProperties(nullptr);
    HMODULE library = LoadLibraryW(L"FerrydockUITrans.dll");
    ASSERT_NE(library, nullptr);
    const auto check = reinterpret_cast<PFN_IsSupportFileType>(
        reinterpret_cast<void*>(GetProcAddress(library, "IsSupportFileType")));
    ASSERT_NE(check, nullptr);
    LogCapture capture;
    const int threadsBefore = ThreadsOfThisProcess();
    EXPECT_FALSE(check(nullptr));
    EXPECT_EQ(ThreadsOfThisProcess(), threadsBefore) << "a null name must not create the IPC helper";
    EXPECT_FALSE(check(L"x.apk"));
    EXPECT_GT(ThreadsOfThisProcess(), threadsBefore) << "the first real check creates the IPC helper";
    EXPECT_TRUE(check(L"x.png"));
    EXPECT_EQ(capture.Records(), (std::vector<LogRecord>{{4, L"dir is null(FerrydockIpc::IsSupportFileType)"},
                                                         {4, kRefused + L"apk" + kTag}}));
    FreeLibrary(library);
}
