#include "XaloSoftShelf.h"

// The product has one share.
FileInfo::VeltraShareName XaloSoftShelf::GetVeltraShareName()
{
    return FileInfo::VeltraShareName::Default;
}
