// Media other than global memory stored in the data object and read back: each reader gets
// its own duplicate with the same content, and what cannot be copied is refused.
#include "dragdrop/DataObject.h"
#include "support/ImportPatch.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

using namespace FerrydockIpc;

namespace {

using Content = std::vector<BYTE>;

Content MetafileBits(HMETAFILE mf)
{
    Content bits(GetMetaFileBitsEx(mf, 0, nullptr));
    GetMetaFileBitsEx(mf, static_cast<UINT>(bits.size()), bits.data());
    return bits;
}

Content EnhMetafileBits(HENHMETAFILE emf)
{
    Content bits(GetEnhMetaFileBits(emf, 0, nullptr));
    GetEnhMetaFileBits(emf, static_cast<UINT>(bits.size()), bits.data());
    return bits;
}

Content MetafilePictBits(HGLOBAL block)
{
    const auto* pict = static_cast<METAFILEPICT*>(GlobalLock(block));
    Content bits = MetafileBits(pict->hMF);
    bits.push_back(static_cast<BYTE>(pict->mm));
    bits.push_back(static_cast<BYTE>(pict->xExt));
    GlobalUnlock(block);
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
    static wchar_t fileName[] = L"C:\\kept.txt";
    const struct {
        CLIPFORMAT cf;
        DWORD tymed;
        HANDLE handle;
        std::function<Content(HANDLE)> content;
    } media[] = {
        {CF_BITMAP, TYMED_GDI, CreateBitmap(2, 2, 1, 32, pixels),
         [](HANDLE h) {
             Content bits(16);
             GetBitmapBits(static_cast<HBITMAP>(h), 16, bits.data());
             return bits;
         }},
        {CF_METAFILEPICT, TYMED_MFPICT, pict, [](HANDLE h) { return MetafilePictBits(h); }},
        {CF_ENHMETAFILE, TYMED_ENHMF, CloseEnhMetaFile(emfDc),
         [](HANDLE h) { return EnhMetafileBits(static_cast<HENHMETAFILE>(h)); }},
    };
    const Content bitmapBits(reinterpret_cast<const BYTE*>(pixels), reinterpret_cast<const BYTE*>(pixels + 4));
    EXPECT_EQ(media[0].content(media[0].handle), bitmapBits) << "the test's own bitmap";
    for (const auto& m : media) {
        FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
        FORMATETC format{m.cf, nullptr, DVASPECT_CONTENT, -1, m.tymed};
        STGMEDIUM lent{};
        lent.tymed = m.tymed;
        lent.hGlobal = static_cast<HGLOBAL>(m.handle);
        ASSERT_EQ(data->SetData(&format, &lent, FALSE), S_OK) << m.tymed;
        STGMEDIUM copy{};
        ASSERT_EQ(data->GetData(&format, &copy), S_OK) << m.tymed;
        EXPECT_EQ(copy.tymed, m.tymed);
        EXPECT_NE(copy.hGlobal, lent.hGlobal) << m.tymed;
        EXPECT_EQ(m.content(copy.hGlobal), m.content(lent.hGlobal)) << m.tymed;
        EXPECT_FALSE(m.content(copy.hGlobal).empty()) << m.tymed;
        ReleaseStgMedium(&copy);
        if (m.tymed != TYMED_MFPICT) { // copied from its bits, without OLE
            testsupport::LogCapture capture;
            testsupport::ImportPatch patch(GetModuleHandleW(nullptr), "ole32.dll", "OleDuplicateData",
                                           reinterpret_cast<void*>(&NoDuplicate));
            EXPECT_EQ(data->GetData(&format, &copy), E_OUTOFMEMORY) << m.tymed;
            EXPECT_EQ(capture.Lines().size(), 1u);
        }
        EXPECT_EQ(data->Release(), 0u);
        ReleaseStgMedium(&lent);
    }
    // Releasing a file medium deletes its file, so a copy of one would be a second deleter.
    testsupport::LogCapture capture;
    FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
    FORMATETC fileFormat{CF_TEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_FILE};
    STGMEDIUM file{};
    file.tymed = TYMED_FILE;
    file.lpszFileName = fileName;
    EXPECT_EQ(data->SetData(&fileFormat, &file, FALSE), S_OK) << "stored empty, refused when read";
    STGMEDIUM copy{};
    EXPECT_EQ(data->GetData(&fileFormat, &copy), E_INVALIDARG);
    EXPECT_EQ(capture.Lines(),
              (std::vector<std::wstring>{
                  L"cannot copy a medium of tymed 2(FerrydockIpc::FerrydockDataObject::CopyMedium)",
                  L"pMedSrc->hGlobal is null(FerrydockIpc::FerrydockDataObject::CopyMedium)"}));
    EXPECT_EQ(data->Release(), 0u);
}
