#include "FerrydockUITrans.h"
#include "ipc/IPCHelper.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <windows.h>

using testsupport::LogCapture;
using testsupport::LogRecord;

namespace {

const std::wstring kRefused = L"DRAGDROP - Contains file types that do not support transfer ";
const std::wstring kTag = L"(FerrydockIpc::IPCHelper::IsSupportFileType)";

} // namespace

// The extension is the text after the last dot of the whole path, compared ignoring ASCII case;
// the product property allows every type without a word. The export refuses a null name itself.
TEST(FileType, ApkAndExeAreRefusedUnlessThePropertyAllowsEverything)
{
    HMODULE library = LoadLibraryW(L"FerrydockUITrans.dll");
    const auto check = reinterpret_cast<PFN_IsSupportFileType>(
        reinterpret_cast<void*>(GetProcAddress(library, "IsSupportFileType")));
    ASSERT_NE(check, nullptr);
    const struct {
        const wchar_t* properties;
        const wchar_t* name;
        const wchar_t* refused; // the extension logged; null: allowed
    } cases[] = {
        {nullptr, L"C:\\SETUP.EXE", L"EXE"}, {nullptr, L"game.Apk", L"Apk"}, {nullptr, L"notes.exe.txt", nullptr},
        {nullptr, L"readme", nullptr}, {nullptr, L"C:\\a.ex", nullptr}, {nullptr, L"C:\\a.exes", nullptr},
        {nullptr, L"C:\\tools.exe\\readme", nullptr}, {nullptr, L"C:\\tools.exe\\archive.apk", L"apk"},
        {nullptr, L"C:\\a.\u0435xe", nullptr}, {nullptr, L"a.zxe", nullptr},
        {L"Other=1;KDLoginGuide=china", L"setup.exe", nullptr}, {L"KDLoginGuide=china;", L"setup.exe", nullptr},
        {L"KDLoginGuide=China", L"setup.exe", L"exe"}, {L"KDLoginGuide=chinas", L"setup.exe", L"exe"},
        {L"XKDLoginGuide=china", L"setup.exe", L"exe"}, {L"KDLoginGuide", L"setup.exe", L"exe"},
    };
    for (const auto& c : cases) {
        SetEnvironmentVariableW(L"FERRYDOCK_SUPPORT_PROPERTIES", c.properties);
        LogCapture capture;
        EXPECT_EQ(check(c.name), c.refused == nullptr) << testing::PrintToString(std::wstring(c.name));
        EXPECT_EQ(capture.Records(), (c.refused ? std::vector<LogRecord>{{4, kRefused + c.refused + kTag}}
                                                : std::vector<LogRecord>{}));
    }
    SetEnvironmentVariableW(L"FERRYDOCK_SUPPORT_PROPERTIES", nullptr);
    LogCapture capture;
    EXPECT_FALSE(check(nullptr));
    EXPECT_FALSE(FerrydockIpc::IPCHelper::GetInstance()->IsSupportFileType(nullptr));
    EXPECT_EQ(capture.Records(), (std::vector<LogRecord>{{4, L"dir is null(FerrydockIpc::IsSupportFileType)"},
                                                         {3, L"[FD]IsSupportFileType file is nullptr" + kTag}}));
    FreeLibrary(library);
}
