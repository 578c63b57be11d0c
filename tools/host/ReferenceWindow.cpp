#include "ReferenceWindow.h"

#include "WindowShot.h"

#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <memory>
#include <new>
#include <vector>

namespace host {
namespace {

// ---------------------------------------------------------------------------------------
// Delivery thread side: copy, post, return.
// ---------------------------------------------------------------------------------------

// Where an inbound message came from; indexes kSourceNames.
enum class Source { MainWindow, ShowFile, Devices, SendFiles, RecieveFiles, FindSaveFile, FindDeviceType, Progress };

const wchar_t* const kSourceNames[] = {
    L"WndShowCallback",          L"WndShowFileCallback",         L"WndShowDeviceCallback",
    L"WndShowSendFilesCallback", L"WndShowRecieveFilesCallback", L"WndShowRecieveFindSaveFileCallback",
    L"WndShowRecieveFindDeviceTypeCallback", L"WndShowRecieveFilesProgressCallback",
};

struct DeviceCopy {
    std::wstring name;
    std::wstring id;
    bool hasId = false;
    int type = 0;
};

// What a callback received, copied: the library's strings and lists die when the callback returns.
struct Inbound {
    Source source = Source::MainWindow;
    DWORD thread = 0; // the delivery thread the callback ran on
    int value = 0;
    std::wstring text;
    std::vector<DeviceCopy> devices;
};

constexpr UINT kInboundMessage = WM_APP + 1;   // lParam: Inbound*, owned by whoever removes the message
constexpr UINT kStartDragMessage = WM_APP + 2; // sent by the drag handle from its mouse handling
constexpr UINT_PTR kScreenshotTimer = 1;
constexpr UINT_PTR kStateTimer = 2;
constexpr int kFirstButtonId = 100;
constexpr LRESULT kMaxLogLines = 5000;

// The window callbacks post to: set before InitIPCModule, cleared after UninitIPCModule.
// The callbacks are plain function pointers without a context argument, hence a global.
std::atomic<HWND> g_target{nullptr};

// PostMessage, never SendMessage: a send would block this thread until the window's thread
// answers, while UninitIPCModule on the window's thread waits for a running callback to
// return, so a close during a send would deadlock. If the post fails (the window is going),
// the copy is freed here and the message is dropped.
template <typename Fill>
void Deliver(Source source, Fill&& fill) noexcept
{
    try {
        auto event = std::make_unique<Inbound>();
        event->source = source;
        event->thread = GetCurrentThreadId();
        fill(*event);
        const HWND window = g_target.load();
        if (window != nullptr && PostMessageW(window, kInboundMessage, 0, reinterpret_cast<LPARAM>(event.get()))) {
            event.release(); // the window's thread owns it now
        }
    } catch (const std::bad_alloc&) {
        // Nothing may unwind into the library's delivery thread; the message is lost.
    }
}

void FERRYDOCK_CALL OnMainWindow(int value)
{
    Deliver(Source::MainWindow, [&](Inbound& event) { event.value = value; });
}

template <Source S>
void FERRYDOCK_CALL OnText(const wchar_t* text)
{
    Deliver(S, [&](Inbound& event) { event.text = text != nullptr ? text : L""; });
}

void FERRYDOCK_CALL OnDevices(DevicesInfo* list)
{
    Deliver(Source::Devices, [&](Inbound& event) {
        for (int i = 0; list != nullptr && i < list->count && i < FERRYDOCK_MAX_DEVICES; ++i) {
            const DeviceInfo* device = list->devices[i];
            if (device != nullptr) {
                event.devices.push_back({device->name != nullptr ? device->name : L"",
                                         device->id != nullptr ? device->id : L"", device->id != nullptr,
                                         device->type});
            }
        }
    });
}

void RegisterCallbacks(Api& api)
{
    Need(api.RegisterWndShowCallback, "RegisterWndShowCallback")(OnMainWindow);
    Need(api.RegisterWndShowFileCallback, "RegisterWndShowFileCallback")(OnText<Source::ShowFile>);
    Need(api.RegisterWndShowDeviceCallback, "RegisterWndShowDeviceCallback")(OnDevices);
    Need(api.RegisterWndShowSendFilesCallback, "RegisterWndShowSendFilesCallback")(OnText<Source::SendFiles>);
    Need(api.RegisterWndShowRecieveFilesCallback, "RegisterWndShowRecieveFilesCallback")(
        OnText<Source::RecieveFiles>);
    Need(api.RegisterWndShowRecieveFindSaveFileCallback, "RegisterWndShowRecieveFindSaveFileCallback")(
        OnText<Source::FindSaveFile>);
    Need(api.RegisterWndShowRecieveFindDeviceTypeCallback, "RegisterWndShowRecieveFindDeviceTypeCallback")(
        OnText<Source::FindDeviceType>);
    Need(api.RegisterWndShowRecieveFilesProgressCallback, "RegisterWndShowRecieveFilesProgressCallback")(
        OnText<Source::Progress>);
}

// ---------------------------------------------------------------------------------------
// Window thread side: everything below runs on the thread that created the window.
// ---------------------------------------------------------------------------------------

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

std::wstring BufferAnswer(PFN_GetTextIntoBuffer get)
{
    wchar_t buffer[1024] = {};
    get(buffer, ARRAYSIZE(buffer));
    return Quoted(buffer);
}

std::wstring BoolAnswer(bool value) { return value ? L"true" : L"false"; }

// One button: a notification (with or without the edit box's text) or a query.
struct Action {
    const wchar_t* name; // the export, also the caption
    PFN_VoidVoid Api::*post;
    PFN_VoidText Api::*postText;
    std::wstring (*ask)(Api& api);
};

const Action kActions[] = {
    {L"WndShowFinsh", &Api::WndShowFinsh, nullptr, nullptr},
    {L"SendWindowClose", &Api::SendWindowClose, nullptr, nullptr},
    {L"SendRecentToMessageUI", &Api::SendRecentToMessageUI, nullptr, nullptr},
    {L"SendDeviceGetToFilesystem", &Api::SendDeviceGetToFilesystem, nullptr, nullptr},
    {L"SendFinishTransferMesseage", &Api::SendFinishTransferMesseage, nullptr, nullptr},
    {L"SendFileInfoAllToFilesystem", nullptr, &Api::SendFileInfoAllToFilesystem, nullptr},
    {L"SendArrayNumToFilesystem", nullptr, &Api::SendArrayNumToFilesystem, nullptr},
    {L"SendSaveFileToFilesystem", nullptr, &Api::SendSaveFileToFilesystem, nullptr},
    {L"SendToOpenSettingCenter", &Api::SendToOpenSettingCenter, nullptr, nullptr},
    {L"SendToOpenUseMachineSkills", &Api::SendToOpenUseMachineSkills, nullptr, nullptr},
    {L"GetSaveFileDir", nullptr, nullptr,
     [](Api& api) { return BufferAnswer(Need(api.GetSaveFileDir, "GetSaveFileDir")); }},
    {L"GetSaveDbDir", nullptr, nullptr,
     [](Api& api) { return BufferAnswer(Need(api.GetSaveDbDir, "GetSaveDbDir")); }},
    {L"GetCurrentUserName", nullptr, nullptr,
     [](Api& api) { return BufferAnswer(Need(api.GetCurrentUserName, "GetCurrentUserName")); }},
    {L"IsITVersion", nullptr, nullptr, [](Api& api) { return BoolAnswer(Need(api.IsITVersion, "IsITVersion")()); }},
    {L"IsAgreeClause", nullptr, nullptr,
     [](Api& api) { return BoolAnswer(Need(api.IsAgreeClause, "IsAgreeClause")()); }},
};

constexpr int kActionCount = static_cast<int>(ARRAYSIZE(kActions));

// The first decimal number in a progress text, limited to 0..100; -1 when it has none.
int ProgressPercent(const std::wstring& text)
{
    const auto digit = text.find_first_of(L"0123456789");
    if (digit == std::wstring::npos) {
        return -1;
    }
    const long value = std::wcstol(text.c_str() + digit, nullptr, 10);
    return static_cast<int>(value < 0 ? 0 : value > 100 ? 100 : value);
}

struct JsonString {
    std::wstring value;
    bool isKey; // followed by ':'
};

// Every JSON string literal of text, in order; enough to pick file names out of a transfer text.
std::vector<JsonString> JsonStrings(const std::wstring& text)
{
    std::vector<JsonString> found;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'"') {
            continue;
        }
        std::wstring value;
        for (++i; i < text.size() && text[i] != L'"'; ++i) {
            value += text[i] == L'\\' && i + 1 < text.size() ? text[++i] : text[i];
        }
        const size_t next = text.find_first_not_of(L" \t", i + 1);
        found.push_back({value, next != std::wstring::npos && text[next] == L':'});
    }
    return found;
}

// The file names in a transfer text. The stand-in service's scenarios send JSON with "name"
// values or a "files" list of paths; the format is agreed between the service and the
// interface, so a text without either is shown as it stands.
std::wstring FileNames(const std::wstring& text)
{
    std::wstring names;
    std::wstring key;
    for (const JsonString& string : JsonStrings(text)) {
        if (string.isKey) {
            key = string.value;
        } else if (key == L"name" || key == L"files") {
            names += (names.empty() ? L"" : L", ") + string.value.substr(string.value.find_last_of(L"\\/") + 1);
        }
    }
    return names.empty() ? text : names;
}

// '|'-separated paths with the empty pieces left out, and how many remain.
std::wstring CleanPaths(const std::wstring& typed, int& count)
{
    std::wstring joined;
    count = 0;
    size_t start = 0;
    while (start <= typed.size()) {
        const size_t end = std::min(typed.find(L'|', start), typed.size());
        if (end > start) {
            joined += (count++ > 0 ? L"|" : L"") + typed.substr(start, end - start);
        }
        start = end + 1;
    }
    return joined;
}

constexpr wchar_t kDragHandleClass[] = L"FerrydockDragHandle";

// The drag handle: a press followed by a move beyond the system's drag distance (DragDetect
// tracks it) asks the window to start the drag, still inside this mouse handling.
LRESULT CALLBACK DragHandleProc(HWND handle, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_LBUTTONDOWN) {
        POINT press{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
        ClientToScreen(handle, &press);
        if (DragDetect(handle, press)) {
            SendMessageW(GetParent(handle), kStartDragMessage, 0, 0);
        }
        return 0;
    }
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;
        const HDC dc = BeginPaint(handle, &paint);
        RECT area;
        GetClientRect(handle, &area);
        FillRect(dc, &area, GetSysColorBrush(COLOR_BTNFACE));
        DrawEdge(dc, &area, EDGE_ETCHED, BF_RECT);
        const HGDIOBJ oldFont = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
        SetBkMode(dc, TRANSPARENT);
        DrawTextW(dc, L"\u2630  Drag handle: press here and move to drag the files and text", -1, &area,
                  DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        SelectObject(dc, oldFont);
        EndPaint(handle, &paint);
        return 0;
    }
    return DefWindowProcW(handle, message, wParam, lParam);
}

class ReferenceWindow {
public:
    ReferenceWindow(Api& api, const ReferenceWindowOptions& options) : api_(api), options_(options) {}

    bool Create();
    ReferenceWindowResult Run();

private:
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);

    HWND Child(const wchar_t* className, const wchar_t* text, DWORD style, int x, int y, int width, int height,
               int id = 0, DWORD exStyle = 0);
    void CreateControls();
    void Start();
    void Show(const Inbound& event);
    void ShowDevices(const std::vector<DeviceCopy>& devices);
    void Perform(const Action& action);
    void StartDrag();
    void TakeScreenshot();
    void Close();
    void DropPending();
    void UpdateState(bool probePipe = false);
    void Log(const std::wstring& line);
    std::wstring TextOf(HWND control) const;

    Api& api_;
    const ReferenceWindowOptions& options_;
    HWND window_ = nullptr;
    HWND state_ = nullptr, devices_ = nullptr, transfer_ = nullptr, progress_ = nullptr, log_ = nullptr;
    HWND text_ = nullptr, dragFiles_ = nullptr, dragText_ = nullptr;
    const wchar_t* moduleState_ = L"not initialised";
    int received_ = 0;
    const wchar_t* lastReceived_ = L"nothing yet";
    bool listening_ = false;
    bool dragging_ = false;
    bool closeAfterDrag_ = false;
    bool screenshotTaken_ = false;
    int exitCode_ = 0;
    int posts_ = 0;
};

bool ReferenceWindow::Create()
{
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW handleClass{};
    handleClass.lpfnWndProc = DragHandleProc;
    handleClass.hInstance = instance;
    handleClass.hCursor = LoadCursorW(nullptr, IDC_SIZEALL);
    handleClass.lpszClassName = kDragHandleClass;
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = Proc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    windowClass.lpszClassName = kReferenceWindowClass;
    RegisterClassW(&handleClass);
    RegisterClassW(&windowClass);
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
    RECT frame{0, 0, 800, 600};
    AdjustWindowRect(&frame, style, FALSE);
    window_ = CreateWindowExW(0, kReferenceWindowClass, L"Ferrydock reference window", style, 40, 40,
                              frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance, this);
    return window_ != nullptr;
}

HWND ReferenceWindow::Child(const wchar_t* className, const wchar_t* text, DWORD style, int x, int y, int width,
                            int height, int id, DWORD exStyle)
{
    const HWND child = CreateWindowExW(exStyle, className, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height,
                                       window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                       GetModuleHandleW(nullptr), nullptr);
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
    return child;
}

void ReferenceWindow::CreateControls()
{
    state_ = Child(WC_STATICW, L"", SS_LEFTNOWORDWRAP, 8, 8, 784, 18);

    Child(WC_STATICW, L"Devices (WndShowDeviceCallback)", 0, 8, 32, 380, 16);
    devices_ = Child(WC_LISTVIEWW, L"", LVS_REPORT | LVS_SINGLESEL | LVS_NOSORTHEADER, 8, 50, 380, 120, 0,
                     WS_EX_CLIENTEDGE);
    const struct {
        const wchar_t* title;
        int width;
    } columns[] = {{L"Name", 150}, {L"Id", 160}, {L"Type", 60}};
    for (int i = 0; i < 3; ++i) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.pszText = const_cast<wchar_t*>(columns[i].title);
        column.cx = columns[i].width;
        SendMessageW(devices_, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&column));
    }
    transfer_ = Child(WC_STATICW, L"No transfer yet", SS_LEFTNOWORDWRAP | SS_ENDELLIPSIS, 8, 178, 380, 16);
    progress_ = Child(PROGRESS_CLASSW, L"", 0, 8, 196, 380, 18);

    Child(WC_STATICW, L"Drag files ('|' between paths) and text:", 0, 8, 224, 380, 16);
    dragFiles_ = Child(WC_EDITW, L"C:\\users\\Public\\photo.jpg|C:\\users\\Public\\notes.txt",
                       ES_AUTOHSCROLL | WS_TABSTOP, 8, 242, 380, 22, 0, WS_EX_CLIENTEDGE);
    dragText_ = Child(WC_EDITW, L"Hello from Ferrydock", ES_AUTOHSCROLL | WS_TABSTOP, 8, 268, 380, 22, 0,
                      WS_EX_CLIENTEDGE);
    Child(kDragHandleClass, L"", 0, 8, 298, 380, 50);

    Child(WC_STATICW, L"Notifications", 0, 404, 32, 388, 16);
    Child(WC_STATICW, L"Text for the notifications with payload:", 0, 404, 132, 388, 16);
    text_ = Child(WC_EDITW, L"C:\\Users\\demo\\caf\u00e9.txt", ES_AUTOHSCROLL | WS_TABSTOP, 404, 150, 388, 22, 0,
                  WS_EX_CLIENTEDGE);
    Child(WC_STATICW, L"Queries (answers go to the log)", 0, 404, 260, 388, 16);
    for (int i = 0; i < kActionCount; ++i) {
        // Three groups of five: fixed notifications, notifications with payload, queries.
        const int group = i / 5, row = (i % 5) / 2, column = (i % 5) % 2;
        const int top[] = {50, 178, 278};
        Child(WC_BUTTONW, kActions[i].name, BS_PUSHBUTTON | WS_TABSTOP, 404 + column * 196, top[group] + row * 26,
              192, 24, kFirstButtonId + i);
    }

    Child(WC_STATICW, L"Log, newest last; a callback's line ends with [the thread it ran on -> the thread that showed it]",
          0, 8, 362, 784, 16);
    log_ = Child(WC_LISTBOXW, L"", LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_HSCROLL, 8, 380, 784, 212, 0,
                 WS_EX_CLIENTEDGE);
    SendMessageW(log_, LB_SETHORIZONTALEXTENT, 2000, 0);
}

// The start order an interface follows: window first (callbacks post to it), callbacks,
// InitIPCModule, show, then tell the service the window is shown and ask for the devices.
void ReferenceWindow::Start()
{
    g_target = window_;
    RegisterCallbacks(api_);
    Log(L"call InitIPCModule -> " + BoolAnswer(Need(api_.InitIPCModule, "InitIPCModule")()));
    moduleState_ = L"initialised";
    ShowWindow(window_, SW_SHOWNORMAL);
    UpdateWindow(window_);
    Perform(kActions[0]); // WndShowFinsh
    Perform(kActions[3]); // SendDeviceGetToFilesystem
    SetTimer(window_, kStateTimer, 1000, nullptr);
    if (!options_.screenshot.empty()) {
        SetTimer(window_, kScreenshotTimer, options_.screenshotAfterMs, nullptr);
    }
    UpdateState(true);
}

ReferenceWindowResult ReferenceWindow::Run()
{
    Start();
    PrintLine(L"ready");
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return {exitCode_, posts_};
}

LRESULT CALLBACK ReferenceWindow::Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto* self = static_cast<ReferenceWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->window_ = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<ReferenceWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    // Nothing may unwind through the system's dispatch: a missing export becomes a log line.
    try {
        return self->Handle(message, wParam, lParam);
    } catch (const std::exception& e) {
        self->Log(FormatText(L"error: %hs", e.what()));
        return 0;
    }
}

LRESULT ReferenceWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        CreateControls();
        return 0;
    case kInboundMessage: {
        const std::unique_ptr<Inbound> event(reinterpret_cast<Inbound*>(lParam));
        Show(*event);
        return 0;
    }
    case WM_COMMAND: {
        const int index = LOWORD(wParam) - kFirstButtonId;
        if (HIWORD(wParam) == BN_CLICKED && index >= 0 && index < kActionCount) {
            Perform(kActions[index]);
        }
        return 0;
    }
    case kStartDragMessage:
        StartDrag();
        return 0;
    case WM_TIMER:
        if (wParam == kScreenshotTimer) {
            KillTimer(window_, kScreenshotTimer);
            PostMessageW(window_, WM_CLOSE, 0, 0);
        }
        UpdateState(wParam == kStateTimer);
        return 0;
    case WM_CLOSE:
        Close();
        return 0;
    case WM_DESTROY:
        PostQuitMessage(exitCode_);
        return 0;
    default:
        return DefWindowProcW(window_, message, wParam, lParam);
    }
}

void ReferenceWindow::Show(const Inbound& event)
{
    ++received_;
    lastReceived_ = kSourceNames[static_cast<int>(event.source)];
    std::wstring shown;
    switch (event.source) {
    case Source::MainWindow:
        // The service asks for the main window: bring it up.
        shown = std::to_wstring(event.value);
        ShowWindow(window_, IsIconic(window_) ? SW_RESTORE : SW_SHOW);
        SetForegroundWindow(window_);
        break;
    case Source::Devices:
        shown = FormatText(L"%zu devices", event.devices.size());
        ShowDevices(event.devices);
        break;
    case Source::SendFiles:
        shown = Quoted(event.text);
        SetWindowTextW(transfer_, (L"Transfer: " + FileNames(event.text)).c_str());
        SendMessageW(progress_, PBM_SETPOS, 0, 0);
        break;
    case Source::RecieveFiles:
        shown = Quoted(event.text);
        SetWindowTextW(transfer_, (L"Received: " + FileNames(event.text)).c_str());
        break;
    case Source::Progress: {
        shown = Quoted(event.text);
        const int percent = ProgressPercent(event.text);
        if (percent >= 0) {
            SendMessageW(progress_, PBM_SETPOS, percent, 0);
        }
        break;
    }
    default:
        shown = Quoted(event.text);
        break;
    }
    Log(FormatText(L"in %ls %ls [thread %lu -> %lu]", lastReceived_, shown.c_str(), event.thread,
                   GetCurrentThreadId()));
    UpdateState();
}

void ReferenceWindow::ShowDevices(const std::vector<DeviceCopy>& devices)
{
    SendMessageW(devices_, LVM_DELETEALLITEMS, 0, 0);
    for (size_t i = 0; i < devices.size(); ++i) {
        const std::wstring cells[] = {devices[i].name, devices[i].hasId ? devices[i].id : L"(none)",
                                      std::to_wstring(devices[i].type)};
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = static_cast<int>(i);
        item.pszText = const_cast<wchar_t*>(cells[0].c_str());
        SendMessageW(devices_, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
        for (int column = 1; column < 3; ++column) {
            item.iSubItem = column;
            item.pszText = const_cast<wchar_t*>(cells[column].c_str());
            SendMessageW(devices_, LVM_SETITEMTEXTW, i, reinterpret_cast<LPARAM>(&item));
        }
    }
}

void ReferenceWindow::Perform(const Action& action)
{
    const std::string name(action.name, action.name + wcslen(action.name));
    if (action.post != nullptr) {
        Need(api_.*action.post, name.c_str())();
        ++posts_;
        Log(L"out " + std::wstring(action.name));
    } else if (action.postText != nullptr) {
        const std::wstring text = TextOf(text_);
        Need(api_.*action.postText, name.c_str())(text.c_str());
        ++posts_;
        Log(L"out " + std::wstring(action.name) + L" " + Quoted(text));
    } else {
        Log(L"ask " + std::wstring(action.name) + L" -> " + action.ask(api_));
    }
}

// Runs inside the drag handle's WM_LBUTTONDOWN, on this thread, an OLE single-threaded
// apartment. ExecuteDragDrop runs the system's modal drag loop, which keeps dispatching this
// thread's messages, so posted callbacks are still shown during the drag, and a close that
// arrives meanwhile waits until the loop has returned.
void ReferenceWindow::StartDrag()
{
    int fileCount = 0;
    const std::wstring files = CleanPaths(TextOf(dragFiles_), fileCount);
    const std::wstring text = TextOf(dragText_);
    DragDropParam param{};
    param.fileInfo = fileCount > 0 ? files.c_str() : nullptr;
    param.fileNum = fileCount;
    param.text = text.empty() ? nullptr : text.c_str();
    param.textNum = text.empty() ? 0 : 1;
    const auto execute = Need(api_.ExecuteDragDrop, "ExecuteDragDrop");
    dragging_ = true;
    const bool ran = execute(&param);
    dragging_ = false;
    Log(FormatText(L"drag ExecuteDragDrop(%d files, %ls) -> %ls", fileCount, text.empty() ? L"no text" : L"text",
                   BoolAnswer(ran).c_str()));
    if (closeAfterDrag_) {
        PostMessageW(window_, WM_CLOSE, 0, 0);
    }
}

void ReferenceWindow::TakeScreenshot()
{
    if (options_.screenshot.empty() || screenshotTaken_) {
        return;
    }
    screenshotTaken_ = true;
    RedrawWindow(window_, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    std::wstring error;
    if (SaveWindowPng(window_, options_.screenshot, error)) {
        PrintLine(L"screenshot saved to " + options_.screenshot);
    } else {
        PrintLine(L"error: screenshot not saved: " + error);
        exitCode_ = 1;
    }
}

// The close order: tell the service, stop delivery, then let the window go. After
// UninitIPCModule returns no callback runs, so the copies still queued for this window are
// all there is left to free.
void ReferenceWindow::Close()
{
    if (dragging_) {
        closeAfterDrag_ = true;
        return;
    }
    TakeScreenshot();
    moduleState_ = L"closing";
    Perform(kActions[1]); // SendWindowClose
    Log(L"call UninitIPCModule -> " + BoolAnswer(Need(api_.UninitIPCModule, "UninitIPCModule")()));
    g_target = nullptr;
    DropPending();
    DestroyWindow(window_);
}

void ReferenceWindow::DropPending()
{
    MSG message;
    while (PeekMessageW(&message, window_, kInboundMessage, kInboundMessage, PM_REMOVE)) {
        delete reinterpret_cast<Inbound*>(message.lParam);
    }
}

// The library has no connection query: the state line shows the module's state, whether the
// service's pipe exists, and what has arrived.
void ReferenceWindow::UpdateState(bool probePipe)
{
    if (probePipe) {
        // Fails with ERROR_FILE_NOT_FOUND only when nobody serves the pipe.
        listening_ = WaitNamedPipeW(options_.pipe.c_str(), 1) || GetLastError() != ERROR_FILE_NOT_FOUND;
    }
    SetWindowTextW(state_, FormatText(L"IPC module %ls  \u2022  service %ls on %ls  \u2022  messages received: %d, "
                                      L"last %ls",
                                      moduleState_, listening_ ? L"listening" : L"not found", options_.pipe.c_str(),
                                      received_, lastReceived_)
                               .c_str());
}

// Each line goes to the log pane and to standard output, where it outlives the window.
void ReferenceWindow::Log(const std::wstring& line)
{
    PrintLine(line);
    if (log_ == nullptr) {
        return;
    }
    if (SendMessageW(log_, LB_GETCOUNT, 0, 0) >= kMaxLogLines) {
        SendMessageW(log_, LB_DELETESTRING, 0, 0);
    }
    const LRESULT index = SendMessageW(log_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
    SendMessageW(log_, LB_SETTOPINDEX, index, 0);
}

std::wstring ReferenceWindow::TextOf(HWND control) const
{
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
    return text;
}

} // namespace

ReferenceWindowResult RunReferenceWindow(Api& api, const ReferenceWindowOptions& options)
{
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    ReferenceWindow window(api, options);
    if (!window.Create()) {
        PrintLine(L"error: the window could not be created (is an X display set?)");
        return {1, 0};
    }
    return window.Run();
}

} // namespace host
