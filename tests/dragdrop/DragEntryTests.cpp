// Whole drags: a real drop into a window of ours under the X display, the request check,
// failures of the system calls, and what many drags leave behind.
#include "dragdrop/DataObject.h"
#include "dragdrop/DragDrop.h"
#include "dragdrop/DragTestSupport.h"
#include "support/ProcessUsage.h"

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

const wchar_t kHtml[] = L"Version:0.9\r\nStartHTML:00000000\r\nEndHTML:00000000\r\nStartFragment:00000000\r\n"
                        L"EndFragment:00000000\r\n<html><body><!--StartFragment-->caf\u00e9\U0001F600<!--EndFragment-->"
                        L"</body></html>";
const std::wstring kEntry = L"(FerrydockIpc::ExecuteDragDrop)";
const std::wstring kObject = L"(FerrydockIpc::FerrydockDataObject::";

} // namespace

// Refused requests run no drag and build nothing; the exported entry runs the same drag, and
// with no target under the cursor the drag still counts as run.
TEST_F(Drag, RequestsAreCheckedAndTheExportRunsTheSameDrag)
{
    const wchar_t* t = L"t";
    const std::wstring check = L"(FerrydockIpc::CheckDragDropParam)", failed = L"4 check dargdrop param failed" + kEntry;
    const struct {
        DragDropParam param;
        std::vector<std::wstring> logged; // level 4 lines, in order
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
        auto logged = Logged(capture);
        logged.erase(std::remove_if(logged.begin(), logged.end(), [](auto& l) { return l[0] != L'4'; }), logged.end());
        EXPECT_EQ(logged, c.logged);
        EXPECT_EQ(capture.Records().size(), c.formats != 0 ? c.formats * 2 : c.logged.size()) << "built only if run";
        EXPECT_EQ(target.offered.size(), c.formats);
    }
    LogCapture capture;
    EXPECT_FALSE(FerrydockIpc::ExecuteDragDrop(nullptr));
    EXPECT_EQ(Logged(capture), (std::vector<std::wstring>{L"4 param is null" + check, failed}));
    HMODULE library = LoadLibraryW(L"FerrydockUITrans.dll");
    const auto execute =
        reinterpret_cast<PFN_ExecuteDragDrop>(reinterpret_cast<void*>(GetProcAddress(library, "ExecuteDragDrop")));
    ASSERT_NE(execute, nullptr);
    target.Forget();
    EXPECT_FALSE(execute(&cases[2].param));
    EXPECT_TRUE(execute(&cases[1].param));
    EXPECT_EQ(target.received.begin()->second, Utf16z(L"windowscast"));
    DropTargetWindow::PutCursorOutside();
    EXPECT_TRUE(execute(&cases[1].param));
    EXPECT_EQ(target.drops, 1);
    FreeLibrary(library);
}

namespace {

int g_calls = 0;
int g_failAt = 0; // the non-throwing new (from 1) that fails; 0: none
ImportPatch* g_patch = nullptr;

HGLOBAL WINAPI NoAlloc(UINT, SIZE_T) { return nullptr; }
LPVOID WINAPI NoLock(HGLOBAL) { return nullptr; }
UINT WINAPI NoFormat(LPCWSTR) { return 0; }
HANDLE WINAPI NoDuplicate(HANDLE, CLIPFORMAT, UINT) { return nullptr; }
void* NewFailing(std::size_t size, const std::nothrow_t& tag)
{
    using NothrowNew = void* (*)(std::size_t, const std::nothrow_t&);
    return ++g_calls == g_failAt ? nullptr : g_patch->original<NothrowNew>()(size, tag);
}

std::unique_ptr<ImportPatch> Patch(const char* dll, const char* function, void* fake, int failAt = 0)
{
    g_calls = 0;
    g_failAt = failAt;
    auto patch = std::make_unique<ImportPatch>(GetModuleHandleW(nullptr), dll, function, fake);
    g_patch = patch.get();
    EXPECT_TRUE(patch->active()) << function;
    return patch;
}

} // namespace

TEST_F(Drag, FailingSystemCallsAreLoggedAndNeverCrash)
{
    GlobalMemoryWatch watch; // the fault patches below stack on top of its own
    const std::wstring hollow = L"4 pMedSrc->hGlobal is null" + kObject + L"CopyMedium)";
    const auto build = [](FerrydockDataObject* data) {
        data->SetFileData({L"ab"});
        data->SetTextData(L"t");
        data->SetLabelData();
    };
    const struct {
        const char* dll;
        const char* function;
        void* fake;
        Bytes files; // what a reader gets of the file list; empty: refused
    } calls[] = {
        // No memory: every payload is offered but cannot be read.
        {"kernel32.dll", "GlobalAlloc", reinterpret_cast<void*>(&NoAlloc), {}},
        // No lock: the file list stays zero-filled, the texts are dropped.
        {"kernel32.dll", "GlobalLock", reinterpret_cast<void*>(&NoLock), Bytes(20 + 2 * 4, 0)},
    };
    for (const auto& c : calls) {
        FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
        LogCapture capture;
        {
            auto patch = Patch(c.dll, c.function, c.fake);
            build(data);
        }
        const auto logged = Logged(capture);
        EXPECT_EQ(std::count(logged.begin(), logged.end(), hollow), c.files.empty() ? 3 : 2) << c.function;
        Bytes files, label;
        EXPECT_EQ(Ask(data, CF_HDROP, &files), c.files.empty() ? E_INVALIDARG : S_OK) << c.function;
        EXPECT_EQ(files, c.files);
        EXPECT_EQ(Ask(data, data->LabelFormat(), &label), E_INVALIDARG) << c.function;
        EXPECT_EQ(data->Release(), 0u);
    }
    {   // Unregistered formats are stored and served as format 0; a failed duplicate is served empty.
        FerrydockDataObject* data = nullptr;
        {
            auto patch = Patch("user32.dll", "RegisterClipboardFormatW", reinterpret_cast<void*>(&NoFormat));
            data = FerrydockDataObject::Create(nullptr);
        }
        data->SetLabelData();
        Bytes label;
        EXPECT_EQ(Ask(data, 0, &label), S_OK);
        EXPECT_EQ(label, Utf16z(L"windowscast"));
        auto patch = Patch("ole32.dll", "OleDuplicateData", reinterpret_cast<void*>(&NoDuplicate));
        EXPECT_EQ(Ask(data, 0, &label), S_OK);
        EXPECT_TRUE(label.empty());
        EXPECT_EQ(data->Release(), 0u);
    }
    const struct {
        const char* function;
        int failAt;
        std::function<void(FerrydockDataObject*)> run;
        std::wstring logged;
    } news[] = {
        {"_ZnwyRKSt9nothrow_t", 1, [](auto* d) { d->SetTextData(L"t"); },
         L"4 DRAGDROP - SetData fetc is nullptr!" + kObject + L"SetData)"},
        {"_ZnwyRKSt9nothrow_t", 2, [](auto* d) { d->SetTextData(L"t"); },
         L"4 DRAGDROP - SetData pStgMed is nullptr!" + kObject + L"SetData)"},
        {"_ZnayRKSt9nothrow_t", 1,
         [](auto* d) {
             IEnumFORMATETC* formats = nullptr;
             EXPECT_EQ(d->EnumFormatEtc(DATADIR_GET, &formats), E_INVALIDARG);
         },
         L"4 DRAGDROP - new formatetcArray failed!" + kObject + L"EnumFormatEtc)"},
    };
    for (const auto& c : news) {
        FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
        LogCapture capture;
        {
            auto patch = Patch("libstdc++-6.dll", c.function, reinterpret_cast<void*>(&NewFailing), c.failAt);
            c.run(data);
        }
        const auto logged = Logged(capture);
        EXPECT_NE(std::find(logged.begin(), logged.end(), c.logged), logged.end()) << c.function << " " << c.failAt;
        EXPECT_EQ(data->Release(), 0u);
    }
    for (const auto& [failAt, logged] : {std::pair{1, L"4 dataSource is null"}, std::pair{2, L"4 dataObject is null"}}) {
        LogCapture capture;
        const DragDropParam param{nullptr, nullptr, nullptr, nullptr, 0, 0, 0, 0};
        auto patch = Patch("libstdc++-6.dll", "_ZnwyRKSt9nothrow_t", reinterpret_cast<void*>(&NewFailing), failAt);
        EXPECT_FALSE(FerrydockIpc::ExecuteDragDrop(&param));
        EXPECT_EQ(Logged(capture), std::vector<std::wstring>{logged + kEntry});
    }
    EXPECT_TRUE(watch.Live().empty()) << watch.Live().size() << " blocks left";
}

// Direct builds and reads, and drags with no target under the cursor (under Wine a target's
// format enumerator keeps memory of its own): a block or object lost per drag shows in the
// heap in use, a handle lost per drag in the handle count.
TEST_F(Drag, ManyDragsLeaveTheProcessFlat)
{
    const DragDropParam param{L"a|b", L"t", kHtml, L"q", 2, 1, 1, 1};
    LogCapture quiet; // keeps the log file small; emptied each time, or its lines would count as a leak
    const auto drags = [&](int count) {
        for (int i = 0; i < count; ++i) {
            FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
            data->SetFileData({L"a", L"b"});
            data->SetTextData(L"t");
            data->SetHtmlData(kHtml);
            data->SetQQFormatData(L"q");
            data->SetLabelData();
            for (const UINT cf :
                 {UINT{CF_HDROP}, UINT{CF_UNICODETEXT}, data->HtmlFormat(), data->QQFormat(), data->LabelFormat()}) {
                Ask(data, cf);
            }
            data->Release();
            FerrydockIpc::ExecuteDragDrop(&param);
            quiet.Clear();
        }
    };
    DropTargetWindow::PutCursorOutside();
    drags(3);
    const testsupport::ProcessUsage before = testsupport::MeasureProcessUsage();
    drags(10);
    const testsupport::ProcessUsage after = testsupport::MeasureProcessUsage();
    std::printf("handles %lu -> %lu, heap in use %zu -> %zu bytes\n", before.handles, after.handles,
                before.heapBytes, after.heapBytes);
    EXPECT_LE(after.handles, before.handles + 4);
    EXPECT_LE(after.heapBytes, before.heapBytes + 128);
}
