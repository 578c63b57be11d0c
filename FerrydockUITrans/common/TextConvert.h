// The only places where text changes encoding: UTF-16 <-> UTF-8 <-> ANSI code page.
#pragma once

#include <string>
#include <vector>

namespace FerrydockIpc {

// Malformed input becomes U+FFFD; a failed conversion gives an empty string.
std::wstring Utf8ToWide(const std::string& utf8);
std::string WideToUtf8(const std::wstring& wide);

// The arrays returned belong to the caller, who frees them with delete[].
// Null in gives null out; a failed allocation gives null.
char* WideToAnsi(const wchar_t* wide);
wchar_t* AnsiToWide(const char* ansi);

// Every 16-bit unit encoded on its own, surrogate halves included.
std::string WideToUtf8PerUnit(const wchar_t* first, const wchar_t* end);

// Appends the pieces of source between runs of delimiter units; no trailing empty piece.
void SplitString(std::wstring source, const std::wstring& delimiters, std::vector<std::wstring>& out);

} // namespace FerrydockIpc

namespace DE {

// Decimal parse that never throws: false (and value untouched) on a bad or out-of-range text.
bool StollS(const std::string& text, long long& value);

} // namespace DE
