#include "dragdrop/DataObject.h"

#include "common/Log.h"
#include "ferrydock/Resource.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <memory>
#include <new>

namespace FerrydockIpc {

namespace {

constexpr const char* kGetData = "FerrydockIpc::FerrydockDataObject::GetData";
constexpr const char* kQueryGetData = "FerrydockIpc::FerrydockDataObject::QueryGetData";
constexpr const char* kSetData = "FerrydockIpc::FerrydockDataObject::SetData";
constexpr const char* kEnumFormatEtc = "FerrydockIpc::FerrydockDataObject::EnumFormatEtc";
constexpr const char* kCopyMedium = "FerrydockIpc::FerrydockDataObject::CopyMedium";

// A metafile picture is a global block whose METAFILEPICT names a metafile handle; the copy gets
// its own metafile built from the source's bits. (OLE's own duplicate of this format fails with
// ERROR_INVALID_HANDLE under Wine, so it is not used here.)
HGLOBAL DuplicateMetafilePict(HGLOBAL source)
{
    const GlobalLock from(source);
    if (!from) {
        return nullptr;
    }
    const METAFILEPICT pict = *static_cast<const METAFILEPICT*>(from.data());
    const UINT size = GetMetaFileBitsEx(pict.hMF, 0, nullptr);
    std::unique_ptr<BYTE[]> bits(size == 0 ? nullptr : new (std::nothrow) BYTE[size]);
    if (!bits || GetMetaFileBitsEx(pict.hMF, size, bits.get()) != size) {
        return nullptr;
    }
    UniqueGlobalMemory block(GlobalAlloc(GMEM_MOVEABLE, sizeof(METAFILEPICT)));
    const GlobalLock to(block.get());
    if (!to) {
        return nullptr;
    }
    UniqueResource<HMETAFILE, ::DeleteMetaFile> metafile(SetMetaFileBitsEx(size, bits.get()));
    if (!metafile) {
        return nullptr;
    }
    *static_cast<METAFILEPICT*>(to.data()) = METAFILEPICT{pict.mm, pict.xExt, pict.yExt, metafile.release()};
    return block.release();
}

HGLOBAL DuplicateMediumHandle(STGMEDIUM* medium, CLIPFORMAT format)
{
    if (medium->tymed == TYMED_MFPICT) {
        return DuplicateMetafilePict(medium->hMetaFilePict);
    }
    return static_cast<HGLOBAL>(OleDuplicateData(medium->hGlobal, format, 0));
}

bool SharesMediumType(const FORMATETC& entry, const FORMATETC& request) { return (entry.tymed & request.tymed) != 0; }

} // namespace

FerrydockDataObject* FerrydockDataObject::Create(IDropSource* source)
{
    return new (std::nothrow) FerrydockDataObject(source);
}

FerrydockDataObject::FerrydockDataObject(IDropSource* source) : dropSource(source)
{
    // The numbers are stored as they come: a failed registration (0) matches no request.
    cfHtml = RegisterClipboardFormatW(L"HTML Format");
    cfQQFormat = RegisterClipboardFormatW(L"QQ_Unicode_RichEdit_Format");
    cfLabel = RegisterClipboardFormatW(L"KdMultiscreenDataSource");
}

FerrydockDataObject::~FerrydockDataObject()
{
    while (!entries.empty()) {
        const DataEntry entry = entries.front();
        entries.pop_front();
        ReleaseStgMedium(entry.medium);
        delete entry.medium;
        delete entry.format;
    }
    if (hasText) {
        ReleaseStgMedium(&textMedium);
    }
    if (hasHtml) {
        ReleaseStgMedium(&htmlMedium);
    }
    if (hasQQFormat) {
        ReleaseStgMedium(&qqFormatMedium);
    }
    ReleaseStgMedium(&labelMedium);
}

STDMETHODIMP FerrydockDataObject::QueryInterface(REFIID riid, void** ppv)
{
    static const QITAB table[] = {
        // QITABENT's offset is a DWORD in an int field: a narrowing that clang refuses in a
        // braced initialiser, so the entry is spelled out with the conversion made explicit.
        {&__uuidof(IDataObject), static_cast<int>(OFFSETOFCLASS(IDataObject, FerrydockDataObject))},
        {nullptr, 0},
    };
    return QISearch(this, table, riid, ppv);
}

STDMETHODIMP_(ULONG) FerrydockDataObject::AddRef() { return ++refCount; }

STDMETHODIMP_(ULONG) FerrydockDataObject::Release()
{
    const ULONG remaining = --refCount;
    if (remaining == 0) {
        delete this;
    }
    return remaining;
}

STDMETHODIMP FerrydockDataObject::GetData(FORMATETC* pformatetcIn, STGMEDIUM* pmedium)
{
    if (pformatetcIn == nullptr || pmedium == nullptr) {
        Log(LogLevel::Error, kGetData, "DRAGDROP - pformatetcIn or pmedium is nullptr!");
        return E_INVALIDARG;
    }
    pmedium->hGlobal = nullptr;
    for (const DataEntry& entry : entries) {
        if (SharesMediumType(*entry.format, *pformatetcIn) && entry.format->dwAspect == pformatetcIn->dwAspect &&
            entry.format->cfFormat == pformatetcIn->cfFormat) {
            return CopyMedium(pmedium, entry.medium, entry.format);
        }
    }
    return DV_E_FORMATETC;
}

STDMETHODIMP FerrydockDataObject::GetDataHere(FORMATETC*, STGMEDIUM*) { return E_NOTIMPL; }

STDMETHODIMP FerrydockDataObject::QueryGetData(FORMATETC* pformatetc)
{
    if (pformatetc == nullptr) {
        Log(LogLevel::Error, kQueryGetData, "DRAGDROP - pformatetc is nullptr!");
        return E_INVALIDARG;
    }
    if ((pformatetc->dwAspect & DVASPECT_CONTENT) == 0) {
        return DV_E_DVASPECT;
    }
    // The verdict of a miss is the one of the oldest entry looked at.
    HRESULT verdict = DV_E_TYMED;
    for (const DataEntry& entry : entries) {
        if (!SharesMediumType(*entry.format, *pformatetc)) {
            verdict = DV_E_TYMED;
        } else if (entry.format->cfFormat == pformatetc->cfFormat) {
            return S_OK;
        } else {
            verdict = DV_E_CLIPFORMAT;
        }
    }
    return verdict;
}

STDMETHODIMP FerrydockDataObject::GetCanonicalFormatEtc(FORMATETC*, FORMATETC* pformatetcOut)
{
    if (pformatetcOut != nullptr) {
        pformatetcOut->ptd = nullptr;
    }
    return E_NOTIMPL;
}

STDMETHODIMP FerrydockDataObject::SetData(FORMATETC* pformatetc, STGMEDIUM* pmedium, BOOL fRelease)
{
    if (pformatetc == nullptr || pmedium == nullptr) {
        Log(LogLevel::Error, kSetData, "DRAGDROP - pformatetc or pmedium is nullptr!");
        return E_INVALIDARG;
    }
    if (pformatetc->tymed != pmedium->tymed) {
        Log(LogLevel::Error, kSetData, "DRAGDROP - tymed is not equal!");
        return E_FAIL;
    }
    std::unique_ptr<FORMATETC> format(new (std::nothrow) FORMATETC{});
    if (!format) {
        Log(LogLevel::Error, kSetData, "DRAGDROP - SetData fetc is nullptr!");
        return E_FAIL;
    }
    std::unique_ptr<STGMEDIUM> medium(new (std::nothrow) STGMEDIUM{});
    if (!medium) {
        Log(LogLevel::Error, kSetData, "DRAGDROP - SetData pStgMed is nullptr!");
        return E_FAIL;
    }
    // The target device is kept as the caller's pointer; its description is not ours.
    *format = *pformatetc;
    const bool takesOwnership = fRelease == TRUE;
    if (takesOwnership) {
        *medium = *pmedium;
    } else {
        // A failed copy still stores an (empty) entry: GetData then reports it.
        CopyMedium(medium.get(), pmedium, pformatetc);
    }
    try {
        entries.push_front(DataEntry{format.get(), medium.get()});
    } catch (const std::bad_alloc&) {
        // The caller keeps what it offered; only our own copy goes.
        if (!takesOwnership) {
            ReleaseStgMedium(medium.get());
        }
        return E_OUTOFMEMORY;
    }
    format.release();
    medium.release();
    return S_OK;
}

STDMETHODIMP FerrydockDataObject::EnumFormatEtc(DWORD dwDirection, IEnumFORMATETC** ppenumFormatEtc)
{
    if (ppenumFormatEtc == nullptr) {
        Log(LogLevel::Error, kEnumFormatEtc, "DRAGDROP - ppenumFormatEtc is nullptr!");
        return E_INVALIDARG;
    }
    *ppenumFormatEtc = nullptr;
    if (dwDirection != DATADIR_GET) {
        return E_NOTIMPL;
    }
    const UINT count = 1 + (hasFile ? 1 : 0) + (hasText ? 1 : 0) + (hasHtml ? 1 : 0) + (hasQQFormat ? 1 : 0);
    std::unique_ptr<FORMATETC[]> formats(new (std::nothrow) FORMATETC[count]);
    if (!formats) {
        Log(LogLevel::Error, kEnumFormatEtc, "DRAGDROP - new formatetcArray failed!");
        return E_INVALIDARG;
    }
    UINT next = 0;
    const auto offer = [&](CLIPFORMAT format) {
        formats[next++] = FORMATETC{format, nullptr, DVASPECT_CONTENT, 0, TYMED_HGLOBAL};
    };
    if (hasFile) {
        offer(CF_HDROP);
    }
    if (hasText) {
        offer(CF_UNICODETEXT);
    }
    if (hasHtml) {
        offer(static_cast<CLIPFORMAT>(cfHtml));
    }
    if (hasQQFormat) {
        offer(static_cast<CLIPFORMAT>(cfQQFormat));
    }
    offer(static_cast<CLIPFORMAT>(cfLabel));
    return SHCreateStdEnumFmtEtc(count, formats.get(), ppenumFormatEtc);
}

STDMETHODIMP FerrydockDataObject::DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) { return E_NOTIMPL; }

STDMETHODIMP FerrydockDataObject::DUnadvise(DWORD) { return E_NOTIMPL; }

STDMETHODIMP FerrydockDataObject::EnumDAdvise(IEnumSTATDATA**) { return E_NOTIMPL; }

// Global memory is duplicated, so every reader owns and frees its own block. Bitmaps, palettes,
// metafile pictures and enhanced metafiles are duplicated too; a failed duplicate of one of
// them is refused, since the caller could not tell an empty copy from a real one. Streams and
// storages are shared by reference (each copy holds one reference, so releasing the copies in any
// order is safe; readers share the seek position). A file medium is refused: its release deletes
// the file, so a second owner of the same name would delete it under the first.
HRESULT FerrydockDataObject::CopyMedium(STGMEDIUM* pMedDest, STGMEDIUM* pMedSrc, FORMATETC* pFmtSrc)
{
    if (pMedDest == nullptr || pMedSrc == nullptr || pFmtSrc == nullptr) {
        Log(LogLevel::Error, kCopyMedium, "pMedDest, pMedSrc or pFmtSrc is null");
        return E_INVALIDARG;
    }
    if (pMedSrc->hGlobal == nullptr) {
        Log(LogLevel::Error, kCopyMedium, "pMedSrc->hGlobal is null");
        return E_INVALIDARG;
    }
    switch (pMedSrc->tymed) {
    case TYMED_HGLOBAL:
        pMedDest->hGlobal = static_cast<HGLOBAL>(OleDuplicateData(pMedSrc->hGlobal, pFmtSrc->cfFormat, 0));
        break;
    case TYMED_GDI:
    case TYMED_MFPICT:
    case TYMED_ENHMF:
        // The union's members share one slot, so the handle goes through hGlobal for all three.
        pMedDest->hGlobal = DuplicateMediumHandle(pMedSrc, pFmtSrc->cfFormat);
        if (pMedDest->hGlobal == nullptr) {
            Log(LogLevel::Error, kCopyMedium, "duplicate failed for tymed ", pMedSrc->tymed, ", cf ",
                pFmtSrc->cfFormat);
            return E_OUTOFMEMORY;
        }
        break;
    case TYMED_ISTREAM:
        pMedDest->pstm = pMedSrc->pstm;
        pMedDest->pstm->AddRef();
        break;
    case TYMED_ISTORAGE:
        pMedDest->pstg = pMedSrc->pstg;
        pMedDest->pstg->AddRef();
        break;
    default:
        Log(LogLevel::Error, kCopyMedium, "cannot copy a medium of tymed ", pMedSrc->tymed);
        return DV_E_TYMED;
    }
    pMedDest->tymed = pMedSrc->tymed;
    pMedDest->pUnkForRelease = pMedSrc->pUnkForRelease;
    if (pMedDest->pUnkForRelease != nullptr) {
        pMedDest->pUnkForRelease->AddRef();
    }
    return S_OK;
}

} // namespace FerrydockIpc
