#include "DeviceList.h"

#include "Messages.h"

#include <cstring>
#include <fstream>
#include <sstream>

namespace service {

namespace {

// Copies text into a row, leaving room for its terminating zero.
void PutRow(std::vector<char>& payload, std::size_t offset, std::size_t width, const std::string& text)
{
    std::memcpy(payload.data() + offset, text.data(), std::min(text.size(), width - 1));
}

bool ParseLine(const std::string& line, Device& device)
{
    const std::size_t firstTab = line.find('\t');
    const std::size_t secondTab = firstTab == std::string::npos ? firstTab : line.find('\t', firstTab + 1);
    if (secondTab == std::string::npos) {
        return false;
    }
    device.name = line.substr(0, firstTab);
    device.id = line.substr(firstTab + 1, secondTab - firstTab - 1);
    const std::string type = line.substr(secondTab + 1);
    char* end = nullptr;
    const long value = std::strtol(type.c_str(), &end, 10);
    if (type.empty() || *end != '\0' || value < 0 || value > 99) {
        return false;
    }
    device.type = static_cast<int>(value);
    return true;
}

} // namespace

std::vector<Device> DefaultDevices()
{
    return {{"Living-room tablet", "TAB-7F3A21", 2}, {"Caf\xC3\xA9 phone", "PHN-00C9E4", 1}};
}

bool LoadDevices(const std::wstring& path, std::vector<Device>& devices, std::string& error)
{
    std::ifstream file(path.c_str(), std::ios::binary);
    if (!file) {
        error = "cannot read the devices file";
        return false;
    }
    devices.clear();
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        Device device;
        if (!ParseLine(line, device)) {
            error = "devices file line " + std::to_string(number) + ": expected name<TAB>id<TAB>type (0..99)";
            return false;
        }
        if (devices.size() == kMaxDevices) {
            error = "devices file: more than 8 devices";
            return false;
        }
        devices.push_back(device);
    }
    return true;
}

std::vector<char> BuildDevicePayload(const std::vector<Device>& devices)
{
    std::vector<char> payload(kDevicePayloadBytes, '\0');
    const std::size_t count = std::min(devices.size(), kMaxDevices);
    payload[0] = static_cast<char>('0' + count);
    for (std::size_t i = 0; i < count; ++i) {
        PutRow(payload, 2 + 128 * i, 128, devices[i].name);
        PutRow(payload, 1026 + 96 * i, 96, Utf8ToAnsi(devices[i].id));
        PutRow(payload, 1794 + 3 * i, 3, std::to_string(devices[i].type));
    }
    return payload;
}

} // namespace service
