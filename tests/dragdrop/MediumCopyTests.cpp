// Media other than global memory stored in the data object and read back: each reader gets
// its own duplicate with the same content, and what cannot be copied is refused.
#include "dragdrop/DataObject.h"
#include "support/ImportPatch.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <vector>

using namespace FerrydockIpc;

namespace {

std::vector<BYTE> Content(DWORD tymed, HGLOBAL handle)
{
    std::vector<BYTE> bits(4096);
    if (tymed == TYMED_GDI) {
        bits.resize(GetBitmapBits(static_cast<HBITMAP>(handle), 16, bits.data()));
    } else if (tymed == TYMED_ENHMF) {
        bits.resize(GetEnhMetaFileBits(static_cast<HENHMETAFILE>(handle), 4096, bits.data()));
    } else {
        const METAFILEPICT pict = *static_cast<METAFILEPICT*>(GlobalLock(handle));
        GlobalUnlock(handle);
        bits.resize(GetMetaFileBitsEx(pict.hMF, 4096, bits.data()));
        bits.push_back(static_cast<BYTE>(pict.yExt));
    }
    return bits;
}

HANDLE WINAPI NoDuplicate(HANDLE, CLIPFORMAT, UINT) { return nullptr; }

} // namespace

TEST(ComObjects, GdiAndMetafileMediaAreDuplicatedAndFilesRefused)
{
    const DWORD pixels[4] = {0x00112233, 0x00445566, 0x00778899, 0x00AABBCC};
    HDC mfDc = CreateMetaFileW(nullptr);
    Rectangle(mfDc, 1, 2, 30, 40);
    HGLOBAL pict = GlobalAlloc(GMEM_MOVEABLE, sizeof(METAFILEPICT));
    *static_cast<METAFILEPICT*>(GlobalLock(pict)) = METAFILEPICT{MM_ANISOTROPIC, 77, 88, CloseMetaFile(mfDc)};
    GlobalUnlock(pict);
    HDC emfDc = CreateEnhMetaFileW(nullptr, nullptr, nullptr, nullptr);
    Ellipse(emfDc, 5, 6, 50, 60);
    const struct {
        CLIPFORMAT cf;
        DWORD tymed;
        HANDLE handle;
    } media[] = {{CF_BITMAP, TYMED_GDI, CreateBitmap(2, 2, 1, 32, pixels)},
                 {CF_METAFILEPICT, TYMED_MFPICT, pict},
                 {CF_ENHMETAFILE, TYMED_ENHMF, CloseEnhMetaFile(emfDc)}};
    for (const auto& m : media) {
        FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
        FORMATETC format{m.cf, nullptr, DVASPECT_CONTENT, -1, m.tymed};
        STGMEDIUM lent{m.tymed, {static_cast<HBITMAP>(m.handle)}, nullptr};
        ASSERT_EQ(data->SetData(&format, &lent, FALSE), S_OK) << m.tymed;
        STGMEDIUM copy{};
        ASSERT_EQ(data->GetData(&format, &copy), S_OK) << m.tymed;
        EXPECT_TRUE(copy.tymed == m.tymed && copy.hGlobal != lent.hGlobal) << m.tymed;
        EXPECT_EQ(Content(m.tymed, copy.hGlobal), Content(m.tymed, lent.hGlobal)) << m.tymed;
        EXPECT_GT(Content(m.tymed, copy.hGlobal).size(), 10u) << m.tymed;
        ReleaseStgMedium(&copy);
        if (m.tymed != TYMED_MFPICT) { // copied from its bits, without OLE
            testsupport::ImportPatch patch(GetModuleHandleW(nullptr), "ole32.dll", "OleDuplicateData",
                                           reinterpret_cast<void*>(&NoDuplicate));
            EXPECT_EQ(data->GetData(&format, &copy), E_OUTOFMEMORY) << m.tymed;
        }
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
