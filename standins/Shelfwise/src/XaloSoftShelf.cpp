#include "XaloSoftShelf.h"

XaloSoftShelf::XaloSoftShelf() = default;

XaloSoftShelf* XaloSoftShelf::GetInstance()
{
    static XaloSoftShelf instance;
    return &instance;
}
