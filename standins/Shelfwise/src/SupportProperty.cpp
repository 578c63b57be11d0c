// Product properties come from FERRYDOCK_SUPPORT_PROPERTIES, "name=value;name=value",
// read at every call so that a test or a demo can change them while running.
#include "XaloSoftShelf.h"

#include <windows.h>

#include <string>

namespace {

std::string SupportedProperties()
{
    const DWORD size = GetEnvironmentVariableA("FERRYDOCK_SUPPORT_PROPERTIES", nullptr, 0);
    if (size == 0) {
        return std::string();
    }
    std::string value(size, '\0');
    const DWORD length = GetEnvironmentVariableA("FERRYDOCK_SUPPORT_PROPERTIES", value.data(), size);
    value.resize(length < size ? length : 0);
    return value;
}

} // namespace

bool XaloSoftShelf::IsSupportProperty(const std::string& name, const std::string& value)
{
    const std::string wanted = name + "=" + value;
    const std::string list = SupportedProperties();
    std::string::size_type start = 0;
    while (start <= list.size()) {
        std::string::size_type end = list.find(';', start);
        if (end == std::string::npos) {
            end = list.size();
        }
        if (list.compare(start, end - start, wanted) == 0) {
            return true;
        }
        start = end + 1;
    }
    return false;
}
