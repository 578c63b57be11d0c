// Native libFuzzer target for the frame parser: the input is split into frames as the
// pump splits a read block. Each frame parsed must re-encode to exactly the bytes it
// was parsed from; the parser must never read outside the input (AddressSanitizer).
#include "PipelinkWire.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // libFuzzer passes each input in a heap block of exactly its size: ASan sees a read past the end.
    const char* const bytes = reinterpret_cast<const char*>(data);
    std::size_t offset = 0;
    for (;;) {
        pipelink::Frame frame;
        std::size_t consumed = 0;
        const char* reason = nullptr;
        const auto result = pipelink::ParseFrame(bytes + offset, size - offset, frame, consumed, reason);
        if (result != pipelink::ParseResult::Frame) {
            break;
        }
        std::vector<char> again;
        pipelink::AppendFrame(again, frame.fields, frame.head.data(), frame.head.size(),
                              frame.fields.hasMessage ? frame.payload.data() : nullptr, frame.payload.size());
        if (consumed < pipelink::kHeaderBytes || consumed > size - offset || again.size() != consumed ||
            std::memcmp(again.data(), bytes + offset, consumed) != 0 ||
            (!frame.fields.hasMessage && !frame.payload.empty())) {
            std::abort();
        }
        offset += consumed;
    }
    return 0;
}
