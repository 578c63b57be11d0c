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
    THREADENTRY32 entry{};
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

} // namespace

// The extension is the text after the last dot of the whole path, compared ignoring ASCII case;
// the product property allows every type without a word.
TEST(FileType, ApkAndExeAreRefusedUnlessThePropertyAllowsEverything)
{
    const struct {
        const wchar_t* properties;
        const wchar_t* name;
        const wchar_t* refused; // the extension logged; null: allowed
    } cases[] = {
        {nullptr, L"C:\\SETUP.EXE", L"EXE"}, {nullptr, L"game.Apk", L"Apk"}, {nullptr, L"notes.exe.txt", nullptr},
        {nullptr, L"readme", nullptr}, {nullptr, L"C:\\a.ex", nullptr}, {nullptr, L"C:\\a.exes", nullptr},
        {nullptr, L"C:\\tools.exe\\readme", nullptr}, {nullptr, L"C:\\tools.exe\\archive.apk", L"apk"}, {nullptr, L"C:\\a.\u0435xe", nullptr}, {nullptr, L"a.zxe", nullptr},
        {L"Other=1;KDLoginGuide=china", L"setup.exe", nullptr}, {L"KDLoginGuide=china;", L"setup.exe", nullptr},
        {L"KDLoginGuide=China", L"setup.exe", L"exe"}, {L"KDLoginGuide=chinas", L"setup.exe", L"exe"},
        {L"XKDLoginGuide=china", L"setup.exe", L"exe"}, {L"KDLoginGuide", L"setup.exe", L"exe"},
    };
    for (const auto& c : cases) {
        SetEnvironmentVariableW(L"FERRYDOCK_SUPPORT_PROPERTIES", c.properties);
        LogCapture capture;
        EXPECT_EQ(MemberCheck(c.name), c.refused == nullptr) << testing::PrintToString(std::wstring(c.name));
        EXPECT_EQ(capture.Records(), (c.refused ? std::vector<LogRecord>{{4, kRefused + c.refused + kTag}}
                                                : std::vector<LogRecord>{}));
    }
    SetEnvironmentVariableW(L"FERRYDOCK_SUPPORT_PROPERTIES", nullptr);
    LogCapture capture;
    EXPECT_FALSE(MemberCheck(nullptr));
    EXPECT_EQ(capture.Records(), (std::vector<LogRecord>{{3, L"[FD]IsSupportFileType file is nullptr" + kTag}}));
}

TEST(FileType, ExportRefusesNullBeforeAskingTheMember)
{
    HMODULE library = LoadLibraryW(L"FerrydockUITrans.dll");
    const auto check = reinterpret_cast<PFN_IsSupportFileType>(
        reinterpret_cast<void*>(GetProcAddress(library, "IsSupportFileType")));
    ASSERT_NE(check, nullptr);
    LogCapture capture;
    const int threadsBefore = ThreadsOfThisProcess();
    EXPECT_FALSE(check(nullptr));
    EXPECT_EQ(ThreadsOfThisProcess(), threadsBefore) << "a null name must not create the IPC helper";
    EXPECT_FALSE(check(L"x.apk"));
    EXPECT_TRUE(check(L"x.png"));
    EXPECT_EQ(capture.Records(), (std::vector<LogRecord>{{4, L"dir is null(FerrydockIpc::IsSupportFileType)"},
                                                         {4, kRefused + L"apk" + kTag}}));
    FreeLibrary(library);
}
