// Compiled as C11: the public header must be usable from C.
#include "FerrydockUITrans.h"

#include <stddef.h>

_Static_assert(sizeof(DragDropParam) == 48, "DragDropParam");
_Static_assert(sizeof(DevicesInfo) == 8008, "DevicesInfo");
_Static_assert(sizeof(bool) == 1, "bool is one byte");

size_t HeaderAsCSizeOfDragDropParam(void);
size_t HeaderAsCSizeOfDragDropParam(void) { return sizeof(DragDropParam); }

// An export referenced by type, without calling it.
PFN_ExecuteDragDrop HeaderAsCExecuteDragDropType(void);
PFN_ExecuteDragDrop HeaderAsCExecuteDragDropType(void) { return (PFN_ExecuteDragDrop)0; }
