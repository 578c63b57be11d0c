// The data object of one drag: holds every payload as a global memory block and hands
// copies to drop targets.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <atomic>
#include <cstddef>
#include <list>
#include <string>
#include <vector>

namespace FerrydockIpc {

// One stored format; both records are owned by the data object.
struct DataEntry {
    FORMATETC* format;
    STGMEDIUM* medium;
};

class FerrydockDataObject final : public IDataObject {
public:
    // Reference count 1; null when the heap is exhausted. No reference to the drop
    // source is taken: the drag owns both and the data object never calls it.
    static FerrydockDataObject* Create(IDropSource* dropSource);

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP GetData(FORMATETC* pformatetcIn, STGMEDIUM* pmedium) override;
    STDMETHODIMP GetDataHere(FORMATETC* pformatetc, STGMEDIUM* pmedium) override;
    STDMETHODIMP QueryGetData(FORMATETC* pformatetc) override;
    STDMETHODIMP GetCanonicalFormatEtc(FORMATETC* pformatectIn, FORMATETC* pformatetcOut) override;
    STDMETHODIMP SetData(FORMATETC* pformatetc, STGMEDIUM* pmedium, BOOL fRelease) override;
    STDMETHODIMP EnumFormatEtc(DWORD dwDirection, IEnumFORMATETC** ppenumFormatEtc) override;
    STDMETHODIMP DAdvise(FORMATETC* pformatetc, DWORD advf, IAdviseSink* pAdvSink, DWORD* pdwConnection) override;
    STDMETHODIMP DUnadvise(DWORD dwConnection) override;
    STDMETHODIMP EnumDAdvise(IEnumSTATDATA** ppenumAdvise) override;

    HRESULT CopyMedium(STGMEDIUM* pMedDest, STGMEDIUM* pMedSrc, FORMATETC* pFmtSrc);

    // Payload builders; each stores its block through SetData without giving it away.
    void SetFileData(const std::vector<std::wstring>& files);
    void SetTextData(const std::wstring& text);
    void SetHtmlData(const std::wstring& html);
    void SetQQFormatData(const std::wstring& qqFormat);
    void SetLabelData();

    // Fills the four offsets of an "HTML Format" header in its own copy of html, which it
    // returns; empty on failure. Taken by value, so that a caller's temporary (the converted
    // payload) becomes that copy without being copied once more.
    static std::string RefreshHtmlInfo(std::string html);
    bool CopyFileNameToHGlobal(HGLOBAL* target, const std::vector<std::wstring>& files);
    bool CopyTextToHGlobal(HGLOBAL* target, const void* source, std::size_t count);

    UINT HtmlFormat() const { return cfHtml; }
    UINT QQFormat() const { return cfQQFormat; }
    UINT LabelFormat() const { return cfLabel; }

private:
    explicit FerrydockDataObject(IDropSource* source);
    ~FerrydockDataObject();

    STGMEDIUM fileMedium{};
    STGMEDIUM textMedium{};
    STGMEDIUM htmlMedium{};
    STGMEDIUM qqFormatMedium{};
    STGMEDIUM labelMedium{};
    bool hasText = false;
    bool hasHtml = false;
    bool hasQQFormat = false;
    bool hasFile = false;
    UINT cfHtml = 0;
    UINT cfQQFormat = 0;
    UINT cfLabel = 0;
    std::atomic<ULONG> refCount{1};
    IDropSource* dropSource = nullptr;
    std::list<DataEntry> entries; // newest first
};

} // namespace FerrydockIpc
