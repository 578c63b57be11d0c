// Time to build the payloads of one drag (build, store, release) by size, so that the
// growth with the number of paths and the size of the content can be read off.
#include "dragdrop/DataObject.h"

#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

using FerrydockIpc::FerrydockDataObject;

namespace {

double Seconds(const std::function<void()>& work, int repeats)
{
    LARGE_INTEGER frequency, start, stop;
    QueryPerformanceFrequency(&frequency);
    work(); // warm the heap
    QueryPerformanceCounter(&start);
    for (int i = 0; i < repeats; ++i) {
        work();
    }
    QueryPerformanceCounter(&stop);
    return static_cast<double>(stop.QuadPart - start.QuadPart) / frequency.QuadPart / repeats;
}

void OneDrag(const std::function<void(FerrydockDataObject&)>& build)
{
    FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
    build(*data);
    data->Release();
}

int RepeatsFor(double megabytes) { return megabytes >= 10 ? 3 : megabytes >= 1 ? 10 : megabytes >= 0.1 ? 50 : 500; }

} // namespace

int main()
{
    // The lines would go to the log file; its cost is not what is measured here.
    SetEnvironmentVariableW(L"FERRYDOCK_LOG_FILE", L"NUL");

    std::printf("file list (CF_HDROP), paths of 44 characters\n");
    for (const int count : {10, 1000, 100000}) {
        std::vector<std::wstring> paths;
        for (int i = 0; i < count; ++i) {
            wchar_t path[64];
            swprintf(path, 64, L"C:\\Users\\Public\\Received\\photo-%07d.jpeg", i);
            paths.emplace_back(path);
        }
        const double s = Seconds([&] { OneDrag([&](auto& d) { d.SetFileData(paths); }); }, count >= 100000 ? 5 : 200);
        std::printf("  %7d paths: %10.3f ms per drag, %8.1f ns per path\n", count, s * 1e3, s * 1e9 / count);
    }

    std::printf("text (CF_UNICODETEXT) and HTML (\"HTML Format\", header refreshed)\n");
    const std::wstring header = L"Version:0.9\r\nStartHTML:00000000\r\nEndHTML:00000000\r\nStartFragment:00000000\r\n"
                                L"EndFragment:00000000\r\n<html><body><!--StartFragment-->";
    for (const double kilobytes : {1.0, 10.0, 100.0, 1024.0, 10240.0}) {
        const size_t units = static_cast<size_t>(kilobytes * 1024 / 2);
        const std::wstring text(units, L'\u00e9');
        const std::wstring html = header + std::wstring(static_cast<size_t>(kilobytes * 1024), L'x') +
                                  L"<!--EndFragment--></body></html>";
        const double megabytes = kilobytes / 1024;
        const int repeats = RepeatsFor(megabytes);
        const double textSeconds = Seconds([&] { OneDrag([&](auto& d) { d.SetTextData(text); }); }, repeats);
        const double htmlSeconds = Seconds([&] { OneDrag([&](auto& d) { d.SetHtmlData(html); }); }, repeats);
        std::printf("  %8.0f KB: text %9.3f ms (%7.2f ms/MB)   html %9.3f ms (%7.2f ms/MB)\n", kilobytes,
                    textSeconds * 1e3, textSeconds * 1e3 / megabytes, htmlSeconds * 1e3, htmlSeconds * 1e3 / megabytes);
    }
    return 0;
}
