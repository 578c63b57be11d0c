// The device list the service answers a device request with.
#pragma once

#include <string>
#include <vector>

namespace service {

struct Device {
    std::string name; // UTF-8
    std::string id;   // UTF-8 here; ANSI code page on the wire
    int type = 0;
};

constexpr std::size_t kDevicePayloadBytes = 1818;
constexpr std::size_t kMaxDevices = 8;

std::vector<Device> DefaultDevices();

// One device a line, "name<TAB>id<TAB>type", UTF-8; blank lines and lines starting
// with '#' are skipped. false with a one-line error for a bad file.
bool LoadDevices(const std::wstring& path, std::vector<Device>& devices, std::string& error);

// The 1818-byte record: count text, eight name rows of 128 bytes (UTF-8), eight id rows
// of 96 bytes (ANSI code page), eight type rows of 3 bytes; texts cut to fit their row.
std::vector<char> BuildDevicePayload(const std::vector<Device>& devices);

} // namespace service
