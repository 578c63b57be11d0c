// Saves what a window shows, frame included, as a PNG through the Windows Imaging Component.
#pragma once

#include <windows.h>

#include <string>

namespace host {

// Call on the window's thread, with COM initialised there. false with the reason in error.
bool SaveWindowPng(HWND window, const std::wstring& path, std::wstring& error);

} // namespace host
