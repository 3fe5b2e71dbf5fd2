// What the host platform offers beyond the kernel's own interface: the controls that tests,
// tools and benchmarks use to play the parts of the PnP manager and of a failing machine.
// Driver code never includes this header.
#pragma once

#include <cstdint>
#include <string>

#include "platform/host/wdk.h"

namespace host {

// A four-character pool tag as Windows writes it: the first character in the lowest byte.
constexpr ULONG PoolTag(const char (&s)[5]) {
    return ULONG(uint8_t(s[0])) | ULONG(uint8_t(s[1])) << 8 | ULONG(uint8_t(s[2])) << 16 |
           ULONG(uint8_t(s[3])) << 24;
}
std::string PoolTagName(ULONG tag);

// ---- The pool as a test instrument -----------------------------------------------------
// Every live allocation is recorded with its tag, size and sequence number. Sequence
// numbers count every allocation attempt since the process started, refused ones included.
uint64_t PoolSequence();
size_t PoolLiveCount();
size_t PoolLiveCount(ULONG tag);
size_t PoolLiveBytes();
// Allocations made after `sinceSequence` that are still live, one line each; empty if none.
std::string PoolLeaksSince(uint64_t sinceSequence);
// Refuse the nth allocation attempt from now (1 = the next one); 0 disarms.
void PoolFailNth(uint64_t n);
// Refuse every allocation with this tag until cleared.
void PoolFailTag(ULONG tag);
// Disarm every pool fault.
void PoolClearFaults();
// Allocations refused so far by the armed faults.
uint64_t PoolRefusedCount();

// Fatal misuse of a kernel interface (what would be a bug check on Windows): print and abort.
[[noreturn]] void BugCheck(const char* what);

// ---- The PnP manager and AVStream device creation -------------------------------------
using DriverEntryRoutine = NTSTATUS (*)(PDRIVER_OBJECT, PUNICODE_STRING);

// Loads the driver: makes a driver object and calls its entry point. One driver per process
// is enough for the driver's own needs; a second load replaces the first's descriptor.
NTSTATUS LoadDriver(DriverEntryRoutine entry);
// The device descriptor the driver registered, or null before LoadDriver.
const KSDEVICE_DESCRIPTOR* RegisteredDescriptor();

// Makes a device arrive below a loaded driver: creates the AVStream device with its object
// bag, functional and physical device objects, attaches it above `lower` (a bare device with
// no driver if null) and calls the descriptor's Add. On failure the device is destroyed, as
// AVStream does, and null is stored.
NTSTATUS AddDevice(PDEVICE_OBJECT lower, PKSDEVICE* device);
// Start and Stop as the PnP manager sends them; Start marks the device started on success.
NTSTATUS StartDevice(PKSDEVICE device);
void StopDevice(PKSDEVICE device);
// The device goes away: its object bag is emptied, every item freed with its callback.
void RemoveDevice(PKSDEVICE device);

// Object bags refuse their next `count` items with `status`; 0 disarms.
void RefuseBagItems(NTSTATUS status, int count = 1);
size_t BagItemCount(PKSDEVICE device);
// Whether the calling thread holds the device lock.
bool DeviceLockHeld(PKSDEVICE device);

// ---- Per-thread kernel state ------------------------------------------------------------
int CriticalRegionDepth();

// ---- I/O manager and USB ------------------------------------------------------------------
// Pool tags of what the I/O manager and USBD allocate for the driver, so tests can count them.
constexpr ULONG kIrpPoolTag = PoolTag("Irp ");
constexpr ULONG kMdlPoolTag = PoolTag("Mdl ");
constexpr ULONG kIoBufferPoolTag = PoolTag("IoBf");  // system buffers of buffered requests
constexpr ULONG kUsbdPoolTag = PoolTag("USBD");      // select-configuration requests

// Stack locations of the request handed to a lower driver with IofCallDriver and not yet
// completed: nonzero while a lower driver holds the request.
int IrpOutstanding(PIRP irp);

// The calling thread's IRQL, for code playing a lower driver: completion from a bus
// driver's own thread runs at DISPATCH_LEVEL, as a DPC would.
KIRQL RaiseIrqlToDispatch();
void LowerIrql(KIRQL irql);

}  // namespace host
