// The one way an export reaches a unit: find it or fail, take the unit for this thread (or fail
// with ZEL_ERR_BUSY), clear its last error, refuse null pointers, open the link's call scope, call
// the operation, keep every exception inside the library, and make the status and the last error
// agree. Settings that leave the last error as it is (the frame trace) take the unit through the
// same call scope (InCall) without the rest.
#pragma once

#include <cstdint>
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

// The unit on which this thread's last call was refused because another thread was using it.
// A refused call must not write the unit's own last error (the owning thread's call is writing
// it), so the refusal is kept per thread and LastErrorSeenBy reports it to the refused thread.
inline thread_local const ZEL_API* refused_unit = nullptr;

inline zel_error LastErrorSeenBy(const ZEL_API& unit) {
    return refused_unit == &unit ? ZEL_ERR_BUSY : unit.LastError();
}

// What an export returns when it fails, one value per kind of result.
inline constexpr std::uint8_t kFailed = 0;
inline constexpr std::uint32_t kNoBoardId = 0;
inline constexpr std::int32_t kNoSerial = 0;
inline constexpr std::int32_t kNoRecord = 0;
inline constexpr double kNoRevision = -1.0;
inline constexpr double kNoTemperature = -1.0;

// Whether a result of an export is a 1/0 status (the invariant below applies) or a value.
enum class Result { Status, Value };

// Runs `body()` inside a call on `unit` and returns its result. Returns `failure` without running
// it when there is no unit (nothing to record on) or when another thread is inside a call on the
// unit (ZEL_ERR_BUSY for this thread). Touches no last error itself.
template <class R, class Body>
R InCall(ZEL_API* unit, R failure, Body body) noexcept {
    if (unit == nullptr) return failure;
    HwLayer& link = unit->Link();
    if (!link.EnterCall()) {
        refused_unit = unit;
        return failure;
    }
    struct Leave {
        HwLayer& link;
        ~Leave() { link.LeaveCall(); }
    } leave{link};
    return body();
}

// Calls `op(*unit, args...)` inside a call on `unit` (InCall) and returns its result. Returns
// `failure` without calling when InCall refuses, when a pointer argument is null
// (ZEL_ERR_BAD_ARGUMENT), and when the operation throws (ZEL_ERR_INTERNAL).
//
// For status results the status and the last error always agree: a success after which the
// link or the operation recorded a reason is turned into a failure (a partial failure is never
// success), and a failure without a recorded reason gets a generic one.
template <Result kind = Result::Status, class R, class Op, class... Args>
R Forward(ZEL_API* unit, R failure, Op op, Args... args) noexcept {
    static_assert(std::is_same_v<std::invoke_result_t<Op, ZEL_API&, Args...>, R>,
                  "the failure value must have the operation's result type");
    return InCall(unit, failure, [&]() -> R {
        if (refused_unit == unit) refused_unit = nullptr;
        unit->ClearLastError();
        if ((IsNullPointer(args) || ...)) {
            unit->RecordError(ZEL_ERR_BAD_ARGUMENT);
            return failure;
        }
        R result = failure;
        try {
            result = op(*unit, args...);
        } catch (...) {
            unit->RecordError(ZEL_ERR_INTERNAL);
            return failure;
        }
        if constexpr (kind == Result::Status) {
            if (result != failure && unit->LastError() != ZEL_OK) return failure;
            if (result == failure && unit->LastError() == ZEL_OK) unit->RecordError(ZEL_ERR_INTERNAL);
        }
        return result;
    });
}

// Unit-index family: `index` picks a table entry (outside 0..31 fails without touching memory).
template <Result kind = Result::Status, class R, class Op, class... Args>
R OnEntry(std::int64_t index, R failure, Op op, Args... args) noexcept {
    return Forward<kind>(UnitEntry(index), failure, op, args...);
}

// Instance family.
template <Result kind = Result::Status, class R, class Op, class... Args>
R OnInstance(zel_instance* instance, R failure, Op op, Args... args) noexcept {
    return Forward<kind>(ToUnit(instance), failure, op, args...);
}

}  // namespace zel::api

// The operation of a table entry called directly, bypassing the virtual table.
#define ZEL_DIRECT(op) [](ZEL_API& unit, auto... a) { return unit.ZEL_API::op(a...); }
// The operation of an instance called through its virtual table.
#define ZEL_VIRTUAL(op) [](ZEL_API& unit, auto... a) { return unit.op(a...); }
