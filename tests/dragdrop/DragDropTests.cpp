// The data object and the drop source driven through their raw interfaces, as OLE and drop
// targets drive them, with payload edge cases; whole drags, into a drop target in another
// process (as every real drag goes) and into a window of ours under the X display; the
// request check, failures of the system calls, and the file type check.
#include "FerrydockUITrans.h"
#include "dragdrop/DataObject.h"
#include "dragdrop/DragDrop.h"
#include "dragdrop/DragTestSupport.h"
#include "dragdrop/DropSource.h"
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
using FerrydockIpc::FerrydockDropSource;
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

// COM serves the child's calls into this apartment only through this thread's messages.
void PumpWhile(const std::function<bool()>& busy)
{
    MSG message;
    for (const ULONGLONG deadline = GetTickCount64() + 10000; GetTickCount64() < deadline;) {
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
        if (!busy() || MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT) == WAIT_FAILED) {
            return;
        }
    }
}

int g_calls = 0;
int g_failAt = 0; // the non-throwing new (from 1) that fails
ImportPatch* g_patch = nullptr;

void* NewFailing(std::size_t size, const std::nothrow_t& tag)
{
    using NothrowNew = void* (*)(std::size_t, const std::nothrow_t&);
    return ++g_calls == g_failAt ? nullptr : g_patch->original<NothrowNew>()(size, tag);
}

FORMATETC Request(UINT cf, DWORD tymed = TYMED_HGLOBAL, DWORD aspect = DVASPECT_CONTENT)
{
    return FORMATETC{static_cast<CLIPFORMAT>(cf), nullptr, aspect, -1, tymed};
}

// Counts the references that media hold on their release interface.
struct Counter final : IUnknown {
    ULONG refs = 1;
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override { return *ppv = nullptr, E_NOINTERFACE; }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
};

// A fixed block's handle is its address.
STGMEDIUM GlobalMedium(const std::string& text)
{
    const HGLOBAL block = GlobalAlloc(GMEM_FIXED, text.size());
    std::copy(text.begin(), text.end(), static_cast<char*>(block));
    return STGMEDIUM{TYMED_HGLOBAL, {static_cast<HBITMAP>(block)}, nullptr};
}

// The picture's extents and its metafile's bits.
std::vector<BYTE> Picture(HGLOBAL handle)
{
    const METAFILEPICT pict = *static_cast<METAFILEPICT*>(GlobalLock(handle));
    GlobalUnlock(handle);
    std::vector<BYTE> bits(GetMetaFileBitsEx(pict.hMF, 0, nullptr));
    GetMetaFileBitsEx(pict.hMF, static_cast<UINT>(bits.size()), bits.data());
    return bits.insert(bits.end(), {BYTE(pict.mm), BYTE(pict.xExt), BYTE(pict.yExt)}), bits;
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
    const auto execute = reinterpret_cast<PFN_ExecuteDragDrop>(reinterpret_cast<void*>(GetProcAddress(library, "ExecuteDragDrop")));
    ASSERT_NE(execute, nullptr);
    target.Forget();
    EXPECT_TRUE(execute(&cases[1].param));
    DropTargetWindow::PutCursorOutside();
    EXPECT_TRUE(execute(&cases[1].param));
    EXPECT_EQ(target.drops, 1);
    FreeLibrary(library);
}

TEST_F(Drag, FailingSystemCallsAreLoggedAndNeverCrash)
{
    {   // No lock: the file list stays zero-filled, the label is dropped.
        FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
        {
            ImportPatch patch(GetModuleHandleW(nullptr), "kernel32.dll", "GlobalLock",
                              reinterpret_cast<void*>(+[](HGLOBAL) -> LPVOID { return nullptr; }));
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
    const auto check = reinterpret_cast<PFN_IsSupportFileType>(reinterpret_cast<void*>(GetProcAddress(library, "IsSupportFileType")));
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
        const std::wstring refused = L"4 DRAGDROP - Contains file types that do not support transfer " +
                                     std::wstring(c.refused ? c.refused : L"") + L"(FerrydockIpc::IPCHelper::IsSupportFileType)";
        EXPECT_EQ(Logged(capture), c.refused ? std::vector<std::wstring>{refused} : std::vector<std::wstring>{});
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
    // Each read prints the formats under its own heading ("drop:", then "again:").
    const std::vector<std::string> lines = target.Lines();
    const auto drop = std::search(lines.begin(), lines.end(), expected.begin(), expected.end());
    ASSERT_NE(drop, lines.end()) << testing::PrintToString(lines);
    EXPECT_NE(std::search(drop + 1, lines.end(), expected.begin() + 1, expected.end()), lines.end()) << "no second read";
    EXPECT_EQ(watch.Left(), 0u) << "blocks or objects left";
    OleUninitialize();
}

TEST(ComObjects, QueryInterfaceEnumerationAndDropSourceVerdicts)
{
    LeakWatch watch(true);
    FerrydockDropSource* source = FerrydockDropSource::Create();
    FerrydockDataObject* data = FerrydockDataObject::Create(source);
    void* out = nullptr;
    EXPECT_TRUE(data->QueryInterface(IID_IDataObject, &out) == S_OK && out == data && data->Release() == 1);
    EXPECT_TRUE(source->QueryInterface(IID_IDropSource, &out) == S_OK && out == source && source->Release() == 1);
    EXPECT_TRUE(data->QueryInterface(IID_IDropSource, &out) == E_NOINTERFACE && out == nullptr);
    EXPECT_TRUE(source->QueryInterface(IID_IDataObject, &out) == E_NOINTERFACE && out == nullptr);
    // Escape cancels; the left button held goes on; its release drops.
    EXPECT_EQ(source->QueryContinueDrag(2, MK_LBUTTON), DRAGDROP_S_CANCEL);
    EXPECT_EQ(source->QueryContinueDrag(FALSE, MK_LBUTTON | MK_SHIFT), S_OK);
    EXPECT_EQ(source->QueryContinueDrag(FALSE, MK_RBUTTON), DRAGDROP_S_DROP);
    EXPECT_EQ(source->GiveFeedback(DROPEFFECT_COPY), DRAGDROP_S_USEDEFAULTCURSORS);
    // With nothing built only the label is offered (the order of the others: the cross-process test).
    IEnumFORMATETC* formats = nullptr;
    ASSERT_EQ(data->EnumFormatEtc(DATADIR_GET, &formats), S_OK);
    FORMATETC format[2] = {};
    ULONG fetched = 0;
    formats->Next(2, format, &fetched);
    formats->Release();
    EXPECT_TRUE(fetched == 1 && format[0].cfFormat == data->LabelFormat() && format[0].ptd == nullptr &&
                format[0].dwAspect == DVASPECT_CONTENT && format[0].lindex == 0 && format[0].tymed == TYMED_HGLOBAL);
    EXPECT_EQ(data->Release(), 0u);
    EXPECT_EQ(source->Release(), 0u);
    EXPECT_EQ(watch.Left(), 0u);
}

// Entries are kept newest first; a request matches on medium mask, aspect and format.
TEST(ComObjects, StoredEntriesMatchAndEveryReaderGetsItsOwnCopy)
{
    LeakWatch watch(true);
    Counter owner;
    FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
    FORMATETC request = Request(CF_TEXT);
    EXPECT_EQ(data->QueryGetData(&request), DV_E_TYMED);
    STGMEDIUM given = GlobalMedium("first");
    given.pUnkForRelease = &owner;
    ASSERT_EQ(data->SetData(&request, &given, TRUE), S_OK);
    EXPECT_EQ(owner.refs, 1u) << "taken over as it is";
    STGMEDIUM lent = GlobalMedium("second");
    ASSERT_EQ(data->SetData(&request, &lent, FALSE), S_OK);
    ReleaseStgMedium(&lent);
    STGMEDIUM stream{TYMED_ISTREAM, {nullptr}, nullptr};
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &stream.pstm), S_OK);
    FORMATETC streamFormat = Request(CF_OEMTEXT, TYMED_ISTREAM);
    ASSERT_EQ(data->SetData(&streamFormat, &stream, FALSE), S_OK);
    const struct {
        FORMATETC request;
        HRESULT query, get;
    } cases[] = {
        {Request(CF_TEXT, TYMED_HGLOBAL | TYMED_ISTREAM), S_OK, S_OK},
        {Request(CF_TEXT, TYMED_HGLOBAL, DVASPECT_CONTENT | DVASPECT_THUMBNAIL), S_OK, DV_E_FORMATETC},
        {Request(CF_TEXT, TYMED_HGLOBAL, DVASPECT_THUMBNAIL), DV_E_DVASPECT, DV_E_FORMATETC},
        {Request(CF_OEMTEXT, TYMED_HGLOBAL | TYMED_ISTREAM), S_OK, S_OK},
        {Request(CF_UNICODETEXT, TYMED_HGLOBAL), DV_E_CLIPFORMAT, DV_E_FORMATETC}, // the oldest entry's verdict
        {Request(CF_UNICODETEXT, TYMED_ISTREAM), DV_E_TYMED, DV_E_FORMATETC},
        {Request(CF_OEMTEXT, TYMED_HGLOBAL), DV_E_CLIPFORMAT, DV_E_FORMATETC},
    };
    for (const auto& c : cases) {
        FORMATETC request = c.request;
        STGMEDIUM first{}, second{};
        first.hGlobal = reinterpret_cast<HGLOBAL>(1);
        EXPECT_EQ(data->QueryGetData(&request), c.query) << request.cfFormat << " " << request.dwAspect;
        EXPECT_EQ(data->GetData(&request, &first), c.get) << request.cfFormat << " " << request.dwAspect;
        if (c.get != S_OK) {
            EXPECT_EQ(first.hGlobal, nullptr);
        } else if (first.tymed == TYMED_ISTREAM) {
            EXPECT_EQ(first.pstm, stream.pstm) << "a stream is shared, each copy holding a reference";
        } else {
            ASSERT_EQ(data->GetData(&request, &second), S_OK);
            EXPECT_NE(first.hGlobal, second.hGlobal);
            EXPECT_EQ(BlockBytes(first.hGlobal), (Bytes{'s', 'e', 'c', 'o', 'n', 'd'}));
        }
        ReleaseStgMedium(&second);
        ReleaseStgMedium(&first);
    }
    testsupport::LogCapture capture;
    STGMEDIUM mismatched = GlobalMedium("x");
    EXPECT_EQ(data->SetData(&streamFormat, &mismatched, FALSE), E_FAIL);
    EXPECT_EQ(data->SetData(nullptr, &mismatched, FALSE), E_INVALIDARG);
    ReleaseStgMedium(&mismatched);
    STGMEDIUM hollow{TYMED_HGLOBAL, {nullptr}, nullptr};
    FORMATETC hollowFormat = Request(CF_DIB);
    EXPECT_EQ(data->SetData(&hollowFormat, &hollow, FALSE), S_OK);
    EXPECT_EQ(Ask(data, CF_DIB), E_INVALIDARG);
    EXPECT_EQ(data->GetData(nullptr, &hollow), E_INVALIDARG);
    EXPECT_EQ(data->QueryGetData(nullptr), E_INVALIDARG);
    EXPECT_EQ(data->CopyMedium(nullptr, &hollow, &hollowFormat), E_INVALIDARG);
    EXPECT_EQ(data->EnumFormatEtc(DATADIR_GET, nullptr), E_INVALIDARG);
    const std::wstring tag = L"(FerrydockIpc::FerrydockDataObject::";
    EXPECT_EQ(Logged(capture), (std::vector<std::wstring>{
                                   L"4 DRAGDROP - tymed is not equal!" + tag + L"SetData)",
                                   L"4 DRAGDROP - pformatetc or pmedium is nullptr!" + tag + L"SetData)",
                                   L"4 pMedSrc->hGlobal is null" + tag + L"CopyMedium)",
                                   L"4 pMedSrc->hGlobal is null" + tag + L"CopyMedium)",
                                   L"4 DRAGDROP - pformatetcIn or pmedium is nullptr!" + tag + L"GetData)",
                                   L"4 DRAGDROP - pformatetc is nullptr!" + tag + L"QueryGetData)",
                                   L"4 pMedDest, pMedSrc or pFmtSrc is null" + tag + L"CopyMedium)",
                                   L"4 DRAGDROP - ppenumFormatEtc is nullptr!" + tag + L"EnumFormatEtc)"}));
    EXPECT_EQ(data->Release(), 0u);
    EXPECT_EQ(owner.refs, 0u) << "the medium taken over is released once, at destruction";
    EXPECT_EQ(stream.pstm->Release(), 0u);
    GlobalFree(given.hGlobal); // a medium with a release interface leaves its block to that owner
    EXPECT_EQ(watch.Left(), 0u);
}

// A metafile picture is copied with a metafile of its own, without OLE; the other handles go
// through OLE's duplicate and are refused when it fails. Releasing a file medium deletes its
// file, so a copy of one would be a second deleter: it is refused.
TEST(ComObjects, MetafileMediaAreDuplicatedAndFilesRefused)
{
    HDC mfDc = CreateMetaFileW(nullptr);
    Rectangle(mfDc, 1, 2, 30, 40);
    STGMEDIUM pict{TYMED_MFPICT, {nullptr}, nullptr}, emf{TYMED_ENHMF, {nullptr}, nullptr}, copy{};
    pict.hMetaFilePict = GlobalAlloc(GMEM_MOVEABLE, sizeof(METAFILEPICT));
    *static_cast<METAFILEPICT*>(GlobalLock(pict.hMetaFilePict)) = METAFILEPICT{MM_ANISOTROPIC, 77, 88, CloseMetaFile(mfDc)};
    GlobalUnlock(pict.hMetaFilePict);
    emf.hEnhMetaFile = CloseEnhMetaFile(CreateEnhMetaFileW(nullptr, nullptr, nullptr, nullptr));
    STGMEDIUM file{TYMED_FILE, {nullptr}, nullptr};
    file.lpszFileName = static_cast<wchar_t*>(CoTaskMemAlloc(sizeof(L"C:\\absent.txt")));
    wcscpy(file.lpszFileName, L"C:\\absent.txt");
    FORMATETC pictFormat = Request(CF_METAFILEPICT, TYMED_MFPICT), emfFormat = Request(CF_ENHMETAFILE, TYMED_ENHMF),
              fileFormat = Request(CF_TEXT, TYMED_FILE);
    FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
    ASSERT_EQ(data->SetData(&pictFormat, &pict, FALSE), S_OK);
    ASSERT_EQ(data->SetData(&emfFormat, &emf, FALSE), S_OK);
    ASSERT_EQ(data->SetData(&fileFormat, &file, TRUE), S_OK);
    ImportPatch patch(GetModuleHandleW(nullptr), "ole32.dll", "OleDuplicateData",
                      reinterpret_cast<void*>(+[](HANDLE, CLIPFORMAT, UINT) -> HANDLE { return nullptr; }));
    ASSERT_EQ(data->GetData(&pictFormat, &copy), S_OK);
    EXPECT_TRUE(copy.tymed == TYMED_MFPICT && copy.hMetaFilePict != pict.hMetaFilePict);
    EXPECT_EQ(Picture(copy.hMetaFilePict), Picture(pict.hMetaFilePict));
    EXPECT_GT(Picture(copy.hMetaFilePict).size(), 10u);
    ReleaseStgMedium(&copy);
    LogCapture capture;
    EXPECT_EQ(data->GetData(&emfFormat, &copy), E_OUTOFMEMORY);
    EXPECT_EQ(data->GetData(&fileFormat, &copy), DV_E_TYMED);
    EXPECT_EQ(capture.Lines(), (std::vector<std::wstring>{
                                   L"duplicate failed for tymed 64, cf 14" + std::wstring(kObject) + L"CopyMedium)",
                                   L"cannot copy a medium of tymed 2" + std::wstring(kObject) + L"CopyMedium)"}));
    EXPECT_EQ(data->Release(), 0u);
    ReleaseStgMedium(&pict);
    ReleaseStgMedium(&emf);
}

TEST(Payloads, EdgesOfTheBuildersAndTheirLogLines)
{
    const struct {
        std::function<void(FerrydockDataObject&)> build;
        int format; // 0 file list, 1 text, 2 html, 3 rich-edit
        Bytes expected; // empty: not offered
        std::vector<std::wstring> logged; // empty: not checked
    } cases[] = {
        {[](auto& d) { d.SetTextData(std::wstring(L"ab\0cd", 5)); }, 1, {'a', 0, 'b', 0, 0, 0}, {}},
        {[](auto& d) { d.SetTextData(L""); }, 1, {}, {L"SetTextData begin", L"text is empty"}},
        {[](auto& d) { d.SetHtmlData(L""); }, 2, {}, {L"SetHtmlData begin", L"html is empty"}},
        {[](auto& d) { d.SetQQFormatData(L""); }, 3, {}, {L"Set unicode format begin", L"unicode format is empty"}},
    };
    for (const auto& c : cases) {
        testsupport::LogCapture capture;
        FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
        c.build(*data);
        const UINT formats[] = {CF_HDROP, CF_UNICODETEXT, data->HtmlFormat(), data->QQFormat()};
        Bytes bytes;
        EXPECT_EQ(Ask(data, formats[c.format], &bytes), c.expected.empty() ? DV_E_FORMATETC : S_OK);
        EXPECT_EQ(bytes, c.expected) << c.format;
        for (std::size_t i = 0; i < c.logged.size(); ++i) {
            EXPECT_EQ(Logged(capture).at(i).substr(0, c.logged[i].size() + 3), L"3 " + c.logged[i] + L"(");
        }
        EXPECT_EQ(data->Release(), 0u);
    }
}

// Each of the four numbers takes the eight characters and the carriage return after its name.
TEST(Payloads, HtmlHeaderRefreshFailsWithinItsBounds)
{
    const std::string body = "<html><!--StartFrag--><!--EndFrag-->x<!--EndFrag-->";
    const std::string fields = "StartHTML:@@@@@@@@@EndHTML:@@@@@@@@@StartFragment:@@@@@@@@@EndFragment:@@@@@@@@@";
    const struct {
        std::string input, output;
        std::string logged; // empty: nothing
    } cases[] = {
        {body + fields, body + "StartHTML:00000000\rEndHTML:00000131\rStartFragment:00000006\rEndFragment:00000037\r", ""},
        {body + fields.substr(0, fields.size() - 1), "", "sprintf_s EndFragment failed"},
        {body + "StartHTML:@@@@@@@@", "", "sprintf_s StartHTML failed"},
        {body + "EndHTML:@@@@@@@@@", "", "find StartHTML failed"},
        {body + fields.substr(0, 59), "", ""},
        {fields.substr(0, 59) + "<html>", "", "sprintf_s StartFragment failed"},
        {fields + "<html><!--StartFrag-->" + std::string(100000000, 'x'), "", "sprintf_s EndHTML failed"},
    };
    for (const auto& c : cases) {
        testsupport::LogCapture capture;
        EXPECT_TRUE(FerrydockDataObject::RefreshHtmlInfo(c.input) == c.output) << c.input.substr(0, 80);
        const std::wstring logged = L"3 " + std::wstring(c.logged.begin(), c.logged.end()) + kObject + L"RefreshHtmlInfo)";
        EXPECT_EQ(Logged(capture), c.logged.empty() ? std::vector<std::wstring>{} : std::vector<std::wstring>{logged});
    }
}
