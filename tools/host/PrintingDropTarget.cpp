#include "PrintingDropTarget.h"

#include "Host.h"

#include <shellapi.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace host {

namespace {

constexpr size_t kShownUnits = 400; // longer texts are cut, with the count of what was left out
constexpr size_t kHexBytes = 32;

std::wstring FormatName(UINT format)
{
    if (format == CF_HDROP) {
        return L"CF_HDROP";
    }
    if (format == CF_UNICODETEXT) {
        return L"CF_UNICODETEXT";
    }
    wchar_t name[128] = {};
    return GetClipboardFormatNameW(format, name, 128) > 0 ? name : FormatText(L"#%u", format);
}

std::wstring Utf8(const char* bytes, size_t size)
{
    if (size == 0) {
        return {};
    }
    const int units = MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(size), nullptr, 0);
    std::wstring wide(static_cast<size_t>(units > 0 ? units : 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(size), wide.data(), units);
    return wide;
}

// One line of output: control characters escaped, long texts cut.
std::wstring Shown(const std::wstring& text)
{
    std::wstring out;
    for (size_t i = 0; i < text.size() && i < kShownUnits; ++i) {
        const wchar_t c = text[i];
        if (c == L'\r') {
            out += L"\\r";
        } else if (c == L'\n') {
            out += L"\\n";
        } else if (c < 0x20) {
            out += FormatText(L"\\x%02x", static_cast<unsigned>(c));
        } else {
            out += c;
        }
    }
    if (text.size() > kShownUnits) {
        out += FormatText(L"... (%zu more characters)", text.size() - kShownUnits);
    }
    return out;
}

std::wstring HexPrefix(const unsigned char* bytes, size_t size)
{
    std::wstring out;
    for (size_t i = 0; i < size && i < kHexBytes; ++i) {
        out += FormatText(i == 0 ? L"%02x" : L" %02x", bytes[i]);
    }
    return size > kHexBytes ? out + L" ..." : out;
}

void PrintFiles(HGLOBAL block)
{
    const auto drop = static_cast<HDROP>(block);
    const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    PrintLine(FormatText(count == 1 ? L"%u file" : L"%u files", count));
    for (UINT i = 0; i < count; ++i) {
        std::wstring path(DragQueryFileW(drop, i, nullptr, 0) + 1, L'\0');
        path.resize(DragQueryFileW(drop, i, path.data(), static_cast<UINT>(path.size())));
        PrintLine(L"    " + path);
    }
}

// The header's lines (everything before the first tag) and the fragment that its
// StartFragment and EndFragment offsets select, so that wrong offsets show.
void PrintHtml(const char* text, size_t size)
{
    const std::string whole(text, strnlen(text, size));
    const std::string header = whole.substr(0, whole.find('<'));
    std::wstring fields; // the header's lines joined by single spaces
    for (const wchar_t c : Utf8(header.data(), header.size())) {
        const bool lineEnd = c == L'\r' || c == L'\n';
        if (!lineEnd) {
            fields += c;
        } else if (!fields.empty() && fields.back() != L' ') {
            fields += L' ';
        }
    }
    if (!fields.empty() && fields.back() == L' ') {
        fields.pop_back();
    }
    PrintLine(fields);
    const auto offset = [&](const char* name) {
        const size_t at = header.find(name);
        return at == std::string::npos ? std::string::npos
                                       : static_cast<size_t>(std::strtoul(header.c_str() + at + std::strlen(name), nullptr, 10));
    };
    const size_t start = offset("StartFragment:");
    const size_t end = offset("EndFragment:");
    if (start == std::string::npos || end == std::string::npos || start > end || end > whole.size()) {
        PrintLine(L"    fragment: (offsets missing or outside the text)");
        return;
    }
    PrintLine(L"    fragment: " + Shown(Utf8(whole.data() + start, end - start)));
}

void PrintMedium(UINT format, const STGMEDIUM& medium)
{
    const std::wstring name = FormatName(format);
    if (medium.tymed != TYMED_HGLOBAL || medium.hGlobal == nullptr) {
        PrintLine(FormatText(L"  %ls: medium type %lu, not shown", name.c_str(), medium.tymed));
        return;
    }
    const SIZE_T size = GlobalSize(medium.hGlobal);
    Print(FormatText(L"  %ls, %zu bytes: ", name.c_str(), static_cast<size_t>(size)));
    if (format == CF_HDROP) {
        PrintFiles(medium.hGlobal);
        return;
    }
    const FerrydockIpc::GlobalLock lock(medium.hGlobal);
    const auto* bytes = static_cast<const unsigned char*>(lock.data());
    if (bytes == nullptr) {
        PrintLine(L"(cannot be locked)");
        return;
    }
    if (format == CF_UNICODETEXT) {
        const auto* text = reinterpret_cast<const wchar_t*>(bytes);
        PrintLine(L"\"" + Shown(std::wstring(text, wcsnlen(text, size / sizeof(wchar_t)))) + L"\"");
    } else if (name == L"HTML Format") {
        PrintHtml(reinterpret_cast<const char*>(bytes), size);
    } else {
        PrintLine(HexPrefix(bytes, size));
    }
}

} // namespace

Window MakeTopmostWindow(const wchar_t* className, const wchar_t* title, int left)
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = className;
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    RegisterClassW(&windowClass); // a second registration fails harmlessly
    return Window(CreateWindowExW(WS_EX_TOPMOST, className, title, WS_POPUP | WS_VISIBLE, left, 200, 300, 300,
                                  nullptr, nullptr, GetModuleHandleW(nullptr), nullptr));
}

void MoveCursorInto(HWND window)
{
    RECT area{};
    GetWindowRect(window, &area);
    SetCursorPos((area.left + area.right) / 2, (area.top + area.bottom) / 2);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&message);
    }
}

void PrintDataObject(const wchar_t* heading, IDataObject* data)
{
    FerrydockIpc::UniqueInterface<IEnumFORMATETC> formats;
    const HRESULT enumerated = data->EnumFormatEtc(DATADIR_GET, formats.put());
    if (FAILED(enumerated) || !formats) {
        PrintLine(FormatText(L"%ls: EnumFormatEtc failed (0x%08lx)", heading, static_cast<unsigned long>(enumerated)));
        return;
    }
    std::vector<FORMATETC> offered;
    FORMATETC format{};
    while (formats.get()->Next(1, &format, nullptr) == S_OK) {
        offered.push_back(format);
    }
    PrintLine(FormatText(L"%ls: %zu formats offered", heading, offered.size()));
    for (FORMATETC& each : offered) {
        STGMEDIUM medium{};
        const HRESULT got = data->GetData(&each, &medium);
        if (got != S_OK) {
            PrintLine(FormatText(L"  %ls: GetData failed (0x%08lx)", FormatName(each.cfFormat).c_str(),
                                 static_cast<unsigned long>(got)));
            continue;
        }
        const auto release = FerrydockIpc::OnScopeExit([&medium] { ReleaseStgMedium(&medium); });
        PrintMedium(each.cfFormat, medium);
    }
}

STDMETHODIMP PrintingDropTarget::QueryInterface(REFIID riid, void** ppv)
{
    *ppv = (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDropTarget)) ? this : nullptr;
    return *ppv != nullptr ? (AddRef(), S_OK) : E_NOINTERFACE;
}

STDMETHODIMP PrintingDropTarget::DragEnter(IDataObject*, DWORD, POINTL, DWORD* effect)
{
    *effect &= DROPEFFECT_COPY;
    return S_OK;
}

STDMETHODIMP PrintingDropTarget::DragOver(DWORD, POINTL, DWORD* effect)
{
    *effect &= DROPEFFECT_COPY;
    return S_OK;
}

STDMETHODIMP PrintingDropTarget::Drop(IDataObject* data, DWORD, POINTL, DWORD* effect)
{
    ++drops;
    PrintDataObject(L"drop", data);
    if (keep_ && !kept) {
        data->AddRef();
        kept.reset(data);
    }
    *effect = DROPEFFECT_COPY;
    return S_OK;
}

} // namespace host
