// The data object and the drop source driven through their raw interfaces, as OLE and
// drop targets drive them.
#include "dragdrop/DataObject.h"
#include "dragdrop/DragTestSupport.h"
#include "dragdrop/DropSource.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

using namespace FerrydockIpc;
using namespace dragtest;
using testsupport::LogCapture;
using testsupport::LogRecord;

namespace {

constexpr DWORD kAnyMedium = TYMED_HGLOBAL | TYMED_ISTREAM | TYMED_ISTORAGE;
const std::wstring kTag = L"(FerrydockIpc::FerrydockDataObject::";

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

STGMEDIUM GlobalMedium(const Bytes& bytes)
{
    STGMEDIUM medium{};
    medium.tymed = TYMED_HGLOBAL;
    medium.hGlobal = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
    std::copy(bytes.begin(), bytes.end(), static_cast<std::uint8_t*>(GlobalLock(medium.hGlobal)));
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
        HRESULT expected;
    } interfaces[] = {
        {data, IID_IUnknown, S_OK}, {data, IID_IDataObject, S_OK}, {data, IID_IDropSource, E_NOINTERFACE},
        {data, IID_IEnumFORMATETC, E_NOINTERFACE}, {source, IID_IUnknown, S_OK}, {source, IID_IDropSource, S_OK},
        {source, IID_IDataObject, E_NOINTERFACE}, {source, IID_IDropTarget, E_NOINTERFACE},
    };
    for (const auto& c : interfaces) {
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(c.object->QueryInterface(c.iid, &out), c.expected);
        EXPECT_EQ(out, c.expected == S_OK ? static_cast<void*>(c.object) : nullptr);
        EXPECT_EQ(RefCount(c.object), c.expected == S_OK ? 2u : 1u);
        if (c.expected == S_OK) {
            c.object->Release();
        }
    }
    // Escape cancels; the left button up drops; other keys do not matter.
    const struct {
        BOOL escape;
        DWORD keys;
        HRESULT expected;
    } queries[] = {
        {TRUE, MK_LBUTTON, DRAGDROP_S_CANCEL}, {2, 0, DRAGDROP_S_CANCEL}, {FALSE, MK_LBUTTON, S_OK},
        {FALSE, MK_LBUTTON | MK_SHIFT | MK_CONTROL | MK_RBUTTON, S_OK}, {FALSE, 0, DRAGDROP_S_DROP},
        {FALSE, MK_RBUTTON | MK_MBUTTON | MK_SHIFT, DRAGDROP_S_DROP},
    };
    for (const auto& c : queries) {
        EXPECT_EQ(source->QueryContinueDrag(c.escape, c.keys), c.expected) << c.escape << " " << c.keys;
    }
    for (const DWORD effect : {DROPEFFECT_NONE, DROPEFFECT_COPY, DROPEFFECT_MOVE | DROPEFFECT_LINK}) {
        EXPECT_EQ(source->GiveFeedback(effect), DRAGDROP_S_USEDEFAULTCURSORS);
    }
    EXPECT_EQ(data->Release(), 0u);
    EXPECT_EQ(source->Release(), 0u);
}

TEST(ComObjects, GetDataMatchesMaskAspectAndFormatAndCopiesEveryTime)
{
    FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
    data->SetTextData(L"abc");
    const struct {
        const char* name;
        FORMATETC request;
        HRESULT expected;
    } cases[] = {
        {"combined mask", Request(CF_UNICODETEXT, kAnyMedium), S_OK},
        {"stream only", Request(CF_UNICODETEXT, TYMED_ISTREAM), DV_E_FORMATETC},
        {"thumbnail", Request(CF_UNICODETEXT, TYMED_HGLOBAL, DVASPECT_THUMBNAIL), DV_E_FORMATETC},
        {"content and icon", Request(CF_UNICODETEXT, TYMED_HGLOBAL, DVASPECT_CONTENT | DVASPECT_ICON), DV_E_FORMATETC},
        {"not stored", Request(CF_HDROP), DV_E_FORMATETC},
    };
    for (const auto& c : cases) {
        FORMATETC request = c.request;
        STGMEDIUM first{}, second{};
        first.hGlobal = second.hGlobal = reinterpret_cast<HGLOBAL>(1);
        EXPECT_EQ(data->GetData(&request, &first), c.expected) << c.name;
        EXPECT_EQ(data->GetData(&request, &second), c.expected) << c.name;
        if (c.expected != S_OK) {
            EXPECT_EQ(first.hGlobal, nullptr) << c.name;
            continue;
        }
        // Each answer is a block of its own that the reader frees in any order.
        EXPECT_NE(first.hGlobal, second.hGlobal);
        EXPECT_EQ(first.tymed, static_cast<DWORD>(TYMED_HGLOBAL));
        EXPECT_EQ(BlockBytes(first.hGlobal), BlockBytes(second.hGlobal));
        ReleaseStgMedium(&second);
        EXPECT_EQ(BlockBytes(first.hGlobal), Utf16z(L"abc"));
        ReleaseStgMedium(&first);
    }
    FORMATETC request = Request(CF_UNICODETEXT);
    STGMEDIUM medium{};
    LogCapture capture;
    EXPECT_EQ(data->GetData(nullptr, &medium), E_INVALIDARG);
    EXPECT_EQ(data->GetData(&request, nullptr), E_INVALIDARG);
    EXPECT_EQ(data->QueryGetData(nullptr), E_INVALIDARG);
    EXPECT_EQ(capture.Records(), (std::vector<LogRecord>{
                                     {4, L"DRAGDROP - pformatetcIn or pmedium is nullptr!" + kTag + L"GetData)"},
                                     {4, L"DRAGDROP - pformatetcIn or pmedium is nullptr!" + kTag + L"GetData)"},
                                     {4, L"DRAGDROP - pformatetc is nullptr!" + kTag + L"QueryGetData)"}}));
    EXPECT_EQ(data->Release(), 0u);
}

TEST(ComObjects, QueryGetDataVerdictIsTheOldestEntrysOnAMiss)
{
    FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
    FORMATETC empty = Request(CF_TEXT);
    EXPECT_EQ(data->QueryGetData(&empty), DV_E_TYMED);
    STGMEDIUM global = GlobalMedium(Ascii("x"));
    FORMATETC older = Request(CF_TEXT);
    ASSERT_EQ(data->SetData(&older, &global, TRUE), S_OK);
    STGMEDIUM stream{};
    stream.tymed = TYMED_ISTREAM;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &stream.pstm), S_OK);
    FORMATETC newer = Request(CF_OEMTEXT, TYMED_ISTREAM);
    ASSERT_EQ(data->SetData(&newer, &stream, FALSE), S_OK);
    EXPECT_EQ(RefCount(stream.pstm), 2u) << "a stream is shared, not copied: the entry holds its own reference";
    const struct {
        FORMATETC request;
        HRESULT expected;
    } cases[] = {
        {Request(CF_TEXT), S_OK},
        {Request(CF_OEMTEXT, TYMED_ISTREAM), S_OK},
        {Request(CF_UNICODETEXT, TYMED_HGLOBAL), DV_E_CLIPFORMAT},
        {Request(CF_UNICODETEXT, TYMED_ISTREAM), DV_E_TYMED},
        {Request(CF_TEXT, TYMED_FILE), DV_E_TYMED},
        {Request(CF_TEXT, TYMED_HGLOBAL, DVASPECT_THUMBNAIL), DV_E_DVASPECT},
        {Request(CF_TEXT, TYMED_HGLOBAL, DVASPECT_CONTENT | DVASPECT_THUMBNAIL), S_OK},
    };
    for (const auto& c : cases) {
        FORMATETC request = c.request;
        EXPECT_EQ(data->QueryGetData(&request), c.expected) << request.cfFormat << " " << request.tymed;
    }
    FORMATETC askStream = Request(CF_OEMTEXT, kAnyMedium);
    STGMEDIUM copy{};
    ASSERT_EQ(data->GetData(&askStream, &copy), S_OK);
    EXPECT_EQ(copy.tymed, static_cast<DWORD>(TYMED_ISTREAM));
    EXPECT_EQ(copy.pstm, stream.pstm);
    ReleaseStgMedium(&copy);
    EXPECT_EQ(data->Release(), 0u);
    EXPECT_EQ(stream.pstm->Release(), 0u);
}

TEST(ComObjects, SetDataOwnershipOverrideAndRefusals)
{
    GlobalMemoryWatch watch;
    Counter owner;
    FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
    STGMEDIUM given = GlobalMedium(Ascii("first"));
    given.pUnkForRelease = &owner;
    FORMATETC format = Request(CF_TEXT);
    ASSERT_EQ(data->SetData(&format, &given, TRUE), S_OK);
    EXPECT_EQ(owner.refs, 1u) << "taken over as it is";
    STGMEDIUM lent = GlobalMedium(Ascii("second"));
    ASSERT_EQ(data->SetData(&format, &lent, FALSE), S_OK);
    ReleaseStgMedium(&lent);
    Bytes newest;
    ASSERT_EQ(Ask(data, CF_TEXT, &newest), S_OK);
    EXPECT_EQ(newest, Ascii("second"));

    LogCapture capture;
    STGMEDIUM mismatched = GlobalMedium(Ascii("x"));
    FORMATETC streamFormat = Request(CF_OEMTEXT, TYMED_ISTREAM);
    EXPECT_EQ(data->SetData(&streamFormat, &mismatched, FALSE), E_FAIL);
    streamFormat.tymed = TYMED_HGLOBAL;
    EXPECT_EQ(data->QueryGetData(&streamFormat), DV_E_CLIPFORMAT) << "nothing stored";
    EXPECT_EQ(data->SetData(nullptr, &mismatched, FALSE), E_INVALIDARG);
    ReleaseStgMedium(&mismatched);
    STGMEDIUM hollow{};
    hollow.tymed = TYMED_HGLOBAL;
    FORMATETC hollowFormat = Request(CF_DIB);
    EXPECT_EQ(data->SetData(&hollowFormat, &hollow, FALSE), S_OK);
    EXPECT_EQ(Ask(data, CF_DIB), E_INVALIDARG);
    EXPECT_EQ(capture.Records(), (std::vector<LogRecord>{
                                     {4, L"DRAGDROP - tymed is not equal!" + kTag + L"SetData)"},
                                     {4, L"DRAGDROP - pformatetc or pmedium is nullptr!" + kTag + L"SetData)"},
                                     {4, L"pMedSrc->hGlobal is null" + kTag + L"CopyMedium)"},
                                     {4, L"pMedSrc->hGlobal is null" + kTag + L"CopyMedium)"}}));
    EXPECT_EQ(data->Release(), 0u);
    EXPECT_EQ(owner.refs, 0u) << "the medium taken over is released once, at destruction";
    GlobalFree(given.hGlobal); // a medium with a release interface leaves its block to that owner
    // Three blocks made here, two duplicates made by OLE (the stored copy and the one read).
    EXPECT_EQ(watch.allocations(), 5u);
    EXPECT_TRUE(watch.live().empty());
}

// Offered: the builders' formats in a fixed order, then the label; a format stored by a
// target is served but not offered.
TEST(ComObjects, EnumFormatEtcOffersTheFlagsInOrder)
{
    for (int mask = 0; mask < 16; ++mask) {
        FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
        std::vector<UINT> expected;
        if (mask & 1) {
            data->SetFileData({L"f"});
            expected.push_back(CF_HDROP);
        }
        if (mask & 2) {
            data->SetTextData(L"t");
            expected.push_back(CF_UNICODETEXT);
        }
        if (mask & 4) {
            data->SetHtmlData(L"h");
            expected.push_back(data->HtmlFormat());
        }
        if (mask & 8) {
            data->SetQQFormatData(L"q");
            expected.push_back(data->QQFormat());
        }
        STGMEDIUM extra = GlobalMedium(Ascii("e"));
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
        data->Release();
    }
    FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
    LogCapture capture;
    EXPECT_EQ(data->EnumFormatEtc(DATADIR_GET, nullptr), E_INVALIDARG);
    EXPECT_EQ(capture.Lines(), std::vector<std::wstring>{L"DRAGDROP - ppenumFormatEtc is nullptr!" + kTag +
                                                         L"EnumFormatEtc)"});
    EXPECT_EQ(data->Release(), 0u);
}
