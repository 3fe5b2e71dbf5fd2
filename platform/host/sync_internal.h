// What the dispatcher and per-thread kernel state in sync.cpp offer the rest of the host
// kernel: other kinds of dispatcher object share the header layout and the wait path with
// events, and system threads begin in the state Windows gives them.
#pragma once

#include "platform/host/wdk.h"

namespace host {

// Dispatcher object types, as the kernel numbers them.
constexpr UCHAR kNotificationEventObject = 0;
constexpr UCHAR kSynchronizationEventObject = 1;
constexpr UCHAR kThreadObject = 6;

// A header of `type`, unsignalled, with an empty wait list.
void DispatcherInitialize(DISPATCHER_HEADER* header, UCHAR type, size_t objectSize);
// Signals the object for good and releases every waiter: for objects that, like a thread
// that has ended, never become unsignalled again.
void DispatcherSignalForever(DISPATCHER_HEADER* header);

// Puts the calling host thread in the state a new system thread starts in: PASSIVE_LEVEL,
// inside one critical region that belongs to the system, so the routine can neither leave it
// (a KeLeaveCriticalRegion without its own enter) nor be mistaken for having entered it.
void BeginSystemThreadContext();

}  // namespace host
