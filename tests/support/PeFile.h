// Reads a DLL's export directory from the file, without running or binding it.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

// The names in the export directory of the DLL at path, in file order.
// Empty when the file cannot be read; throws nothing.
std::vector<std::string> ReadExportNames(const std::wstring& path);

// Full path of a file next to the test executable.
std::wstring BesideExecutable(const wchar_t* fileName);

} // namespace testsupport
