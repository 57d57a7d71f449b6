// The one way an export reaches a unit: find it or fail, clear its last error, refuse null
// pointers, call the operation, and keep every exception inside the library.
#pragma once

#include <type_traits>
#include <utility>

#include "api/instance_table.h"
#include "instrument/zel_api_class.h"
#include "zel_api.h"

namespace zel::api {

inline ZEL_API* ToUnit(zel_instance* instance) { return reinterpret_cast<ZEL_API*>(instance); }

template <class T>
constexpr bool IsNullPointer(const T& value) {
    if constexpr (std::is_pointer_v<T>)
        return value == nullptr;
    else
        return false;
}

// Calls `op(*unit, args...)` and returns its result. Returns `failure` without calling when
// there is no unit (nothing to record on) or when a pointer argument is null
// (ZEL_ERR_BAD_ARGUMENT), and when the operation throws (ZEL_ERR_INTERNAL).
template <class R, class Op, class... Args>
R Forward(ZEL_API* unit, R failure, Op op, Args... args) noexcept {
    static_assert(std::is_same_v<std::invoke_result_t<Op, ZEL_API&, Args...>, R>,
                  "the failure value must have the operation's result type");
    if (unit == nullptr) return failure;
    unit->ClearLastError();
    if ((IsNullPointer(args) || ...)) {
        unit->RecordError(ZEL_ERR_BAD_ARGUMENT);
        return failure;
    }
    try {
        return op(*unit, args...);
    } catch (...) {
        unit->RecordError(ZEL_ERR_INTERNAL);
        return failure;
    }
}

// Unit-index family: `index` picks a table entry (outside 0..31 fails without touching memory).
template <class R, class Op, class... Args>
R OnEntry(std::int64_t index, R failure, Op op, Args... args) noexcept {
    return Forward(UnitEntry(index), failure, op, args...);
}

// Instance family.
template <class R, class Op, class... Args>
R OnInstance(zel_instance* instance, R failure, Op op, Args... args) noexcept {
    return Forward(ToUnit(instance), failure, op, args...);
}

}  // namespace zel::api

// The operation of a table entry called directly, bypassing the virtual table.
#define ZEL_DIRECT(op) [](ZEL_API& unit, auto... a) { return unit.ZEL_API::op(a...); }
// The operation of an instance called through its virtual table.
#define ZEL_VIRTUAL(op) [](ZEL_API& unit, auto... a) { return unit.op(a...); }
