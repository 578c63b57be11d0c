// Whole drags: the request check, a real drop into a window of ours under the X display,
// failures of the system calls, and what one drag leaves behind.
#include "dragdrop/DataObject.h"
#include "dragdrop/DragDrop.h"
#include "dragdrop/DragTestSupport.h"
#include "support/LogCapture.h"
#include "support/ProcessUsage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <new>

using namespace dragtest;
using FerrydockIpc::FerrydockDataObject;
using testsupport::ImportPatch;
using testsupport::LogCapture;
using testsupport::LogRecord;

namespace {

class Drag : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(OleInitialize(nullptr), S_OK); }
    void TearDown() override { OleUninitialize(); }
};

const wchar_t kHtml[] = L"Version:0.9\r\nStartHTML:00000000\r\nEndHTML:00000000\r\nStartFragment:00000000\r\n"
                        L"EndFragment:00000000\r\n<html><body><!--StartFragment-->caf\u00e9<!--EndFragment-->"
                        L"</body></html>";
const std::wstring kEntry = L"(FerrydockIpc::ExecuteDragDrop)";

UINT Registered(const wchar_t* name) { return RegisterClipboardFormatW(name); }

bool Logged(const std::vector<LogRecord>& records, const std::wstring& start)
{
    return std::any_of(records.begin(), records.end(),
                       [&](const LogRecord& r) { return r.line.compare(0, start.size(), start) == 0; });
}

} // namespace

TEST_F(Drag, DropDeliversEveryFormatByteForByte)
{
    DropTargetWindow target;
    ASSERT_TRUE(target.ready()) << "a drop target window needs an X display";
    const DragDropParam param{L"C:\\in\\a.txt|D:\\b", L"plain", kHtml, L"rich\u4e2d", 2, 1, 1, 1};
    ASSERT_TRUE(FerrydockIpc::ExecuteDragDrop(&param));
    ASSERT_EQ(target.drops, 1);
    const std::vector<UINT> offered = {CF_HDROP, CF_UNICODETEXT, Registered(L"HTML Format"),
                                       Registered(L"QQ_Unicode_RichEdit_Format"),
                                       Registered(L"KdMultiscreenDataSource")};
    EXPECT_EQ(target.offered, offered);
    EXPECT_EQ(target.received[CF_HDROP], FileDropBlock({L"C:\\in\\a.txt", L"D:\\b"}));
    EXPECT_EQ(target.received[CF_UNICODETEXT], Utf16z(L"plain"));
    EXPECT_EQ(target.received[offered[2]],
              Ascii(std::string("Version:0.9\r\nStartHTML:00000097\r\nEndHTML:00000166\r\nStartFragment:00000109\r\n"
                                "EndFragment:00000134\r\n<html><body><!--StartFragment-->caf\xc3\xa9"
                                "<!--EndFragment--></body></html>") + '\0'));
    EXPECT_EQ(target.received[offered[3]], Ascii(std::string("rich\xe4\xb8\xad") + '\0'));
    EXPECT_EQ(target.received[offered[4]], Utf16z(L"windowscast"));
}

// Each request is dragged into the target: refused ones run no drag and build nothing.
TEST_F(Drag, RequestsAreCheckedAndFileListsSplit)
{
    const wchar_t* t = L"t";
    const std::wstring textNum = L"textNum is invalid(FerrydockIpc::CheckDragDropParam)";
    const std::wstring failed = L"check dargdrop param failed" + kEntry;
    const std::wstring badFiles = L"file info is invalid" + kEntry;
    const struct {
        const char* name;
        DragDropParam param;
        std::vector<std::wstring> errors; // level 4 lines, in order
        std::vector<std::wstring> files;  // expected CF_HDROP names; empty: no files offered
        size_t formats;                   // offered formats; 0: no drag ran
    } cases[] = {
        {"nothing but the label", {nullptr, nullptr, nullptr, nullptr, 0, 0, 0, 0}, {}, {}, 1},
        {"count 1, pointer null", {nullptr, nullptr, nullptr, nullptr, 0, 1, 1, 1}, {}, {}, 1},
        {"empty text is not offered", {nullptr, L"", nullptr, nullptr, 0, 1, 0, 0}, {}, {}, 1},
        {"textNum 2", {nullptr, t, nullptr, nullptr, 0, 2, 0, 0}, {textNum, failed}, {}, 0},
        {"textNum -1", {nullptr, t, t, t, 0, -1, 1, 1}, {textNum, failed}, {}, 0},
        {"first failure ends the check", {nullptr, t, nullptr, nullptr, 0, 0, 5, 0}, {textNum, failed}, {}, 0},
        {"html set with count 0", {nullptr, nullptr, t, nullptr, 0, 0, 0, 0},
         {L"htmlNum is invalid(FerrydockIpc::CheckDragDropParam)", failed}, {}, 0},
        {"qqFormatNum 7", {nullptr, t, t, t, 0, 1, 1, 7},
         {L"qqFormatNum is invalid(FerrydockIpc::CheckDragDropParam)", failed}, {}, 0},
        {"fileNum 0 ignores the list", {L"a|b", nullptr, nullptr, nullptr, 0, 0, 0, 0}, {}, {}, 1},
        {"negative fileNum", {L"a|b", nullptr, nullptr, nullptr, -2, 0, 0, 0}, {}, {}, 1},
        {"trailing separator", {L"a|b|", nullptr, nullptr, nullptr, 2, 0, 0, 0}, {}, {L"a", L"b"}, 2},
        {"doubled separator", {L"a||b", nullptr, nullptr, nullptr, 3, 0, 0, 0}, {badFiles}, {}, 0},
        {"leading separator", {L"|b", nullptr, nullptr, nullptr, 2, 0, 0, 0}, {}, {L"", L"b"}, 2},
        {"empty list is one empty path", {L"", nullptr, nullptr, nullptr, 1, 0, 0, 0}, {}, {L""}, 2},
        {"too few paths", {L"a", nullptr, nullptr, nullptr, 2, 0, 0, 0}, {badFiles}, {}, 0},
    };
    DropTargetWindow target;
    ASSERT_TRUE(target.ready());
    for (const auto& c : cases) {
        target.Forget();
        LogCapture capture;
        EXPECT_EQ(FerrydockIpc::ExecuteDragDrop(&c.param), c.formats != 0) << c.name;
        std::vector<std::wstring> errors;
        for (const LogRecord& record : capture.Records()) {
            if (record.level == 4) {
                errors.push_back(record.line);
            }
        }
        EXPECT_EQ(errors, c.errors) << c.name;
        EXPECT_EQ(target.drops, c.formats != 0 ? 1 : 0) << c.name;
        EXPECT_EQ(target.offered.size(), c.formats) << c.name;
        if (!c.files.empty()) {
            EXPECT_EQ(target.received[CF_HDROP], FileDropBlock(c.files)) << c.name;
        }
        if (c.formats == 0) {
            EXPECT_FALSE(Logged(capture.Records(), L"SetLabelData begin")) << c.name << ": nothing was built";
        }
    }
    LogCapture capture;
    EXPECT_FALSE(FerrydockIpc::ExecuteDragDrop(nullptr));
    EXPECT_EQ(capture.Lines(), (std::vector<std::wstring>{L"param is null(FerrydockIpc::CheckDragDropParam)", failed}));
}

// Through the export, as the interface calls it: the label alone is exactly one format; with
// no target under the cursor the drag still counts as run.
TEST_F(Drag, TheExportedEntryRunsTheSameDragAndNeedsNoTarget)
{
    HMODULE library = LoadLibraryW(L"FerrydockUITrans.dll");
    ASSERT_NE(library, nullptr);
    const auto execute =
        reinterpret_cast<PFN_ExecuteDragDrop>(reinterpret_cast<void*>(GetProcAddress(library, "ExecuteDragDrop")));
    ASSERT_NE(execute, nullptr);
    DropTargetWindow target;
    const DragDropParam label{nullptr, nullptr, nullptr, nullptr, 0, 0, 0, 0};
    const DragDropParam refused{nullptr, nullptr, nullptr, nullptr, 0, 2, 0, 0};
    EXPECT_TRUE(execute(&label));
    EXPECT_FALSE(execute(&refused));
    EXPECT_EQ(target.offered, std::vector<UINT>{Registered(L"KdMultiscreenDataSource")});
    EXPECT_EQ(target.received.begin()->second, Utf16z(L"windowscast"));
    DropTargetWindow::PutCursorOutside();
    const DragDropParam text{nullptr, L"x", nullptr, nullptr, 0, 1, 0, 0};
    EXPECT_TRUE(execute(&text));
    EXPECT_EQ(target.drops, 1);
    FreeLibrary(library);
}

TEST_F(Drag, ATargetMayKeepTheDataObjectAfterTheDrag)
{
    GlobalMemoryWatch watch;
    {
        DropTargetWindow target(true);
        const DragDropParam param{L"a|b", L"text", kHtml, L"q", 2, 1, 1, 1};
        ASSERT_TRUE(FerrydockIpc::ExecuteDragDrop(&param));
        ASSERT_NE(target.held, nullptr);
        EXPECT_FALSE(watch.live().empty()) << "the payloads live as long as the target's reference";
        Bytes text;
        ASSERT_EQ(Ask(target.held, CF_UNICODETEXT, &text), S_OK);
        EXPECT_EQ(text, Utf16z(L"text"));
        EXPECT_EQ(RefCount(target.held), 1u);
    }
    // Own media, stored copies, and every copy handed to the target: all freed.
    EXPECT_GE(watch.allocations(), 5u * 3u);
    EXPECT_TRUE(watch.live().empty()) << watch.live().size() << " blocks left";
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
    const std::wstring tag = L"(FerrydockIpc::FerrydockDataObject::";
    const std::wstring hollow = L"pMedSrc->hGlobal is null" + tag + L"CopyMedium)";
    {   // No memory for any block: every payload is offered but cannot be read.
        FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
        LogCapture capture;
        {
            auto patch = Patch("kernel32.dll", "GlobalAlloc", reinterpret_cast<void*>(&NoAlloc));
            data->SetFileData({L"a"});
            data->SetTextData(L"t");
            data->SetLabelData();
        }
        const auto records = capture.Records();
        EXPECT_EQ(std::count_if(records.begin(), records.end(), [&](const LogRecord& r) { return r.line == hollow; }),
                  3);
        EXPECT_EQ(Ask(data, CF_HDROP), E_INVALIDARG);
        EXPECT_EQ(Ask(data, CF_UNICODETEXT), E_INVALIDARG);
        EXPECT_EQ(data->Release(), 0u);
    }
    {   // A block that cannot be locked: the file list stays zero-filled, the text is dropped.
        FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
        {
            auto patch = Patch("kernel32.dll", "GlobalLock", reinterpret_cast<void*>(&NoLock));
            data->SetFileData({L"ab"});
            data->SetTextData(L"t");
        }
        Bytes files;
        EXPECT_EQ(Ask(data, CF_HDROP, &files), S_OK);
        EXPECT_EQ(files, Bytes(20 + 2 * 4, 0));
        EXPECT_EQ(Ask(data, CF_UNICODETEXT), E_INVALIDARG);
        EXPECT_EQ(data->Release(), 0u);
    }
    {   // Unregistered formats are stored and served as format 0.
        FerrydockDataObject* data = nullptr;
        {
            auto patch = Patch("user32.dll", "RegisterClipboardFormatW", reinterpret_cast<void*>(&NoFormat));
            data = FerrydockDataObject::Create(nullptr);
        }
        data->SetLabelData();
        EXPECT_EQ(data->LabelFormat(), 0u);
        Bytes label;
        EXPECT_EQ(Ask(data, 0, &label), S_OK);
        EXPECT_EQ(label, Utf16z(L"windowscast"));
        EXPECT_EQ(data->Release(), 0u);
    }
    {   // A failed duplicate is handed out as an empty medium.
        FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
        data->SetLabelData();
        auto patch = Patch("ole32.dll", "OleDuplicateData", reinterpret_cast<void*>(&NoDuplicate));
        Bytes label{1};
        EXPECT_EQ(Ask(data, data->LabelFormat(), &label), S_OK);
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
         L"DRAGDROP - SetData fetc is nullptr!" + tag + L"SetData)"},
        {"_ZnwyRKSt9nothrow_t", 2, [](auto* d) { d->SetTextData(L"t"); },
         L"DRAGDROP - SetData pStgMed is nullptr!" + tag + L"SetData)"},
        {"_ZnayRKSt9nothrow_t", 1,
         [](auto* d) {
             IEnumFORMATETC* formats = nullptr;
             EXPECT_EQ(d->EnumFormatEtc(DATADIR_GET, &formats), E_INVALIDARG);
         },
         L"DRAGDROP - new formatetcArray failed!" + tag + L"EnumFormatEtc)"},
    };
    for (const auto& c : news) {
        FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
        LogCapture capture;
        {
            auto patch = Patch("libstdc++-6.dll", c.function, reinterpret_cast<void*>(&NewFailing), c.failAt);
            c.run(data);
        }
        EXPECT_TRUE(Logged(capture.Records(), c.logged)) << c.function << " " << c.failAt;
        EXPECT_EQ(data->Release(), 0u);
    }
    for (const auto& [failAt, logged] : {std::pair{1, L"dataSource is null"}, std::pair{2, L"dataObject is null"}}) {
        LogCapture capture;
        const DragDropParam param{nullptr, nullptr, nullptr, nullptr, 0, 0, 0, 0};
        auto patch = Patch("libstdc++-6.dll", "_ZnwyRKSt9nothrow_t", reinterpret_cast<void*>(&NewFailing), failAt);
        EXPECT_FALSE(FerrydockIpc::ExecuteDragDrop(&param));
        EXPECT_EQ(capture.Lines(), std::vector<std::wstring>{logged + kEntry});
    }
    EXPECT_GT(watch.allocations(), 0u);
    EXPECT_TRUE(watch.live().empty()) << watch.live().size() << " blocks left";
}

// The payloads are large on purpose: one lost block per drag would add up to tens of MB,
// far above what the heap keeps for itself once it has grown to its working size.
// The GDI and USER counts are 0 under Wine: that check bites only on Windows. Wine's
// SHCreateStdEnumFmtEtc enumerators keep some memory after their last Release (one
// per drop here); the tolerance holds that, not a lost payload block per drag.
TEST_F(Drag, ThousandsOfDragsLeaveTheProcessFlat)
{
    const std::wstring big(16 * 1024, L'x');
    const std::wstring html = std::wstring(kHtml) + big;
    const DragDropParam param{L"a|b", big.c_str(), html.c_str(), big.c_str(), 2, 1, 1, 1};
    DropTargetWindow target;
    ASSERT_TRUE(target.ready());
    LogCapture quiet; // keeps the log file small; emptied often, or its lines would count as a leak
    const auto drags = [&](int direct, int entry) {
        for (int i = 0; i < direct; ++i) {
            FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
            data->SetFileData({big, L"b"});
            data->SetTextData(big);
            data->SetHtmlData(html);
            data->SetQQFormatData(big);
            data->SetLabelData();
            for (const UINT cf :
                 {UINT{CF_HDROP}, UINT{CF_UNICODETEXT}, data->HtmlFormat(), data->QQFormat(), data->LabelFormat()}) {
                Ask(data, cf);
            }
            data->Release();
        }
        for (int i = 0; i < entry; ++i) {
            FerrydockIpc::ExecuteDragDrop(&param);
        }
        quiet.Clear();
    };
    const auto gui = [] {
        return std::pair{GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS),
                         GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS)};
    };
    drags(300, 300);
    const testsupport::ProcessUsage before = testsupport::MeasureProcessUsage();
    const auto guiBefore = gui();
    for (int round = 0; round < 4; ++round) {
        drags(500, 250);
    }
    const testsupport::ProcessUsage after = testsupport::MeasureProcessUsage();
    const auto guiAfter = gui();
    EXPECT_EQ(target.drops, 1300);
    EXPECT_LE(after.handles, before.handles + 16);
    EXPECT_LE(guiAfter.first, guiBefore.first + 4);
    EXPECT_LE(guiAfter.second, guiBefore.second + 4);
    EXPECT_LE(after.privateBytes, before.privateBytes + 16 * 1024 * 1024);
    std::printf("handles %lu -> %lu, gdi %lu -> %lu, user %lu -> %lu, private %zu -> %zu KB\n", before.handles,
                after.handles, guiBefore.first, guiAfter.first, guiBefore.second, guiAfter.second,
                before.privateBytes / 1024, after.privateBytes / 1024);
}
