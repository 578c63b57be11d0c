// Whether a file may be transferred, judged by its extension and the product's property.
#pragma once

namespace FerrydockIpc {

// Refuses "apk" and "exe" (any case) unless the product supports every type.
bool IsSupportFileTypeImpl(const wchar_t* file);

} // namespace FerrydockIpc
