// The unit table. A plain static array: its entries are constructed at load in index order
// (0 first) and destroyed at unload in reverse order (31 first).
#include "api/instance_table.h"

namespace zel::api {
namespace {

ZEL_API units[kUnitCount];

}  // namespace

ZEL_API* UnitEntry(std::int64_t index) {
    if (index < 0 || index >= kUnitCount) return nullptr;
    return &units[index];
}

}  // namespace zel::api
