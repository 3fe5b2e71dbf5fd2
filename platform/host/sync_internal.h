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

// ---- What the calling thread holds -------------------------------------------------------
// Spin locks the calling thread holds now (the cancel spin lock included).
int SpinLocksHeld();
// Kernel mutexes the calling thread holds (AVStream's device mutex): a thread may neither end
// nor return from a callback holding one.
int MutexesHeld();
void NoteMutexAcquired();
void NoteMutexReleased();

// The bug check for a kernel service called above the IRQL it allows; one that may block or
// page also refuses a caller holding a spin lock, and names the lock.
void RequireIrqlAtMost(KIRQL highest, const char* routine);

// ---- Callbacks ---------------------------------------------------------------------------
// What a driver routine the system calls (dispatch, completion and cancel routines, AVStream
// callbacks) must hand back as it found it.
struct CallbackState {
    KIRQL irql;
    int spinLocks;
    int mutexes;
    int criticalRegions;
};
CallbackState CurrentCallbackState();
// Bug-checks when the calling thread is no longer in `entry`: `code` names the bug check for
// an IRQL that changed (the others are fixed), `callback` the routine in the message.
void RequireCallbackReturn(const CallbackState& entry, const char* code, const char* callback);

}  // namespace host
