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

constexpr DWORD kAnyMedium = TYMED_HGLOBAL | TYMED_ISTREAM | TYMED_ISTORAGE;

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
    STGMEDIUM medium{};
    medium.tymed = TYMED_HGLOBAL;
    medium.hGlobal = GlobalAlloc(GMEM_MOVEABLE, text.size());
    std::copy(text.begin(), text.end(), static_cast<char*>(GlobalLock(medium.hGlobal)));
    GlobalUnlock(medium.hGlobal);
    return medium;
}

} // namespace

TEST(ComObjects, QueryInterfaceAndDropSourceVerdicts)
{
    FerrydockDropSource* source = FerrydockDropSource::Create();
    FerrydockDataObject* data = FerrydockDataObject::Create(source);
    const struct {
        IUnknown* object;
        REFIID iid;
        bool ours;
    } interfaces[] = {{data, IID_IUnknown, true}, {data, IID_IDataObject, true}, {data, IID_IDropSource, false},
                      {source, IID_IUnknown, true}, {source, IID_IDropSource, true}, {source, IID_IDataObject, false}};
    for (const auto& c : interfaces) {
        void* out = nullptr;
        EXPECT_EQ(c.object->QueryInterface(c.iid, &out), c.ours ? S_OK : E_NOINTERFACE);
        EXPECT_EQ(out, c.ours ? static_cast<void*>(c.object) : nullptr);
        EXPECT_EQ(c.ours ? c.object->Release() : 1u, 1u);
    }
    // Escape cancels; the left button held goes on; its release drops.
    EXPECT_EQ(source->QueryContinueDrag(2, MK_LBUTTON), DRAGDROP_S_CANCEL);
    EXPECT_EQ(source->QueryContinueDrag(FALSE, MK_LBUTTON | MK_SHIFT), S_OK);
    EXPECT_EQ(source->QueryContinueDrag(FALSE, MK_RBUTTON), DRAGDROP_S_DROP);
    EXPECT_EQ(source->GiveFeedback(DROPEFFECT_COPY), DRAGDROP_S_USEDEFAULTCURSORS);
    EXPECT_EQ(data->Release(), 0u);
    EXPECT_EQ(source->Release(), 0u);
}

// Entries are kept newest first; a request matches on medium mask, aspect and format.
TEST(ComObjects, StoredEntriesMatchAndEveryReaderGetsItsOwnCopy)
{
    GlobalMemoryWatch watch;
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
    STGMEDIUM stream{};
    stream.tymed = TYMED_ISTREAM;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &stream.pstm), S_OK);
    FORMATETC streamFormat = Request(CF_OEMTEXT, TYMED_ISTREAM);
    ASSERT_EQ(data->SetData(&streamFormat, &stream, FALSE), S_OK);
    const struct {
        FORMATETC request;
        HRESULT query, get;
    } cases[] = {
        {Request(CF_TEXT, kAnyMedium), S_OK, S_OK},
        {Request(CF_TEXT, TYMED_HGLOBAL, DVASPECT_CONTENT | DVASPECT_THUMBNAIL), S_OK, DV_E_FORMATETC},
        {Request(CF_TEXT, TYMED_HGLOBAL, DVASPECT_THUMBNAIL), DV_E_DVASPECT, DV_E_FORMATETC},
        {Request(CF_OEMTEXT, kAnyMedium), S_OK, S_OK},
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
            EXPECT_EQ(BlockBytes(first.hGlobal), Ascii("second"));
            EXPECT_EQ(second.pUnkForRelease, nullptr);
        }
        ReleaseStgMedium(&second);
        ReleaseStgMedium(&first);
    }
    testsupport::LogCapture capture;
    STGMEDIUM mismatched = GlobalMedium("x");
    EXPECT_EQ(data->SetData(&streamFormat, &mismatched, FALSE), E_FAIL);
    EXPECT_EQ(data->SetData(nullptr, &mismatched, FALSE), E_INVALIDARG);
    ReleaseStgMedium(&mismatched);
    STGMEDIUM hollow{};
    hollow.tymed = TYMED_HGLOBAL;
    FORMATETC hollowFormat = Request(CF_DIB);
    EXPECT_EQ(data->SetData(&hollowFormat, &hollow, FALSE), S_OK);
    EXPECT_EQ(Ask(data, CF_DIB), E_INVALIDARG);
    EXPECT_EQ(data->GetData(nullptr, &hollow), E_INVALIDARG);
    EXPECT_EQ(data->QueryGetData(nullptr), E_INVALIDARG);
    EXPECT_EQ(data->CopyMedium(nullptr, &hollow, &hollowFormat), E_INVALIDARG);
    const std::wstring tag = L"(FerrydockIpc::FerrydockDataObject::";
    EXPECT_EQ(Logged(capture), (std::vector<std::wstring>{
                                   L"4 DRAGDROP - tymed is not equal!" + tag + L"SetData)",
                                   L"4 DRAGDROP - pformatetc or pmedium is nullptr!" + tag + L"SetData)",
                                   L"4 pMedSrc->hGlobal is null" + tag + L"CopyMedium)",
                                   L"4 pMedSrc->hGlobal is null" + tag + L"CopyMedium)",
                                   L"4 DRAGDROP - pformatetcIn or pmedium is nullptr!" + tag + L"GetData)",
                                   L"4 DRAGDROP - pformatetc is nullptr!" + tag + L"QueryGetData)",
                                   L"4 pMedDest, pMedSrc or pFmtSrc is null" + tag + L"CopyMedium)"}));
    EXPECT_EQ(data->Release(), 0u);
    EXPECT_EQ(owner.refs, 0u) << "the medium taken over is released once, at destruction";
    EXPECT_EQ(stream.pstm->Release(), 0u);
    GlobalFree(given.hGlobal); // a medium with a release interface leaves its block to that owner
    EXPECT_TRUE(watch.Live().empty()) << watch.Live().size() << " blocks left";
}

// Offered: the builders' formats in a fixed order, then the label; a format stored by a
// target is served but not offered.
TEST(ComObjects, EnumFormatEtcOffersTheBuiltFormatsInOrder)
{
    for (int mask = 0; mask < 16; ++mask) {
        FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
        const std::function<void()> builders[] = {[&] { data->SetFileData({L"f"}); }, [&] { data->SetTextData(L"t"); },
                                                  [&] { data->SetHtmlData(L"h"); }, [&] { data->SetQQFormatData(L"q"); }};
        const UINT built[] = {CF_HDROP, CF_UNICODETEXT, data->HtmlFormat(), data->QQFormat()};
        std::vector<UINT> expected;
        for (int i = 0; i < 4; ++i) {
            if (mask & (1 << i)) {
                builders[i]();
                expected.push_back(built[i]);
            }
        }
        STGMEDIUM extra = GlobalMedium("e");
        FORMATETC extraFormat = Request(CF_TEXT);
        data->SetData(&extraFormat, &extra, TRUE);
        expected.push_back(data->LabelFormat());
        IEnumFORMATETC* formats = reinterpret_cast<IEnumFORMATETC*>(1);
        EXPECT_EQ(data->EnumFormatEtc(DATADIR_SET, &formats), E_NOTIMPL);
        EXPECT_EQ(formats, nullptr);
        ASSERT_EQ(data->EnumFormatEtc(DATADIR_GET, &formats), S_OK);
        FORMATETC format[8];
        ULONG fetched = 0;
        formats->Next(8, format, &fetched);
        formats->Release();
        std::vector<UINT> offered;
        for (ULONG i = 0; i < fetched; ++i) {
            offered.push_back(format[i].cfFormat);
            EXPECT_TRUE(format[i].ptd == nullptr && format[i].dwAspect == DVASPECT_CONTENT &&
                        format[i].lindex == 0 && format[i].tymed == TYMED_HGLOBAL);
        }
        EXPECT_EQ(offered, expected) << mask;
        testsupport::LogCapture capture;
        EXPECT_EQ(data->EnumFormatEtc(DATADIR_GET, nullptr), E_INVALIDARG);
        EXPECT_EQ(Logged(capture), std::vector<std::wstring>{L"4 DRAGDROP - ppenumFormatEtc is nullptr!"
                                                             L"(FerrydockIpc::FerrydockDataObject::EnumFormatEtc)"});
        EXPECT_EQ(data->Release(), 0u);
    }
}

TEST(Payloads, EdgesOfTheBuildersAndTheirLogLines)
{
    const std::wstring header = L"Version:0.9\r\nStartHTML:00000000\r\nEndHTML:00000000\r\nStartFragment:00000000\r\n"
                                L"EndFragment:00000000\r\n";
    const struct {
        std::function<void(FerrydockDataObject&)> build;
        int format; // 0 file list, 1 text, 2 html, 3 rich-edit
        Bytes expected; // empty: not offered
        std::vector<std::wstring> logged; // empty: not checked
    } cases[] = {
        {[](auto& d) { d.SetTextData(std::wstring(L"ab\0cd", 5)); }, 1, Utf16z(L"ab"), {}},
        {[](auto& d) { d.SetQQFormatData(std::wstring(L"a\0b", 3)); }, 3, Ascii(std::string("a\0b\0", 4)), {}},
        {[&](auto& d) { d.SetHtmlData(header + L"<HTML></HTML>"); }, 2, Bytes{0}, {}},
        {[](auto& d) { d.SetFileData({L""}); }, 0, FileDropBlock({L""}), {}},
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
    const std::string body = "<html><!--StartFrag-->x<!--EndFrag-->";
    const std::string fields = "StartHTML:@@@@@@@@@EndHTML:@@@@@@@@@StartFragment:@@@@@@@@@EndFragment:@@@@@@@@@";
    const struct {
        std::string input, output;
        const char* logged; // null: nothing
    } cases[] = {
        {body + fields, body + "StartHTML:00000000\rEndHTML:00000117\rStartFragment:00000006\rEndFragment:00000023\r",
         nullptr},
        {body + fields.substr(0, fields.size() - 1), "", "sprintf_s EndFragment failed"},
        {body + "StartHTML:@@@@@@@@", "", "sprintf_s StartHTML failed"},
        {body + "EndHTML:@@@@@@@@@", "", "find StartHTML failed"},
        {body + "StartHTML:@@@@@@@@@EndHTML:@@@@@@@@@StartFragment:@@@@@@@@@", "", nullptr},
        {"StartHTML:@@@@@@@@@EndHTML:@@@@@@@@@StartFragment:@@@@@@@@@<html>", "", "sprintf_s StartFragment failed"},
        {fields + "<html><!--StartFrag-->" + std::string(100000000, 'x'), "", "sprintf_s EndHTML failed"},
    };
    for (const auto& c : cases) {
        testsupport::LogCapture capture;
        EXPECT_TRUE(FerrydockDataObject::RefreshHtmlInfo(c.input) == c.output) << c.input.substr(0, 80);
        std::vector<std::wstring> expected;
        if (c.logged != nullptr) {
            expected.push_back(L"3 " + std::wstring(c.logged, c.logged + std::strlen(c.logged)) +
                               L"(FerrydockIpc::FerrydockDataObject::RefreshHtmlInfo)");
        }
        EXPECT_EQ(Logged(capture), expected);
    }
}
