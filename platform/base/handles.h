// Implemented in platform/base/core.cpp.
// The handle table behind every platform handle (ports, services, threads, libraries, keys).
// Objects are shared: a call holds its own reference for as long as it uses the object, so a
// close on another thread never frees or reuses what a call is still using. Handle values are
// never reused.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/base/system.h"

namespace platform::internal {

struct Object {
    virtual ~Object() = default;
    // Called once, by CloseHandle, before the table lets go of the object: wake waiters, stop
    // new use. The resources themselves go when the last reference does.
    virtual void Close() {}
};

Handle InsertObject(std::shared_ptr<Object> object);
std::shared_ptr<Object> LookupObject(Handle handle);
// Removes and closes; false for an unknown handle.
bool RemoveObject(Handle handle);

template <typename T>
std::shared_ptr<T> Lookup(Handle handle) {
    return std::dynamic_pointer_cast<T>(LookupObject(handle));
}

}  // namespace platform::internal
