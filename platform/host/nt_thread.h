// System threads and references to them, as the driver uses them: PsCreateSystemThread gives a
// thread handle, ObReferenceObjectByHandle turns it into the thread object (a dispatcher object,
// signalled when the thread has ended), PsTerminateSystemThread ends the calling thread.
// Names, signatures and x64 layouts are the WDK's.
#pragma once

#include "platform/host/nt_types.h"
#include "platform/host/nt_kernel.h"
#include "platform/host/nt_registry.h"  // OBJECT_ATTRIBUTES and the standard access rights

extern "C" {

typedef VOID(NTAPI KSTART_ROUTINE)(PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef struct _OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

// Opaque to drivers, as in the WDK.
typedef struct _OBJECT_TYPE* POBJECT_TYPE;
typedef struct _KTHREAD *PKTHREAD, *PRKTHREAD;

#define THREAD_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                    PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext);
NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus);

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                         POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                         PVOID* Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation);
LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object);
#define ObDereferenceObject ObfDereferenceObject

}  // extern "C"
