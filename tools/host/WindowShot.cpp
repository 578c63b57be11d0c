#include "WindowShot.h"

#include "Host.h"

#include <wincodec.h>
#include <wrl/client.h>

#include <memory>
#include <type_traits>

namespace host {
namespace {

using Microsoft::WRL::ComPtr;

struct DcDeleter {
    void operator()(HDC dc) const { DeleteDC(dc); }
};
struct GdiObjectDeleter {
    void operator()(HGDIOBJ object) const { DeleteObject(object); }
};
using MemoryDc = std::unique_ptr<std::remove_pointer_t<HDC>, DcDeleter>;
using Bitmap = std::unique_ptr<std::remove_pointer_t<HBITMAP>, GdiObjectDeleter>;

// A window's DC, released to that window.
class WindowDc {
public:
    explicit WindowDc(HWND window) : window_(window), dc_(GetWindowDC(window)) {}
    WindowDc(const WindowDc&) = delete;
    WindowDc& operator=(const WindowDc&) = delete;
    ~WindowDc()
    {
        if (dc_ != nullptr) {
            ReleaseDC(window_, dc_);
        }
    }
    HDC get() const { return dc_; }

private:
    HWND window_;
    HDC dc_;
};

// The frame as the system draws it: with a window manager the frame is the manager's (and
// under Xvfb there is none), so the screen holds no frame pixels to copy.
void DrawFrame(HWND window, HDC dc, int width, int height, POINT clientOrigin)
{
    RECT outer{0, 0, width, height};
    FillRect(dc, &outer, GetSysColorBrush(COLOR_BTNFACE));
    DrawEdge(dc, &outer, EDGE_RAISED, BF_RECT);
    const int border = clientOrigin.x;
    RECT caption{border, border, width - border, clientOrigin.y - 1};
    DrawCaption(window, dc, &caption, DC_ACTIVE | DC_TEXT | DC_GRADIENT);
}

// Copies the window into a bitmap of its own: the frame drawn, the client area (children
// included) copied from the screen. Null when a GDI call fails. The bitmap is no longer
// selected into any DC when this returns, as WIC requires for reading it.
Bitmap CopyWindowPixels(HWND window, int width, int height)
{
    const WindowDc source(window);
    if (source.get() == nullptr) {
        return nullptr;
    }
    const MemoryDc memory(CreateCompatibleDC(source.get()));
    Bitmap bitmap(CreateCompatibleBitmap(source.get(), width, height));
    if (!memory || !bitmap) {
        return nullptr;
    }
    RECT frame{};
    RECT client{};
    GetWindowRect(window, &frame);
    GetClientRect(window, &client);
    POINT origin{0, 0};
    ClientToScreen(window, &origin);
    const HGDIOBJ previous = SelectObject(memory.get(), bitmap.get());
    const POINT offset{origin.x - frame.left, origin.y - frame.top};
    DrawFrame(window, memory.get(), width, height, offset);
    const bool copied = BitBlt(memory.get(), offset.x, offset.y, client.right, client.bottom, source.get(), offset.x,
                               offset.y, SRCCOPY) != FALSE;
    SelectObject(memory.get(), previous);
    return copied ? std::move(bitmap) : nullptr;
}

bool Failed(HRESULT result, const wchar_t* step, std::wstring& error)
{
    if (SUCCEEDED(result)) {
        return false;
    }
    error = FormatText(L"%ls failed (0x%08lx)", step, static_cast<unsigned long>(result));
    return true;
}

} // namespace

bool SaveWindowPng(HWND window, const std::wstring& path, std::wstring& error)
{
    RECT area{};
    GetWindowRect(window, &area);
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    const Bitmap pixels = CopyWindowPixels(window, width, height);
    if (!pixels) {
        error = L"the window's pixels could not be copied";
        return false;
    }
    ComPtr<IWICImagingFactory> factory;
    ComPtr<IWICBitmap> image;
    ComPtr<IWICStream> stream;
    ComPtr<IWICBitmapEncoder> encoder;
    ComPtr<IWICBitmapFrameEncode> frame;
    WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
    return !Failed(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory)),
                   L"creating the imaging factory", error) &&
           !Failed(factory->CreateBitmapFromHBITMAP(pixels.get(), nullptr, WICBitmapIgnoreAlpha, &image),
                   L"reading the bitmap", error) &&
           !Failed(factory->CreateStream(&stream), L"creating the stream", error) &&
           !Failed(stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE), L"opening the file", error) &&
           !Failed(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder), L"creating the encoder",
                   error) &&
           !Failed(encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache), L"starting the encoder", error) &&
           !Failed(encoder->CreateNewFrame(&frame, nullptr), L"creating the frame", error) &&
           !Failed(frame->Initialize(nullptr), L"starting the frame", error) &&
           !Failed(frame->SetSize(static_cast<UINT>(width), static_cast<UINT>(height)), L"sizing the frame", error) &&
           !Failed(frame->SetPixelFormat(&format), L"setting the pixel format", error) &&
           !Failed(frame->WriteSource(image.Get(), nullptr), L"writing the pixels", error) &&
           !Failed(frame->Commit(), L"finishing the frame", error) &&
           !Failed(encoder->Commit(), L"finishing the file", error);
}

} // namespace host
