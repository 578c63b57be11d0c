#include "WindowShot.h"

#include "Host.h"

#include "ferrydock/Resource.h"

#include <wincodec.h>

namespace host {
namespace {

using FerrydockIpc::UniqueInterface;
using MemoryDc = FerrydockIpc::UniqueResource<HDC, ::DeleteDC>;
using Bitmap = FerrydockIpc::UniqueResource<HBITMAP, ::DeleteObject>;

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
    const HDC source = GetWindowDC(window);
    if (source == nullptr) {
        return Bitmap();
    }
    const auto releaseSource = FerrydockIpc::OnScopeExit([&] { ReleaseDC(window, source); });
    const MemoryDc memory(CreateCompatibleDC(source));
    Bitmap bitmap(CreateCompatibleBitmap(source, width, height));
    if (!memory || !bitmap) {
        return Bitmap();
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
    const bool copied = BitBlt(memory.get(), offset.x, offset.y, client.right, client.bottom, source, offset.x,
                               offset.y, SRCCOPY) != FALSE;
    SelectObject(memory.get(), previous);
    return copied ? std::move(bitmap) : Bitmap();
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
    UniqueInterface<IWICImagingFactory> factory;
    UniqueInterface<IWICBitmap> image;
    UniqueInterface<IWICStream> stream;
    UniqueInterface<IWICBitmapEncoder> encoder;
    UniqueInterface<IWICBitmapFrameEncode> frame;
    WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
    return !Failed(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(factory.put())),
                   L"creating the imaging factory", error) &&
           !Failed(factory.get()->CreateBitmapFromHBITMAP(pixels.get(), nullptr, WICBitmapIgnoreAlpha, image.put()),
                   L"reading the bitmap", error) &&
           !Failed(factory.get()->CreateStream(stream.put()), L"creating the stream", error) &&
           !Failed(stream.get()->InitializeFromFilename(path.c_str(), GENERIC_WRITE), L"opening the file", error) &&
           !Failed(factory.get()->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.put()), L"creating the encoder",
                   error) &&
           !Failed(encoder.get()->Initialize(stream.get(), WICBitmapEncoderNoCache), L"starting the encoder", error) &&
           !Failed(encoder.get()->CreateNewFrame(frame.put(), nullptr), L"creating the frame", error) &&
           !Failed(frame.get()->Initialize(nullptr), L"starting the frame", error) &&
           !Failed(frame.get()->SetSize(static_cast<UINT>(width), static_cast<UINT>(height)), L"sizing the frame", error) &&
           !Failed(frame.get()->SetPixelFormat(&format), L"setting the pixel format", error) &&
           !Failed(frame.get()->WriteSource(image.get(), nullptr), L"writing the pixels", error) &&
           !Failed(frame.get()->Commit(), L"finishing the frame", error) &&
           !Failed(encoder.get()->Commit(), L"finishing the file", error);
}

} // namespace host
