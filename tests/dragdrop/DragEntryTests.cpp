// Whole drags: into a drop target in another process, as every real drag goes, and into a
// window of ours under the X display; the request check, failures of the system calls, and
// the file type check.
#include "FerrydockUITrans.h"
#include "dragdrop/DataObject.h"
#include "dragdrop/DragDrop.h"
#include "dragdrop/DragTestSupport.h"
#include "ipc/IPCHelper.h"
#include "support/PeFile.h"
// The child-process helper that the service tests use: standard input and output on pipes.
#include "../../tools/service/ServiceProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <new>

using namespace dragtest;
using FerrydockIpc::FerrydockDataObject;
using testsupport::DropTargetWindow;
using testsupport::ImportPatch;
using testsupport::LogCapture;

namespace {

class Drag : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(OleInitialize(nullptr), S_OK); }
    void TearDown() override { OleUninitialize(); }
};

const std::wstring kEntry = L"(FerrydockIpc::ExecuteDragDrop)";
const std::wstring kObject = L"(FerrydockIpc::FerrydockDataObject::";

// The child's lines from the one that starts with heading up to the next heading.
std::vector<std::string> Section(const std::vector<std::string>& lines, const std::string& heading)
{
    auto first = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(heading, 0) == 0; });
    auto last = std::find_if(first == lines.end() ? first : first + 1, lines.end(),
                             [](const std::string& l) { return l.empty() || l[0] != ' '; });
    return std::vector<std::string>(first, last);
}

// COM serves the child's calls into this apartment only through this thread's messages.
void PumpWhile(const std::function<bool()>& busy)
{
    const ULONGLONG deadline = GetTickCount64() + 10000;
    do {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
    } while (busy() && GetTickCount64() < deadline &&
             MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT) != WAIT_FAILED);
}

template <typename Fn>
Fn Export(HMODULE library, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

} // namespace

// Refused requests run no drag and build nothing; the exported entry runs the same drag, and
// with no target under the cursor the drag still counts as run.
TEST_F(Drag, RequestsAreCheckedAndTheExportRunsTheSameDrag)
{
    const wchar_t* t = L"t";
    const std::wstring check = L"(FerrydockIpc::CheckDragDropParam)", failed = L"4 check dargdrop param failed" + kEntry;
    const std::vector<std::wstring> label = {L"3 SetLabelData begin" + kObject + L"SetLabelData)",
                                             L"3 SetLabelData end" + kObject + L"SetLabelData)"};
    const struct {
        DragDropParam param;
        std::vector<std::wstring> logged; // when refused
        size_t formats;                   // offered formats; 0: no drag ran
    } cases[] = {
        {{L"a|b", nullptr, nullptr, nullptr, -2, 1, 1, 1}, {}, 1},
        {{L"a|b", nullptr, nullptr, nullptr, 0, 0, 0, 0}, {}, 1},
        {{nullptr, t, t, t, 0, 2, 1, 1}, {L"4 textNum is invalid" + check, failed}, 0},
        {{nullptr, t, t, t, 0, -1, 1, 1}, {L"4 textNum is invalid" + check, failed}, 0},
        {{nullptr, t, nullptr, nullptr, 0, 1, 2, 0}, {L"4 htmlNum is invalid" + check, failed}, 0},
        {{nullptr, t, t, t, 0, 1, 1, 7}, {L"4 qqFormatNum is invalid" + check, failed}, 0},
        {{L"a||b", nullptr, nullptr, nullptr, 3, 0, 0, 0}, {L"4 file info is invalid" + kEntry}, 0},
        {{L"a", nullptr, nullptr, nullptr, 2, 0, 0, 0}, {L"4 file info is invalid" + kEntry}, 0},
        {{L"a|b", nullptr, nullptr, nullptr, 1, 0, 0, 0}, {L"4 file info is invalid" + kEntry}, 0},
    };
    DropTargetWindow target;
    ASSERT_TRUE(target.ready());
    for (const auto& c : cases) {
        target.Forget();
        LogCapture capture;
        EXPECT_EQ(FerrydockIpc::ExecuteDragDrop(&c.param), c.formats != 0);
        EXPECT_EQ(Logged(capture), c.formats != 0 ? label : c.logged) << "built only if run";
        EXPECT_EQ(target.offered.size(), c.formats);
    }
    LogCapture capture;
    EXPECT_FALSE(FerrydockIpc::ExecuteDragDrop(nullptr));
    EXPECT_EQ(Logged(capture), (std::vector<std::wstring>{L"4 param is null" + check, failed}));
    HMODULE library = LoadLibraryW(L"FerrydockUITrans.dll");
    const auto execute = Export<PFN_ExecuteDragDrop>(library, "ExecuteDragDrop");
    ASSERT_NE(execute, nullptr);
    target.Forget();
    EXPECT_TRUE(execute(&cases[1].param));
    DropTargetWindow::PutCursorOutside();
    EXPECT_TRUE(execute(&cases[1].param));
    EXPECT_EQ(target.drops, 1);
    FreeLibrary(library);
}

namespace {

int g_calls = 0;
int g_failAt = 0; // the non-throwing new (from 1) that fails
ImportPatch* g_patch = nullptr;

LPVOID WINAPI NoLock(HGLOBAL) { return nullptr; }
void* NewFailing(std::size_t size, const std::nothrow_t& tag)
{
    using NothrowNew = void* (*)(std::size_t, const std::nothrow_t&);
    return ++g_calls == g_failAt ? nullptr : g_patch->original<NothrowNew>()(size, tag);
}

} // namespace

TEST_F(Drag, FailingSystemCallsAreLoggedAndNeverCrash)
{
    {   // No lock: the file list stays zero-filled, the label is dropped.
        FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
        {
            ImportPatch patch(GetModuleHandleW(nullptr), "kernel32.dll", "GlobalLock", reinterpret_cast<void*>(&NoLock));
            ASSERT_TRUE(patch.active());
            data->SetFileData({L"ab"});
            data->SetLabelData();
        }
        Bytes files;
        EXPECT_EQ(Ask(data, CF_HDROP, &files), S_OK);
        EXPECT_EQ(files, Bytes(20 + 2 * 4, 0));
        EXPECT_EQ(Ask(data, data->LabelFormat()), E_INVALIDARG);
        EXPECT_EQ(data->Release(), 0u);
    }
    const DragDropParam none{nullptr, nullptr, nullptr, nullptr, 0, 0, 0, 0};
    IEnumFORMATETC* formats = nullptr;
    const auto text = [](FerrydockDataObject* d) { d->SetTextData(L"t"); };
    const auto drag = [&](FerrydockDataObject*) { EXPECT_FALSE(FerrydockIpc::ExecuteDragDrop(&none)); };
    const struct {
        const char* function; // the non-throwing new or new[]
        int failAt;
        std::function<void(FerrydockDataObject*)> run;
        std::wstring logged;
    } news[] = {
        {"_ZnwyRKSt9nothrow_t", 1, text, L"4 DRAGDROP - SetData fetc is nullptr!" + kObject + L"SetData)"},
        {"_ZnwyRKSt9nothrow_t", 2, text, L"4 DRAGDROP - SetData pStgMed is nullptr!" + kObject + L"SetData)"},
        {"_ZnayRKSt9nothrow_t", 1, [&](FerrydockDataObject* d) { EXPECT_EQ(d->EnumFormatEtc(DATADIR_GET, &formats), E_INVALIDARG); },
         L"4 DRAGDROP - new formatetcArray failed!" + kObject + L"EnumFormatEtc)"},
        {"_ZnwyRKSt9nothrow_t", 1, drag, L"4 dataSource is null" + kEntry},
        {"_ZnwyRKSt9nothrow_t", 2, drag, L"4 dataObject is null" + kEntry},
    };
    for (const auto& c : news) {
        FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
        LogCapture capture;
        {
            g_calls = 0;
            g_failAt = c.failAt;
            ImportPatch patch(GetModuleHandleW(nullptr), "libstdc++-6.dll", c.function,
                              reinterpret_cast<void*>(&NewFailing));
            g_patch = &patch;
            ASSERT_TRUE(patch.active()) << c.function;
            c.run(data);
        }
        const auto logged = Logged(capture);
        EXPECT_NE(std::find(logged.begin(), logged.end(), c.logged), logged.end()) << c.function << " " << c.failAt;
        EXPECT_EQ(data->Release(), 0u);
    }
}

// The extension is the text after the last dot of the whole path, compared ignoring ASCII case;
// the product property allows every type without a word. The export refuses a null name itself.
TEST(FileType, ApkAndExeAreRefusedUnlessThePropertyAllowsEverything)
{
    HMODULE library = LoadLibraryW(L"FerrydockUITrans.dll");
    const auto check = Export<PFN_IsSupportFileType>(library, "IsSupportFileType");
    ASSERT_NE(check, nullptr);
    const struct {
        const wchar_t* properties;
        const wchar_t* name;
        const wchar_t* refused; // the extension logged; null: allowed
    } cases[] = {
        {nullptr, L"C:\\SETUP.EXE", L"EXE"}, {nullptr, L"game.Apk", L"Apk"}, {nullptr, L"notes.exe.txt", nullptr},
        {nullptr, L"readme", nullptr}, {nullptr, L"C:\\a.ex", nullptr}, {nullptr, L"C:\\a.exes", nullptr},
        {nullptr, L"C:\\tools.exe\\archive.apk", L"apk"}, {nullptr, L"a.zxe", nullptr},
        {L"Other=1;KDLoginGuide=china", L"setup.exe", nullptr}, {L"KDLoginGuide=China", L"setup.exe", L"exe"},
    };
    for (const auto& c : cases) {
        SetEnvironmentVariableW(L"FERRYDOCK_SUPPORT_PROPERTIES", c.properties);
        LogCapture capture;
        EXPECT_EQ(check(c.name), c.refused == nullptr) << testing::PrintToString(std::wstring(c.name));
        EXPECT_EQ(Logged(capture), (c.refused ? std::vector<std::wstring>{L"4 DRAGDROP - Contains file types that "
                                                    L"do not support transfer " + std::wstring(c.refused) +
                                                    L"(FerrydockIpc::IPCHelper::IsSupportFileType)"}
                                              : std::vector<std::wstring>{}));
    }
    SetEnvironmentVariableW(L"FERRYDOCK_SUPPORT_PROPERTIES", nullptr);
    LogCapture capture;
    EXPECT_FALSE(check(nullptr));
    EXPECT_FALSE(FerrydockIpc::IPCHelper::GetInstance()->IsSupportFileType(nullptr));
    EXPECT_EQ(Logged(capture), (std::vector<std::wstring>{L"4 dir is null(FerrydockIpc::IsSupportFileType)",
        L"3 [FD]IsSupportFileType file is nullptr(FerrydockIpc::IPCHelper::IsSupportFileType)"}));
    FreeLibrary(library);
}

// The target, in `FerrydockHost drop-target`, reads every format through COM's marshalling and
// prints what it read; the expected lines are worked out by hand from the payload layouts.
// It keeps the data object after the drop and reads it again once ExecuteDragDrop
// has returned; its last Release, from the other process, frees everything on this side.
TEST(CrossProcessDrag, EveryFormatArrivesAsBuiltAndTheTargetReleasesLast)
{
    ASSERT_EQ(OleInitialize(nullptr), S_OK);
    service::ServiceProcess target;
    ASSERT_TRUE(target.Start(testsupport::BesideExecutable(L"FerrydockHost.exe"), L"drop-target --seconds 30 --keep"))
        << "the drop target needs an X display";
    // No window of this process may lie under the cursor: a topmost one would take the drop.
    const HWND window = FindWindowW(L"FerrydockHostDropTarget", nullptr);
    ASSERT_NE(window, nullptr);
    RECT area{};
    GetWindowRect(window, &area);
    SetCursorPos((area.left + area.right) / 2, (area.top + area.bottom) / 2);
    PumpWhile([] { return false; });
    const wchar_t html[] = L"Version:0.9\r\nStartHTML:00000000\r\nEndHTML:00000000\r\nStartFragment:00000000\r\n"
                           L"EndFragment:00000000\r\n<html><body><!--StartFragment-->caf\u00e9\U0001F600"
                           L"<!--EndFragment--></body></html>";
    const DragDropParam param{L"C:\\Users\\Public\\r\u00e9sum\u00e9.txt|D:\\b|", L"plain \u4e2d\u6587\r\nline 2", html,
                              L"rich\u4e2d", 2, 1, 1, 1};
    LeakWatch watch;
    testsupport::LogCapture capture;
    ASSERT_TRUE(FerrydockIpc::ExecuteDragDrop(&param));
    EXPECT_EQ(capture.Records().size(), 10u) << "a begin and an end line from each of the five builders";
    EXPECT_NE(watch.Left(), 0u) << "the other process still holds the data object";
    ASSERT_TRUE(target.SendLine("read again"));
    PumpWhile([&] { return target.Running(); });
    target.Stop();
    // The file list: 20 bytes of header, 27 and 5 UTF-16 units of names, 1 of the end.
    const std::vector<std::string> expected = {
        "drop: 5 formats offered",
        "  CF_HDROP, 86 bytes: 2 files",
        "    C:\\Users\\Public\\r\xc3\xa9sum\xc3\xa9.txt",
        "    D:\\b",
        "  CF_UNICODETEXT, 34 bytes: \"plain \xe4\xb8\xad\xe6\x96\x87\\r\\nline 2\"",
        "  HTML Format, 173 bytes: Version:0.9 StartHTML:00000097 EndHTML:00000172 StartFragment:00000109 "
        "EndFragment:00000140",
        // The emoji goes as two three-byte halves, which Wine's UTF-8 decoder shows as four U+FFFD.
        "    fragment: <!--StartFragment-->caf\xc3\xa9\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd",
        "  QQ_Unicode_RichEdit_Format, 8 bytes: 72 69 63 68 e4 b8 ad 00",
        "  KdMultiscreenDataSource, 24 bytes: 77 00 69 00 6e 00 64 00 6f 00 77 00 73 00 63 00 61 00 73 00 74 00 00 00",
    };
    const std::vector<std::string> again = Section(target.Lines(), "again:");
    EXPECT_EQ(Section(target.Lines(), "drop:"), expected);
    ASSERT_FALSE(again.empty()) << "no second read";
    EXPECT_EQ(std::vector<std::string>(again.begin() + 1, again.end()),
              std::vector<std::string>(expected.begin() + 1, expected.end()));
    EXPECT_EQ(watch.Left(), 0u) << "blocks or objects left";
    OleUninitialize();
}
