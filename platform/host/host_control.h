// What the host platform offers beyond the kernel's own interface: the controls that tests,
// tools and benchmarks use to play the parts of the PnP manager and of a failing machine.
// Driver code never includes this header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
// The last allocation refused: its tag, size and a fingerprint of the call stack that asked
// for it (the same stack, the same fingerprint), so a sweep can count the distinct allocation
// points it reached. All zero before the first refusal.
struct PoolRefusal {
    ULONG tag = 0;
    size_t size = 0;
    uint64_t site = 0;
};
PoolRefusal PoolLastRefusal();

// A block of non-paged pool owned by code playing AVStream's part: the frame buffers it hands
// the driver come from the pool, as a capture's do (MmBuildMdlForNonPagedPool refuses any
// other memory). Empty until assigned; freed with the object.
class PoolBuffer {
public:
    PoolBuffer() = default;
    PoolBuffer(size_t size, uint8_t fill) { assign(size, fill); }
    ~PoolBuffer();
    PoolBuffer(const PoolBuffer&) = delete;
    PoolBuffer& operator=(const PoolBuffer&) = delete;
    void assign(size_t size, uint8_t fill);
    uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    uint8_t& operator[](size_t i) const { return data_[i]; }

private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// Fatal misuse of a kernel interface (what would be a bug check on Windows): print and abort.
// The two-part form leads with the bug check's Windows name ("BUG CHECK: CODE: what"), as the
// checks Driver Verifier would make do.
[[noreturn]] void BugCheck(const char* what);
[[noreturn]] void BugCheck(const char* code, const std::string& what);

// ---- The PnP manager and AVStream device creation -------------------------------------
using DriverEntryRoutine = NTSTATUS(NTAPI*)(PDRIVER_OBJECT, PUNICODE_STRING);

// Loads the driver: makes a driver object and calls its entry point: `entry`, the driver built
// into the program, unless a kernel image was chosen (below), whose DriverEntry then runs
// instead. One driver per process is enough for the driver's own needs; a second load replaces
// the first's descriptor.
NTSTATUS LoadDriver(DriverEntryRoutine entry);
// The device descriptor the driver registered, or null before LoadDriver.
const KSDEVICE_DESCRIPTOR* RegisteredDescriptor();

// ---- The shipped kernel image, run in this process --------------------------------------
// bayercam.sys mapped as Windows maps a driver: sections at their RVAs anywhere in the address
// space, relocated, imports bound to the host's services, each section protected R, RW or RX.
struct DriverImage;
// Maps the image at `path`; null with a one-line reason in *error when the file is not a
// loadable x64 driver, imports what the host does not provide or may not be imported, or holds
// code user mode cannot run. Descriptors the driver registers point into the image, so it
// stays mapped until UnloadDriverImage.
DriverImage* LoadDriverImage(const std::string& path, std::string* error);
// Only once nothing of the image is in use any more (no driver loaded from it).
void UnloadDriverImage(DriverImage* image);
DriverEntryRoutine DriverImageEntry(const DriverImage* image);
// An address in the image by its symbol name, from the debug file the image's .gnu_debuglink
// names (beside the image); null if there is no such symbol or no usable debug file.
void* DriverImageSymbol(const DriverImage* image, const char* name);
// The symbol containing an address inside the image ("name+0x1c"), for crash and bug-check
// reports; empty if the address is outside the image or no symbol precedes it.
std::string DriverImageAddressName(const DriverImage* image, const void* address);
// Why the image has no symbols (the debug file missing or not matching); empty when it has.
const std::string& DriverImageSymbolsProblem(const DriverImage* image);
// From now on, a fault in the image's code ends the process as the bug check it would be,
// naming the function it happened in ("BUG CHECK: PAGE_FAULT_IN_NONPAGED_AREA: ... at
// ReadRawFrame+0x1c"); faults elsewhere go to whoever handled them before. One image at a time.
void WatchDriverImageFaults(const DriverImage* image);

// The driver LoadDriver runs. A program chooses an image once, explicitly (a tool's --driver)
// or through this environment variable, read at the first need, so that one test program runs
// unchanged against either form; a variable naming an image that does not load ends the
// program, which must not quietly test the built-in driver instead. The image stays mapped.
constexpr const char* kDriverImageVariable = "BAYERCAM_DRIVER_IMAGE";
bool ChooseDriverImage(const std::string& path, std::string* error);
// The image chosen, or null while the built-in driver is in use.
const DriverImage* ChosenDriverImage();

// Makes a device arrive below a loaded driver: creates the AVStream device with its object
// bag, functional and physical device objects, attaches it above `lower` (a bare device with
// no driver if null) and calls the descriptor's Add. On failure the device is destroyed, as
// AVStream does, and null is stored.
NTSTATUS AddDevice(PDEVICE_OBJECT lower, PKSDEVICE* device);
// Start and Stop as the PnP manager sends them. Start calls the driver's Start, then enables
// the device interfaces of the factories made so far and marks the device started, on success
// only; a Start of a started device (the PnP manager's way of handing it new resources) runs
// the driver's Start again and changes nothing else. A second Stop in a row is a bug check. Stop
// calls the driver's Stop, then drops the factories made with KSCREATE_ITEM_FREEONSTOP, disables
// every interface (the others come back with the next Start) and clears the mark. Stopping with a
// filter open is a bug check.
NTSTATUS StartDevice(PKSDEVICE device);
void StopDevice(PKSDEVICE device);
// The device goes away: its factories (newest first) and then its object bag are emptied,
// every item freed with its callback. Removing it with a filter open is a bug check.
void RemoveDevice(PKSDEVICE device);

// Object bags refuse their next `count` items with `status`; 0 disarms.
void RefuseBagItems(NTSTATUS status, int count = 1);
size_t BagItemCount(PKSDEVICE device);
// Whether the calling thread holds the device lock.
bool DeviceLockHeld(PKSDEVICE device);

// ---- Chaos ------------------------------------------------------------------------------
// KeSetEvent called at DISPATCH_LEVEL (as completion routines call it) first sleeps a random
// 0..maxMicroseconds; 0 disarms. Races between a completion and its waiter show up this way.
void SetDispatchEventDelay(uint32_t maxMicroseconds);
void DelayAtDispatch();
// KsPinGetLeadingEdgeStreamPointer, having locked a frame, sleeps a random 0..maxMicroseconds
// before it returns; 0 disarms. A state change then meets the frame locked, which is where a
// driver that lets a stop overtake its Process pass is caught.
void SetLockedFrameDelay(uint32_t maxMicroseconds);
void DelayAfterFrameLock();

// ---- Per-thread kernel state ------------------------------------------------------------
int CriticalRegionDepth();

// ---- Extended processor state -------------------------------------------------------------
// Makes KeSaveExtendedProcessorState fail with `status` (STATUS_SUCCESS disarms), as when the
// kernel cannot allocate the save area; the caller must then not touch the state it named.
void FailExtendedStateSave(NTSTATUS status);
// Saves refused so far by the armed failure.
uint64_t ExtendedStateSavesRefused();

// ---- System threads ----------------------------------------------------------------------
// Thread objects come from the pool under this tag, so a refused allocation refuses creation.
constexpr ULONG kThreadPoolTag = PoolTag("Thre");
// Makes PsCreateSystemThread fail with `status` (STATUS_SUCCESS disarms), as on a machine out
// of threads; nothing is created and no handle is returned.
void FailThreadCreation(NTSTATUS status);
// Thread objects not yet freed: a thread still running, a handle still open or a reference
// from ObReferenceObjectByHandle still held each keep one alive.
size_t ThreadObjectsAlive();
// Threads created so far; a thread object carries the number of its creation.
uint64_t ThreadSequence();
// What the threads created after `sinceSequence` left behind, one line each (empty if
// nothing): threads still running after waiting up to `graceMilliseconds` for them to end,
// handles not closed, references not dropped.
std::string ThreadLeaksSince(uint64_t sinceSequence, uint32_t graceMilliseconds);
// For the PnP manager's part when a device goes away: every system thread must have ended
// (within a short grace period), or whatever it still uses of the device is about to be
// freed under it. Bug-checks naming `event` otherwise.
void RequireNoSystemThreadRunning(const char* event);

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

// ---- The registry: the Zw*Key services over a Windows SYSTEM hive file -----------------
// The device's driver key, where Windows keeps it in the SYSTEM hive (the class GUID is the
// INF's): IoOpenDeviceRegistryKey(PLUGPLAY_REGKEY_DRIVER) on a device's PDO opens this key.
constexpr const char* kDriverKeyPath =
    "ControlSet001\\Control\\Class\\{ca3e7ab9-b4c3-4ae6-8251-579ef933890f}\\0000";

// Backs the registry with the hive file at `path`, creating a minimal empty hive when the
// file does not exist. False, with the reason, when the file cannot be read as a hive (it is
// then left exactly as it was) or cannot be created. Without a call, the registry is a fresh
// empty hive in a private temporary file.
bool RegistryOpenHive(const std::string& path, std::string* error);
// Writes what is not yet on disk (a complete new file renamed over the old one) and detaches
// the file; the registry is then a fresh empty private hive again. False with the reason.
bool RegistryCloseHive(std::string* error);
// Replaces the registry with a fresh empty private hive, dropping every open key handle.
void RegistryReset();
// Makes IoOpenDeviceRegistryKey fail with `status` (STATUS_SUCCESS disarms), as on a machine
// whose device key cannot be opened; the driver then must neither load nor save.
void RegistryFailDeviceKey(NTSTATUS status);
// Makes ZwCreateKey fail with `status` (STATUS_SUCCESS disarms).
void RegistryFailCreateKey(NTSTATUS status);
// Key handles open now; a handle left open at the end of a test fails it like leaked pool.
size_t RegistryOpenHandles();
// Direct access for tests and tools, by path below the hive's root ("A\\B\\C"), as a
// registry editor would: read a value (false if the key or value is missing), write one
// (creating missing keys), list a key's values in stored order.
struct RegistryValue {
    std::string name;
    ULONG type = 0;
    std::vector<uint8_t> data;
};
bool RegistryGetValue(const std::string& keyPath, const std::string& name, RegistryValue* value);
bool RegistrySetValue(const std::string& keyPath, const RegistryValue& value);
bool RegistryListValues(const std::string& keyPath, std::vector<RegistryValue>* values);

// ---- Applications: filters and property requests ---------------------------------------
// A device interface the device registered, as SetupDi would list it, enabled or not. The
// registration stays when its factory goes; only the enabled state follows the factory.
struct DeviceInterface {
    GUID category;
    std::string reference;  // the reference string, "GLOBAL" for the camera
    bool enabled = false;
};
std::vector<DeviceInterface> DeviceInterfaces(PKSDEVICE device);
// Filter factories whose create items are in place (dropped at stop: KSCREATE_ITEM_FREEONSTOP).
size_t FilterFactoryCount(PKSDEVICE device);
// CreateFile on the device interface with that reference string (compared without regard to
// case): IRP_MJ_CREATE reaches the factory, which creates a filter and calls its Create
// dispatch. The file object stands for the application's handle. Fails with the dispatch's
// status, or STATUS_OBJECT_NAME_NOT_FOUND when no factory has that reference string with an
// enabled interface (a factory without categories: when the device is not started).
NTSTATUS OpenFilter(PKSDEVICE device, const std::string& reference, PFILE_OBJECT* filter);
// CloseHandle: IRP_MJ_CLOSE; the filter's Close dispatch runs, then its object bag is emptied.
NTSTATUS CloseFilter(PFILE_OBJECT filter);
// DeviceIoControl(IOCTL_KS_PROPERTY) on an open filter: `request` is the KSPROPERTY (with any
// instance data after it), `data` the value buffer (read for a set, written for a get).
// *returned receives IoStatus.Information. The status is the IRP's completion status.
NTSTATUS KsPropertyRequest(PFILE_OBJECT object, const void* request, ULONG requestSize, void* data,
                           ULONG dataSize, ULONG* returned);

// ---- Applications: pins, states and frames ---------------------------------------------
// CreateFile of a pin relative to an open filter: IRP_MJ_CREATE named KSSTRING_Pin followed by
// a KSPIN_CONNECT (the standard interface and medium, pin `pinId`, no PinToHandle) and the
// format (KSDATAFORMAT with its specifier's header; format->FormatSize bytes). The file object
// stands for the pin handle. Fails with what AVStream or the pin's dispatch answered.
NTSTATUS CreatePin(PFILE_OBJECT filter, ULONG pinId, const KSDATAFORMAT* format, PFILE_OBJECT* pin);
// CloseHandle of the pin: AVStream walks it down to STOP first, then Close, then its bag.
NTSTATUS ClosePin(PFILE_OBJECT pin);
// KSPROPERTY_CONNECTION_STATE set, as an application sets it (through KsPropertyRequest).
NTSTATUS SetPinState(PFILE_OBJECT pin, KSSTATE state);
// KSPROPERTY_STREAM_MASTERCLOCK: gives the pin the host's one monotonic clock (or none);
// allowed only in STOP, as AVStream allows it.
NTSTATUS SetPinMasterClock(PFILE_OBJECT pin, bool present);
// The stream time of the host's clock now, in 100-ns units (what GetCorrelatedTime returns).
LONGLONG ClockStreamTime();

// IOCTL_KS_READ_STREAM, as an application queues frames with an OVERLAPPED request. The
// header (56 bytes, or 128 with a KS_FRAME_INFO after it; Size, FrameExtent and Data set by
// the caller) and the data stay the caller's until the read completes, when AVStream has
// written the header back as the driver filled it.
struct StreamRead;
NTSTATUS ReadStream(PFILE_OBJECT pin, KSSTREAM_HEADER* header, StreamRead** read);
// Waits up to `milliseconds` for the read to complete; true with its status when it did.
bool WaitStreamRead(StreamRead* read, uint32_t milliseconds, NTSTATUS* status);
// Frees a completed read (the header and data were the caller's all along).
void FreeStreamRead(StreamRead* read);

}  // namespace host
