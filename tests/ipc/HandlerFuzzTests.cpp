// Seeded, reproducible fuzzing of the eight inbound handlers: every record's bytes end
// exactly at a no-access page, so a read past messageLength faults at once (and the
// exception handler of GuardedBytes ends the test with a message).
//   FERRYDOCK_FUZZ_SEED (default 20261205) and FERRYDOCK_FUZZ_CASES (default 100000).
#include "IpcTestSupport.h"
#include "ipc/IPCHelper.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <random>

using FerrydockIpc::IPCHelper;

namespace {

unsigned long EnvironmentNumber(const char* name, unsigned long fallback)
{
    const char* value = std::getenv(name);
    return value != nullptr ? std::strtoul(value, nullptr, 10) : fallback;
}

std::size_t g_checksum = 0;
void FERRYDOCK_CALL TouchValue(int value) { g_checksum += static_cast<unsigned>(value); }
void FERRYDOCK_CALL TouchText(const wchar_t* text) { g_checksum += std::wcslen(text); }
void FERRYDOCK_CALL TouchDevices(DevicesInfo* list)
{
    ASSERT_GE(list->count, 0);
    ASSERT_LE(list->count, 8);
    for (int i = 0; i < list->count; ++i) {
        g_checksum += std::wcslen(list->devices[i]->name) + static_cast<unsigned>(list->devices[i]->type);
        g_checksum += list->devices[i]->id != nullptr ? std::wcslen(list->devices[i]->id) : 0;
    }
}

std::vector<unsigned char> ValidDevicePayload(std::mt19937& random)
{
    std::vector<unsigned char> bytes(1818, 0);
    const int count = static_cast<int>(random() % 9);
    bytes[0] = static_cast<unsigned char>('0' + count);
    for (int i = 0; i < count; ++i) {
        std::memcpy(&bytes[2 + 128 * i], "Device \xC3\xA9", 9);
        std::memcpy(&bytes[1026 + 96 * i], "ID", 2);
        bytes[1794 + 3 * i] = static_cast<unsigned char>('0' + i);
    }
    return bytes;
}

std::vector<unsigned char> Generate(std::mt19937& random, bool deviceHandler)
{
    std::vector<unsigned char> bytes;
    switch (random() % 4) {
    case 0: // lengths 0 to 4
        bytes.resize(random() % 5);
        break;
    case 1: // texts without a terminator
        bytes.resize(random() % 300);
        for (auto& b : bytes) {
            b = static_cast<unsigned char>(1 + random() % 255);
        }
        return bytes;
    case 2:
        bytes.resize(random() % 2048);
        break;
    default: // a valid device record, mutated byte by byte and sometimes cut short
        bytes = ValidDevicePayload(random);
        for (unsigned n = random() % 16; n > 0; --n) {
            bytes[random() % bytes.size()] = static_cast<unsigned char>(random());
        }
        if (random() % 4 == 0) {
            bytes.resize(1800 + random() % 19);
        }
        return bytes;
    }
    for (auto& b : bytes) {
        // Mostly printable, some zeros and high bytes; device counts get digits and signs.
        const unsigned r = random() % 16;
        b = static_cast<unsigned char>(r == 0 ? 0 : r == 1 ? 0x80 + random() % 128 : 0x20 + random() % 95);
    }
    if (deviceHandler && !bytes.empty()) {
        bytes[0] = static_cast<unsigned char>("-+0123456789x "[random() % 14]);
    }
    return bytes;
}

using Handler = void (IPCHelper::*)(TagIPCMessageItem&);
const Handler kHandlers[] = {
    &IPCHelper::OnRecvIPCMessageMainWindow,          &IPCHelper::OnRecvIPCMessageShowFile,
    &IPCHelper::OnRecvIPCMessageDevicesInfo,         &IPCHelper::OnRecvIPCMessageSendFiles,
    &IPCHelper::OnRecvIPCMessageRecieveFilesProgress, &IPCHelper::OnRecvIPCMessageRecieveFiles,
    &IPCHelper::OnRecvIPCMessageRecieveFindSaveFile, &IPCHelper::OnRecvIPCMessageRecieveFindDeviceType,
};

} // namespace

TEST(HandlerFuzz, NoHandlerReadsPastTheMessage)
{
    ipctest::UsePrivatePipeName();
    SetEnvironmentVariableW(L"FERRYDOCK_LOG_FILE", L"NUL");
    IPCHelper* helper = IPCHelper::GetInstance();
    helper->wndShowCallback = TouchValue;
    helper->wndShowDeviceCallback = TouchDevices;
    for (auto slot : {&IPCHelper::wndShowFileCallback, &IPCHelper::wndShowSendFilesCallback,
                      &IPCHelper::wndShowRecieveFilesCallback, &IPCHelper::wndShowRecieveFindSaveFileCallback,
                      &IPCHelper::wndShowRecieveFindDeviceTypeCallback,
                      &IPCHelper::wndShowRecieveFilesProgressCallback}) {
        helper->*slot = TouchText;
    }
    const unsigned long seed = EnvironmentNumber("FERRYDOCK_FUZZ_SEED", 20261205);
    const unsigned long cases = EnvironmentNumber("FERRYDOCK_FUZZ_CASES", 100000);
    std::mt19937 random(seed);
    ipctest::GuardedBytes region(std::vector<unsigned char>(4096, 0));
    char* end = const_cast<char*>(region.data()) + region.size();
    for (unsigned long i = 0; i < cases; ++i) {
        const std::size_t which = random() % 8;
        const std::vector<unsigned char> bytes = Generate(random, which == 2);
        std::memcpy(end - bytes.size(), bytes.data(), bytes.size());
        TagIPCMessageItem item;
        item.messageId = which == 0 ? 0xF00001 : 0;
        item.message = end - bytes.size();
        item.messageLength = static_cast<int>(bytes.size());
        (helper->*kHandlers[which])(item);
        if (HasFatalFailure()) {
            FAIL() << "case " << i << " with seed " << seed;
        }
    }
    SUCCEED() << cases << " cases, checksum " << g_checksum;
}
