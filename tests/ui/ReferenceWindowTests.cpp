// The reference window in its own process, fed by a scenario: its controls are read through
// Win32 from here, its buttons clicked, its close order and screenshot checked.
#include "ServiceProcess.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <fstream>
#include <iterator>

namespace {

using FerrydockIpc::UniqueHandle;

template <typename Done>
bool WaitUntil(Done done)
{
    for (int i = 0; i < 600; ++i, Sleep(50)) {
        if (done()) {
            return true;
        }
    }
    return false;
}

// LVM_GETITEMTEXTW is not marshalled between processes: the item record and its text
// buffer must live in the window's process.
std::wstring ListViewText(HWND list, int item, int column)
{
    DWORD processId = 0;
    GetWindowThreadProcessId(list, &processId);
    const UniqueHandle process(OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId));
    auto* remote = static_cast<char*>(VirtualAllocEx(process.get(), nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
    LVITEMW request{};
    request.iSubItem = column;
    request.cchTextMax = 256;
    request.pszText = reinterpret_cast<wchar_t*>(remote + sizeof(request));
    wchar_t text[256] = {};
    WriteProcessMemory(process.get(), remote, &request, sizeof(request), nullptr);
    SendMessageW(list, LVM_GETITEMTEXTW, item, reinterpret_cast<LPARAM>(remote));
    ReadProcessMemory(process.get(), request.pszText, text, sizeof(text) - sizeof(wchar_t), nullptr);
    VirtualFreeEx(process.get(), remote, 0, MEM_RELEASE);
    return text;
}

// LB_GETTEXT is one of the messages the system marshals between processes.
std::vector<std::wstring> LogLines(HWND log)
{
    std::vector<std::wstring> lines(static_cast<size_t>(SendMessageW(log, LB_GETCOUNT, 0, 0)));
    for (size_t i = 0; i < lines.size(); ++i) {
        lines[i].resize(static_cast<size_t>(SendMessageW(log, LB_GETTEXTLEN, i, 0)));
        SendMessageW(log, LB_GETTEXT, i, reinterpret_cast<LPARAM>(lines[i].data()));
    }
    return lines;
}

TEST(ReferenceWindow, ShowsTheScenarioDragsPostsItsButtonsAndClosesInOrder)
{
    wchar_t temp[MAX_PATH];
    const std::wstring png = std::wstring(temp, GetTempPathW(MAX_PATH, temp)) + L"ferrydock-ui-test.png";
    DeleteFileW(png.c_str());
    service::ServiceProcess host;
    // Wine's desktop process ends a few seconds after its last window; a window of this
    // process brings it back before the host starts, as a real session always has one.
    const HWND own = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(host.Start(L"FerrydockHost.exe",
                           L"ui --script ui-transfer.scenario --screenshot \"" + png + L"\" --after 600000", 30000));
    const HWND window = FindWindowW(L"FerrydockReferenceWindow", nullptr);
    const HWND log = FindWindowExW(window, nullptr, WC_LISTBOXW, nullptr);
    ASSERT_TRUE(WaitUntil([&] {
        const auto lines = LogLines(log);
        return !lines.empty() && lines.back().rfind(L"in WndShowRecieveFilesCallback", 0) == 0;
    }));

    const HWND devices = FindWindowExW(window, nullptr, WC_LISTVIEWW, nullptr);
    ASSERT_EQ(SendMessageW(devices, LVM_GETITEMCOUNT, 0, 0), 2);
    const wchar_t* const rows[2][3] = {{L"Living-room tablet", L"TAB-7F3A21", L"2"}, {L"Caf\u00e9 phone", L"PHN-00C9E4", L"1"}};
    for (int row = 0; row < 2; ++row) {
        for (int column = 0; column < 3; ++column) {
            EXPECT_EQ(ListViewText(devices, row, column), rows[row][column]) << row << "," << column;
        }
    }
    EXPECT_EQ(SendMessageW(FindWindowExW(window, nullptr, PROGRESS_CLASSW, nullptr), PBM_GETPOS, 0, 0), 100);
    EXPECT_NE(FindWindowExW(window, nullptr, WC_STATICW, L"Received: holiday.jpg, menu.png"), nullptr);

    // Every callback ran on another thread than the window's, and the window's thread showed it.
    const DWORD windowThread = GetWindowThreadProcessId(window, nullptr);
    std::vector<std::wstring> inbound;
    for (const std::wstring& line : LogLines(log)) {
        const size_t thread = line.rfind(L" [thread ");
        unsigned long ranOn = 0, shownOn = 0;
        if (line.rfind(L"in ", 0) == 0 && thread != std::wstring::npos &&
            swscanf(line.c_str() + thread, L" [thread %lu -> %lu]", &ranOn, &shownOn) == 2) {
            EXPECT_NE(ranOn, windowThread) << line;
            EXPECT_EQ(shownOn, windowThread) << line;
            if (line.find(L"WndShowDeviceCallback") == std::wstring::npos) { // the answer's place is not fixed
                inbound.push_back(line.substr(0, thread));
            }
        }
    }
    const std::vector<std::wstring> expected = {
        L"in WndShowCallback 1",
        L"in WndShowSendFilesCallback \"{\"from\":\"Caf\u00e9 phone\",\"files\":[{\"name\":\"holiday.jpg\",\"size\":"
        L"2480133},{\"name\":\"menu.png\",\"size\":81920}]}\"",
        L"in WndShowRecieveFilesProgressCallback \"0\"",
        L"in WndShowRecieveFilesProgressCallback \"50\"",
        L"in WndShowRecieveFilesProgressCallback \"100\"",
        L"in WndShowRecieveFilesCallback \"{\"files\":[\"C:\\\\Users\\\\demo\\\\Ferrydock\\\\holiday.jpg\",\"C:\\\\"
        L"Users\\\\demo\\\\Ferrydock\\\\menu.png\"]}\""};
    EXPECT_EQ(inbound, expected);

    // Press on the drag handle, move, release over no drop target: one drag, run by the window.
    // Every event carries its own position, so no earlier cursor position can take the press.
    RECT handle{}, frame{};
    GetWindowRect(FindWindowExW(window, nullptr, L"FerrydockDragHandle", nullptr), &handle);
    INPUT mouse[4] = {};
    const DWORD steps[4] = {MOUSEEVENTF_LEFTDOWN, 0, 0, MOUSEEVENTF_LEFTUP};
    for (int i = 0; i < 4; ++i) {
        mouse[i].type = INPUT_MOUSE, mouse[i].mi.dwFlags = steps[i] | MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
        mouse[i].mi.dx = (handle.left + handle.right + 40 * (i > 1 ? 2 : i)) / 2 * 65535 / GetSystemMetrics(SM_CXSCREEN);
        mouse[i].mi.dy = (handle.top + handle.bottom) / 2 * 65535 / GetSystemMetrics(SM_CYSCREEN);
    }
    ASSERT_EQ(SendInput(4, mouse, sizeof(INPUT)), 4u);
    EXPECT_TRUE(WaitUntil([&] { return LogLines(log).back() == L"drag ExecuteDragDrop(2 files, text) -> true"; }));
    GetWindowRect(window, &frame);
    const char* const clicked[] = {"WndShowFinsh", "SendWindowClose", "SendRecentToMessageUI",
                                   "SendDeviceGetToFilesystem", "SendFinishTransferMesseage"};
    for (const char* name : clicked) {
        const std::wstring caption(name, name + strlen(name));
        SendMessageW(FindWindowExW(window, nullptr, WC_BUTTONW, caption.c_str()), BM_CLICK, 0, 0);
    }
    PostMessageW(window, WM_CLOSE, 0, 0);
    DestroyWindow(own);
    ASSERT_EQ(host.WaitForExit(30000), 0);
    host.Stop();

    // The window's log lines and, indented, what the service printed of the bridge's posts.
    std::vector<std::string> outbound, close;
    for (const std::string& line : host.Lines()) {
        if (line.rfind("  out ", 0) == 0) {
            outbound.push_back(line.substr(6));
        }
        if (line.rfind("out SendWindowClose", 0) == 0 || line.rfind("call UninitIPCModule", 0) == 0) {
            close.push_back(line);
        }
    }
    std::vector<std::string> posts = {"WndShowFinsh", "SendDeviceGetToFilesystem"};
    posts.insert(posts.end(), std::begin(clicked), std::end(clicked));
    posts.push_back("SendWindowClose");
    EXPECT_EQ(outbound, posts);
    EXPECT_EQ(close, (std::vector<std::string>{"out SendWindowClose", "out SendWindowClose",
                                               "call UninitIPCModule -> true"}));

    std::ifstream file(png.c_str(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    file.close();
    ASSERT_GT(bytes.size(), 33u);
    EXPECT_EQ(bytes.substr(0, 16), std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
    std::string size; // the header's width and height, big-endian
    for (const LONG side : {frame.right - frame.left, frame.bottom - frame.top}) {
        size += {static_cast<char>(side >> 24), static_cast<char>(side >> 16), static_cast<char>(side >> 8),
                 static_cast<char>(side)};
    }
    EXPECT_EQ(bytes.substr(16, 8), size);
    EXPECT_EQ(bytes.substr(bytes.size() - 8, 4), "IEND");
    DeleteFileW(png.c_str());
}

} // namespace
