// System threads of the host kernel: PsCreateSystemThread runs the start routine on a real host
// thread, the thread object is a pool record that begins with a dispatcher header (so waits on
// it share the event path), and it lives as long as anything refers to it: the running thread,
// its handle and each reference from ObReferenceObjectByHandle, as on Windows.
//
// PsTerminateSystemThread must not return. The thread jumps back (longjmp) to its host start
// function, past every frame of the driver in between: the Windows kernel abandons those
// frames too, and nothing in them may need cleaning up (driver code has no exceptions and no
// destructors across a thread's end). Unwinding through them instead would need their unwind
// tables, which a loaded driver image does not give the host. The start function itself holds
// no objects, so the jump skips nothing of the host's.
#include <pthread.h>
#include <setjmp.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <unordered_set>
#include <vector>

#include "platform/host/handles.h"
#include "platform/host/host_control.h"
#include "platform/host/sync_internal.h"

// The thread object. Drivers only see PKTHREAD, an opaque pointer, as in the WDK.
struct _KTHREAD {
    DISPATCHER_HEADER Header;  // first: KeWaitForSingleObject takes the object as a header
    // Guarded by the registry's lock.
    LONG references;    // the running thread's, the open handle's and each Ob reference
    LONG handles;       // open handles (PsCreateSystemThread opens exactly one)
    LONG obReferences;  // taken by ObReferenceObjectByHandle and not yet dropped
    bool running;
    NTSTATUS exitStatus;
    uint64_t sequence;
    // Written before the host thread starts and never after.
    PKSTART_ROUTINE routine;
    PVOID context;
};

namespace {

static_assert(offsetof(_KTHREAD, Header) == 0, "a thread object starts with its header");

struct Registry {
    std::mutex lock;
    std::condition_variable ended;  // a thread has ended
    std::unordered_set<PKTHREAD> live;
    uint64_t sequence = 0;
    NTSTATUS failCreation = STATUS_SUCCESS;
};

Registry& TheRegistry() {
    static Registry* registry = new Registry;  // never destroyed: threads may outlive main
    return *registry;
}

// The system thread the calling host thread is, or null for every other thread.
thread_local PKTHREAD currentSystemThread = nullptr;
// Where PsTerminateSystemThread returns to: the system thread's host start function.
thread_local jmp_buf threadEnd;

// How long a thread that should be ending is given before it is reported as still running.
constexpr uint32_t kEndGraceMilliseconds = 1000;

// Drops one reference, with the registry locked; the object is freed (after the lock is
// released) when it was the last. Returns the references left.
LONG DropReferenceLocked(std::unique_lock<std::mutex>& held, PKTHREAD thread) {
    LONG left = --thread->references;
    if (left == 0) {
        TheRegistry().live.erase(thread);
        held.unlock();
        ExFreePoolWithTag(thread, host::kThreadPoolTag);
    }
    return left;
}

void CloseThreadHandle(const std::shared_ptr<void>& object) {
    auto* thread = static_cast<PKTHREAD>(object.get());
    std::unique_lock<std::mutex> g(TheRegistry().lock);
    --thread->handles;
    DropReferenceLocked(g, thread);
}

void* ThreadStart(void* argument) {
    auto* thread = static_cast<PKTHREAD>(argument);
    currentSystemThread = thread;
    host::BeginSystemThreadContext();
    if (setjmp(threadEnd) != 0)
        return nullptr;
    thread->routine(thread->context);
    // Windows documents a system thread as running until it terminates itself with
    // PsTerminateSystemThread; a routine that simply returns is treated as that misuse.
    host::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                   "a system thread's start routine returned instead of ending with "
                   "PsTerminateSystemThread");
}

bool AnyRunningSince(const Registry& registry, uint64_t since) {
    return std::any_of(registry.live.begin(), registry.live.end(),
                       [&](PKTHREAD t) { return t->sequence > since && t->running; });
}

std::vector<PKTHREAD> SortedSince(const Registry& registry, uint64_t since) {
    std::vector<PKTHREAD> threads;
    for (PKTHREAD t : registry.live) {
        if (t->sequence > since)
            threads.push_back(t);
    }
    std::sort(threads.begin(), threads.end(),
              [](PKTHREAD a, PKTHREAD b) { return a->sequence < b->sequence; });
    return threads;
}

}  // namespace

namespace host {

void FailThreadCreation(NTSTATUS status) {
    std::lock_guard<std::mutex> g(TheRegistry().lock);
    TheRegistry().failCreation = status;
}

size_t ThreadObjectsAlive() {
    std::lock_guard<std::mutex> g(TheRegistry().lock);
    return TheRegistry().live.size();
}

uint64_t ThreadSequence() {
    std::lock_guard<std::mutex> g(TheRegistry().lock);
    return TheRegistry().sequence;
}

std::string ThreadLeaksSince(uint64_t sinceSequence, uint32_t graceMilliseconds) {
    Registry& registry = TheRegistry();
    std::unique_lock<std::mutex> g(registry.lock);
    registry.ended.wait_for(g, std::chrono::milliseconds(graceMilliseconds),
                            [&] { return !AnyRunningSince(registry, sinceSequence); });
    std::ostringstream out;
    for (PKTHREAD t : SortedSince(registry, sinceSequence)) {
        std::string name = "system thread #" + std::to_string(t->sequence);
        if (t->running)
            out << "  " << name << " still running its start routine\n";
        if (t->handles > 0)
            out << "  " << name << ": " << t->handles << " handle(s) not closed with ZwClose\n";
        if (t->obReferences > 0) {
            out << "  " << name << ": " << t->obReferences
                << " reference(s) from ObReferenceObjectByHandle not dropped\n";
        }
    }
    return out.str();
}

void RequireNoSystemThreadRunning(const char* event) {
    Registry& registry = TheRegistry();
    std::unique_lock<std::mutex> g(registry.lock);
    bool ended = registry.ended.wait_for(g, std::chrono::milliseconds(kEndGraceMilliseconds),
                                         [&] { return !AnyRunningSince(registry, 0); });
    if (!ended) {
        BugCheck("DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS",
                 std::string(event) + " with a system thread still running");
    }
}

}  // namespace host

extern "C" {

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE threadHandle, ULONG desiredAccess,
                                    POBJECT_ATTRIBUTES attributes, HANDLE processHandle,
                                    PCLIENT_ID clientId, PKSTART_ROUTINE startRoutine,
                                    PVOID startContext) {
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread");
    if (!threadHandle || !startRoutine)
        host::BugCheck("PsCreateSystemThread without a handle variable or a start routine");
    // The driver runs in whatever process context its caller had: without OBJ_KERNEL_HANDLE
    // the handle would belong to that process and be reachable from user mode.
    if (!attributes || !(attributes->Attributes & OBJ_KERNEL_HANDLE))
        host::BugCheck("PsCreateSystemThread without OBJ_KERNEL_HANDLE in its object attributes");
    if (attributes->Length != sizeof(OBJECT_ATTRIBUTES) ||
        (attributes->Attributes & (OBJ_PERMANENT | OBJ_EXCLUSIVE | OBJ_OPENIF)))
        return STATUS_INVALID_PARAMETER;
    if (attributes->ObjectName || attributes->RootDirectory)
        host::BugCheck("PsCreateSystemThread with a name: thread objects are unnamed");
    if (processHandle)
        host::BugCheck("PsCreateSystemThread into a process: a driver's threads are the system's");

    Registry& registry = TheRegistry();
    {
        std::lock_guard<std::mutex> g(registry.lock);
        if (registry.failCreation != STATUS_SUCCESS)
            return registry.failCreation;
    }
    auto* thread = static_cast<PKTHREAD>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(_KTHREAD), host::kThreadPoolTag));
    if (!thread)
        return STATUS_INSUFFICIENT_RESOURCES;
    host::DispatcherInitialize(&thread->Header, host::kThreadObject, sizeof(_KTHREAD));
    thread->references = 2;  // the running thread's and the handle's
    thread->handles = 1;
    thread->obReferences = 0;
    thread->running = true;
    thread->exitStatus = STATUS_PENDING;
    thread->routine = startRoutine;
    thread->context = startContext;
    {
        std::lock_guard<std::mutex> g(registry.lock);
        thread->sequence = ++registry.sequence;
        registry.live.insert(thread);
    }

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t hostThread;
    int error = pthread_create(&hostThread, &attr, ThreadStart, thread);
    pthread_attr_destroy(&attr);
    if (error != 0) {
        std::lock_guard<std::mutex> g(registry.lock);
        registry.live.erase(thread);
        ExFreePoolWithTag(thread, host::kThreadPoolTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    *threadHandle =
        host::HandleInsert(host::HandleKind::Thread, desiredAccess,
                           std::shared_ptr<void>(thread, [](void*) {}), CloseThreadHandle);
    if (clientId) {
        clientId->UniqueProcess = reinterpret_cast<HANDLE>(uintptr_t(4));  // the System process
        clientId->UniqueThread = reinterpret_cast<HANDLE>(uintptr_t(thread->sequence * 4));
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS exitStatus) {
    PKTHREAD thread = currentSystemThread;
    if (!thread) {
        host::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                       "PsTerminateSystemThread from a thread that PsCreateSystemThread did not "
                       "create");
    }
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "PsTerminateSystemThread");
    if (host::MutexesHeld() != 0) {
        host::BugCheck("THREAD_TERMINATE_HELD_MUTEX",
                       "a system thread ended holding a mutex (the device mutex)");
    }
    if (host::CriticalRegionDepth() != 1) {
        host::BugCheck("APC_INDEX_MISMATCH",
                       "a system thread ended inside a critical region it entered");
    }
    currentSystemThread = nullptr;

    // The thread lets go of its object and signals it in one step under the registry's lock:
    // whoever sees the thread ended also sees its reference gone. Anyone still referring to
    // the object keeps it alive through the wake-up, as letting go needs the same lock.
    Registry& registry = TheRegistry();
    {
        std::unique_lock<std::mutex> g(registry.lock);
        thread->running = false;
        thread->exitStatus = exitStatus;
        if (thread->references > 1)
            host::DispatcherSignalForever(&thread->Header);
        DropReferenceLocked(g, thread);
    }
    registry.ended.notify_all();
    longjmp(threadEnd, 1);
}

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desiredAccess,
                                         POBJECT_TYPE objectType, KPROCESSOR_MODE accessMode,
                                         PVOID* object,
                                         POBJECT_HANDLE_INFORMATION handleInformation) {
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "ObReferenceObjectByHandle");
    if (!object)
        host::BugCheck("ObReferenceObjectByHandle without a variable for the object");
    *object = nullptr;
    // The host kernel references thread objects only, and drivers ask for them untyped.
    if (objectType)
        host::BugCheck("ObReferenceObjectByHandle with an object type (the host takes null)");
    if (handleInformation)
        host::BugCheck("ObReferenceObjectByHandle with handle information: drivers pass null");
    if (desiredAccess & (GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL))
        host::BugCheck("ObReferenceObjectByHandle with generic access rights");
    if (accessMode == UserMode)
        return STATUS_INVALID_HANDLE;  // every handle here is a kernel handle
    if (accessMode != KernelMode)
        host::BugCheck("ObReferenceObjectByHandle with an access mode other than Kernel or User");
    host::HandleReference reference;
    NTSTATUS status = host::HandleLookup(handle, host::HandleKind::Thread,
                                         "ObReferenceObjectByHandle", &reference);
    if (!NT_SUCCESS(status))
        return status;
    auto* thread = static_cast<PKTHREAD>(reference.object.get());
    std::lock_guard<std::mutex> g(TheRegistry().lock);
    ++thread->references;
    ++thread->obReferences;
    *object = thread;
    return STATUS_SUCCESS;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID object) {
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "ObDereferenceObject");
    Registry& registry = TheRegistry();
    std::unique_lock<std::mutex> g(registry.lock);
    auto* thread = static_cast<PKTHREAD>(object);
    if (!registry.live.count(thread)) {
        g.unlock();
        host::BugCheck("REFERENCE_BY_POINTER",
                       "ObDereferenceObject of something that is not a live object");
    }
    // Stricter than the bare count: a driver may drop only references it took.
    if (thread->obReferences == 0) {
        g.unlock();
        host::BugCheck("REFERENCE_BY_POINTER",
                       "ObDereferenceObject of a thread object the driver holds no reference to");
    }
    --thread->obReferences;
    return DropReferenceLocked(g, thread);
}

}  // extern "C"
