// drag: one drag of files, text, HTML and rich-edit content from a window of the host's own,
// optionally into a drop-target window of its own that prints what arrived (PrintingDropTarget).
// check-type: the library's verdict on file names.
#include "Host.h"
#include "PrintingDropTarget.h"

#include <string>

namespace {

using host::FormatText;
using host::PrintLine;

constexpr wchar_t kSourceClass[] = L"FerrydockHostDragSource";

struct DragArgs {
    std::wstring files, text, html, rich;
    bool hasText = false, hasHtml = false, hasRich = false;
    bool ownTarget = false;
};

DragArgs ParseDragArgs(const std::vector<std::wstring>& args)
{
    DragArgs out;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring& option = args[i];
        if (option == L"--to-own-window") {
            out.ownTarget = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            throw std::invalid_argument("missing value after an option");
        }
        const std::wstring& value = args[++i];
        if (option == L"--files") {
            out.files = value;
        } else if (option == L"--text") {
            out.text = value, out.hasText = true;
        } else if (option == L"--html") {
            out.html = value, out.hasHtml = true;
        } else if (option == L"--rich") {
            out.rich = value, out.hasRich = true;
        } else {
            throw std::invalid_argument("unknown option");
        }
    }
    return out;
}

// The interface hands over a complete "HTML Format" text; the library fills in the offsets.
std::wstring HtmlPayload(const std::wstring& fragment)
{
    return L"Version:0.9\r\nStartHTML:00000000\r\nEndHTML:00000000\r\nStartFragment:00000000\r\n"
           L"EndFragment:00000000\r\n<html><body>\r\n<!--StartFragment-->" +
           fragment + L"<!--EndFragment-->\r\n</body></html>";
}

int CountPaths(const std::wstring& files)
{
    int count = 0;
    bool inPath = false;
    for (const wchar_t c : files) {
        count += (c != L'|' && !inPath) ? 1 : 0;
        inPath = c != L'|';
    }
    return files.empty() ? 1 : count + (files[0] == L'|' ? 1 : 0);
}

int RunDrag(host::Api& api, const std::vector<std::wstring>& args)
{
    const DragArgs drag = ParseDragArgs(args);
    const auto execute = host::Need(api.ExecuteDragDrop, "ExecuteDragDrop");
    host::OleScope ole;
    const host::Window source = host::MakeTopmostWindow(kSourceClass, L"Ferrydock drag source", 100);
    if (FAILED(ole.result) || !source) {
        PrintLine(L"error: no window for the drag (is an X display set?)");
        return 1;
    }
    host::PrintingDropTarget target;
    const host::Window targetWindow =
        drag.ownTarget ? host::MakeTopmostWindow(host::kDropTargetClass, L"Ferrydock drop target", 600) : host::Window();
    const host::DropRegistration registration = host::RegisterDropTarget(targetWindow.get(), &target);
    if (drag.ownTarget) {
        if (!registration) {
            PrintLine(L"error: the drop-target window could not be registered");
            return 1;
        }
        host::MoveCursorInto(targetWindow.get());
    }
    const std::wstring html = HtmlPayload(drag.html);
    DragDropParam param{};
    param.fileInfo = drag.files.empty() ? nullptr : drag.files.c_str();
    param.fileNum = drag.files.empty() ? 0 : CountPaths(drag.files);
    param.text = drag.hasText ? drag.text.c_str() : nullptr;
    param.textNum = drag.hasText ? 1 : 0;
    param.html = drag.hasHtml ? html.c_str() : nullptr;
    param.htmlNum = drag.hasHtml ? 1 : 0;
    param.qqFormat = drag.hasRich ? drag.rich.c_str() : nullptr;
    param.qqFormatNum = drag.hasRich ? 1 : 0;
    const bool ran = execute(&param);
    PrintLine(FormatText(L"ExecuteDragDrop -> %ls%ls", ran ? L"true" : L"false",
                         drag.ownTarget && target.drops == 0 ? L" (nothing arrived)" : L""));
    return ran && (!drag.ownTarget || target.drops == 1) ? 0 : 1;
}

int RunCheckType(host::Api& api, const std::vector<std::wstring>& args)
{
    const auto check = host::Need(api.IsSupportFileType, "IsSupportFileType");
    size_t first = 0;
    std::wstring properties;
    bool setProperties = false;
    if (args.size() >= 2 && args[0] == L"--property") {
        properties = args[1], setProperties = true, first = 2;
    }
    if (first >= args.size()) {
        throw std::invalid_argument("no file name given");
    }
    wchar_t previous[1024] = {};
    const bool hadPrevious = GetEnvironmentVariableW(L"FERRYDOCK_SUPPORT_PROPERTIES", previous, 1024) > 0;
    if (setProperties) {
        SetEnvironmentVariableW(L"FERRYDOCK_SUPPORT_PROPERTIES", properties.c_str());
        PrintLine(L"FERRYDOCK_SUPPORT_PROPERTIES=" + properties);
    }
    for (size_t i = first; i < args.size(); ++i) {
        const bool allowed = check(args[i].c_str());
        PrintLine(FormatText(L"  %-32ls %ls", args[i].c_str(), allowed ? L"may be transferred" : L"refused"));
    }
    SetEnvironmentVariableW(L"FERRYDOCK_SUPPORT_PROPERTIES", hadPrevious ? previous : nullptr);
    return 0;
}

host::Registration dragCommand{{
    L"drag",
    L"[--files a|b] [--text T] [--html FRAGMENT] [--rich T] [--to-own-window]",
    L"one drag from a window of the host's own; optionally into its own drop target",
    RunDrag,
    {{L"--files", L"C:\\users\\Public\\photo.jpg|C:\\users\\Public\\notes.txt", L"--text", L"Hello from Ferrydock",
      L"--html", L"<b>caf\u00e9</b> \u4e2d\u6587", L"--rich", L"rich \u00e9dit", L"--to-own-window"},
     {L"--to-own-window"}},
    40,
}};

host::Registration checkTypeCommand{{
    L"check-type",
    L"[--property name=value;...] name...",
    L"whether each file type may be transferred",
    RunCheckType,
    {{L"setup.exe", L"photo.JPG", L"game.APK", L"notes.exe.txt", L"C:\\tools.exe\\readme"},
     {L"--property", L"KDLoginGuide=china", L"setup.exe"}},
    41,
}};

} // namespace
