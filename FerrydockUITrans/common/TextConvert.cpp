#include "common/TextConvert.h"

#include "common/Log.h"

#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

namespace FerrydockIpc {

namespace {

template <typename Unit>
std::unique_ptr<Unit[]> ZeroedBuffer(size_t units)
{
    return std::unique_ptr<Unit[]>(new (std::nothrow) Unit[units]());
}

} // namespace

std::wstring Utf8ToWide(const std::string& utf8)
{
    if (utf8.empty()) {
        return {};
    }
    const int count = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    auto buffer = ZeroedBuffer<wchar_t>(static_cast<size_t>(count) + 1);
    if (!buffer) {
        return {};
    }
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, buffer.get(), count);
    return std::wstring(buffer.get());
}

std::string WideToUtf8(const std::wstring& wide)
{
    const int count = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    auto buffer = ZeroedBuffer<char>(static_cast<size_t>(count) + 1);
    if (!buffer) {
        return {};
    }
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, buffer.get(), count, nullptr, nullptr);
    return std::string(buffer.get());
}

char* WideToAnsi(const wchar_t* wide)
{
    if (wide == nullptr) {
        return nullptr;
    }
    const int length = static_cast<int>(wcslen(wide));
    const int count = WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr);
    char* ansi = new (std::nothrow) char[static_cast<size_t>(count) + 1];
    if (ansi == nullptr) {
        return nullptr;
    }
    WideCharToMultiByte(CP_ACP, 0, wide, length, ansi, count, nullptr, nullptr);
    ansi[count] = '\0';
    return ansi;
}

wchar_t* AnsiToWide(const char* ansi)
{
    if (ansi == nullptr) {
        return nullptr;
    }
    const int length = static_cast<int>(strlen(ansi));
    const int count = MultiByteToWideChar(CP_ACP, 0, ansi, length, nullptr, 0);
    wchar_t* wide = new (std::nothrow) wchar_t[static_cast<size_t>(count) + 1];
    if (wide == nullptr) {
        return nullptr;
    }
    MultiByteToWideChar(CP_ACP, 0, ansi, length, wide, count);
    wide[count] = L'\0';
    return wide;
}

std::string WideToUtf8PerUnit(const wchar_t* first, const wchar_t* end)
{
    std::string out;
    out.reserve(static_cast<size_t>(end - first) * 3);
    for (; first != end; ++first) {
        const unsigned int u = static_cast<unsigned short>(*first);
        if (u < 0x80) {
            out.push_back(static_cast<char>(u));
        } else if (u < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (u >> 6)));
            out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (u >> 12)));
            out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
        }
    }
    return out;
}

void SplitString(std::wstring source, const std::wstring& delimiters, std::vector<std::wstring>& out)
{
    std::wstring::size_type start = 0;
    for (;;) {
        const auto pos = source.find_first_of(delimiters, start);
        if (pos == std::wstring::npos) {
            out.push_back(source.substr(start));
            return;
        }
        out.push_back(source.substr(start, pos - start));
        start = source.find_first_not_of(delimiters, pos);
        if (start == std::wstring::npos) {
            return;
        }
    }
}

} // namespace FerrydockIpc

namespace DE {

namespace {

long long ParseDecimal(const char* text)
{
    errno = 0;
    char* stop = nullptr;
    const long long parsed = std::strtoll(text, &stop, 10);
    if (stop == text) {
        throw std::invalid_argument("invalid stoll argument");
    }
    if (errno == ERANGE) {
        throw std::out_of_range("stoll argument out of range");
    }
    return parsed;
}

} // namespace

bool StollS(const std::string& text, long long& value)
{
    try {
        value = ParseDecimal(text.c_str());
        return true;
    } catch (const std::exception& e) {
        FerrydockIpc::Log(FerrydockIpc::LogLevel::Error, "DE::StollS", "stoll exception: ", e.what());
        return false;
    }
}

} // namespace DE
