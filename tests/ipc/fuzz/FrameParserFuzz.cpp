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
    pipelink::Frame frame;
    const char* reason = nullptr;
    for (std::size_t offset = 0, consumed = 0;; offset += consumed, frame = {}) {
        if (pipelink::ParseFrame(bytes + offset, size - offset, frame, consumed, reason) != pipelink::ParseResult::Frame) {
            return 0;
        }
        std::vector<char> again;
        pipelink::AppendFrame(again, frame.fields, frame.head.data(), frame.head.size(),
                              frame.fields.hasMessage ? frame.payload.data() : nullptr, frame.payload.size());
        if (consumed < pipelink::kHeaderBytes || consumed > size - offset || again.size() != consumed ||
            std::memcmp(again.data(), bytes + offset, consumed) != 0 ||
            (!frame.fields.hasMessage && !frame.payload.empty())) {
            std::abort();
        }
    }
}
