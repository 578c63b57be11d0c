// Reading texts out of received messages without passing their end.
#pragma once

#include "IPCMessageClient.h"

#include <cstddef>
#include <string>

namespace FerrydockIpc {

// The bytes up to the first zero, or all available bytes when none is zero.
std::string BoundedText(const char* bytes, std::size_t available);

// messageLength as a byte count (a negative length counts as none).
std::size_t MessageBytes(const TagIPCMessageItem& msgItem);

} // namespace FerrydockIpc
