// The data object and the drop source driven through their raw interfaces, as OLE and
// drop targets drive them, and payload edge cases compared whole with blocks built here;
// the common case of every format is checked after a real drop (CrossProcessDragTests.cpp).
#include "dragdrop/DataObject.h"
#include "dragdrop/DragTestSupport.h"
#include "dragdrop/DropSource.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

using namespace FerrydockIpc;
using namespace dragtest;

namespace {

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

STGMEDIUM GlobalMedium(const std::string& text)
{
    STGMEDIUM medium{TYMED_HGLOBAL, {nullptr}, nullptr};
    medium.hGlobal = GlobalAlloc(GMEM_MOVEABLE, text.size());
    std::copy(text.begin(), text.end(), static_cast<char*>(GlobalLock(medium.hGlobal)));
    GlobalUnlock(medium.hGlobal);
    return medium;
}

} // namespace

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
    // With nothing built only the label is offered (the order of the others: CrossProcessDragTests.cpp).
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

namespace {

// The picture's extents and its metafile's bits.
std::vector<BYTE> Picture(HGLOBAL handle)
{
    const METAFILEPICT pict = *static_cast<METAFILEPICT*>(GlobalLock(handle));
    GlobalUnlock(handle);
    std::vector<BYTE> bits(GetMetaFileBitsEx(pict.hMF, 0, nullptr));
    GetMetaFileBitsEx(pict.hMF, static_cast<UINT>(bits.size()), bits.data());
    return bits.insert(bits.end(), {BYTE(pict.mm), BYTE(pict.xExt), BYTE(pict.yExt)}), bits;
}

HANDLE WINAPI NoDuplicate(HANDLE, CLIPFORMAT, UINT) { return nullptr; }

} // namespace

// Each reader gets its own duplicate (a metafile picture with a metafile of its own; the rest
// through OLE, refused when that fails); a file medium is refused.
TEST(ComObjects, MetafileMediaAreDuplicatedAndFilesRefused)
{
    HDC mfDc = CreateMetaFileW(nullptr);
    Rectangle(mfDc, 1, 2, 30, 40);
    HGLOBAL pict = GlobalAlloc(GMEM_MOVEABLE, sizeof(METAFILEPICT));
    *static_cast<METAFILEPICT*>(GlobalLock(pict)) = METAFILEPICT{MM_ANISOTROPIC, 77, 88, CloseMetaFile(mfDc)};
    GlobalUnlock(pict);
    const struct {
        CLIPFORMAT cf;
        DWORD tymed;
        HANDLE handle;
    } media[] = {{CF_METAFILEPICT, TYMED_MFPICT, pict},
                 {CF_ENHMETAFILE, TYMED_ENHMF, CloseEnhMetaFile(CreateEnhMetaFileW(nullptr, nullptr, nullptr, nullptr))}};
    for (const auto& m : media) {
        FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
        FORMATETC format{m.cf, nullptr, DVASPECT_CONTENT, -1, m.tymed};
        STGMEDIUM lent{m.tymed, {static_cast<HBITMAP>(m.handle)}, nullptr}, copy{};
        ASSERT_EQ(data->SetData(&format, &lent, FALSE), S_OK) << m.tymed;
        ASSERT_EQ(data->GetData(&format, &copy), S_OK) << m.tymed;
        EXPECT_TRUE(copy.tymed == m.tymed && copy.hGlobal != lent.hGlobal) << m.tymed;
        if (m.tymed == TYMED_MFPICT) {
            EXPECT_EQ(Picture(copy.hGlobal), Picture(lent.hGlobal));
            EXPECT_GT(Picture(copy.hGlobal).size(), 10u);
        }
        ReleaseStgMedium(&copy);
        testsupport::ImportPatch patch(GetModuleHandleW(nullptr), "ole32.dll", "OleDuplicateData",
                                       reinterpret_cast<void*>(&NoDuplicate));
        EXPECT_EQ(data->GetData(&format, &copy), m.tymed == TYMED_MFPICT ? S_OK : E_OUTOFMEMORY) << m.tymed;
        ReleaseStgMedium(&copy);
        EXPECT_EQ(data->Release(), 0u);
        ReleaseStgMedium(&lent);
    }
    // Releasing a file medium deletes its file, so a copy of one would be a second deleter.
    testsupport::LogCapture capture;
    FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
    FORMATETC fileFormat{CF_TEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_FILE};
    STGMEDIUM file{TYMED_FILE, {nullptr}, nullptr}, copy{};
    file.lpszFileName = static_cast<wchar_t*>(CoTaskMemAlloc(sizeof(L"C:\\absent.txt")));
    wcscpy(file.lpszFileName, L"C:\\absent.txt");
    EXPECT_EQ(data->SetData(&fileFormat, &file, TRUE), S_OK);
    EXPECT_EQ(data->GetData(&fileFormat, &copy), DV_E_TYMED);
    EXPECT_EQ(capture.Lines(), std::vector<std::wstring>{
                                   L"cannot copy a medium of tymed 2(FerrydockIpc::FerrydockDataObject::CopyMedium)"});
    EXPECT_EQ(data->Release(), 0u);
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
    const std::wstring kWhere = L"FerrydockIpc::FerrydockDataObject::RefreshHtmlInfo";
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
        const std::wstring logged = L"3 " + std::wstring(c.logged.begin(), c.logged.end()) + L"(" + kWhere + L")";
        EXPECT_EQ(Logged(capture), c.logged.empty() ? std::vector<std::wstring>{} : std::vector<std::wstring>{logged});
    }
}
