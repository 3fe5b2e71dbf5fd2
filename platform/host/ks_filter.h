// AVStream's filter factories, filters and the requests that reach them: the control codes,
// the create-item flags and the calls a minidriver makes on these objects.
#pragma once

#include "platform/host/ks_records.h"
#include "platform/host/nt_io.h"

#define FILE_DEVICE_KS 0x0000002f
#define IOCTL_KS_PROPERTY CTL_CODE(FILE_DEVICE_KS, 0x000, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_ENABLE_EVENT CTL_CODE(FILE_DEVICE_KS, 0x001, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_DISABLE_EVENT CTL_CODE(FILE_DEVICE_KS, 0x002, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_METHOD CTL_CODE(FILE_DEVICE_KS, 0x003, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_WRITE_STREAM CTL_CODE(FILE_DEVICE_KS, 0x004, METHOD_NEITHER, FILE_WRITE_ACCESS)
#define IOCTL_KS_READ_STREAM CTL_CODE(FILE_DEVICE_KS, 0x005, METHOD_NEITHER, FILE_READ_ACCESS)
#define IOCTL_KS_RESET_STATE CTL_CODE(FILE_DEVICE_KS, 0x006, METHOD_NEITHER, FILE_ANY_ACCESS)

#define KSCREATE_ITEM_SECURITYCHANGED 0x00000001
#define KSCREATE_ITEM_WILDCARD 0x00000002
#define KSCREATE_ITEM_NOPARAMETERS 0x00000004
#define KSCREATE_ITEM_FREEONSTOP 0x00000008

// Where the property dispatch leaves the set and item it matched, for the handler to read.
#define KSPROPERTY_SET_IRP_STORAGE(Irp) \
    (*(const KSPROPERTY_SET**)&(Irp)->Tail.Overlay.DriverContext[0])
#define KSPROPERTY_ITEM_IRP_STORAGE(Irp) \
    (*(const KSPROPERTY_ITEM**)&(Irp)->Tail.Overlay.DriverContext[3])

extern "C" {
NTSTATUS NTAPI KsCreateFilterFactory(PDEVICE_OBJECT DeviceObject,
                                     const KSFILTER_DESCRIPTOR* Descriptor, PWSTR RefString,
                                     PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG CreateItemFlags,
                                     PFNKSFILTERFACTORYPOWER SleepCallback,
                                     PFNKSFILTERFACTORYPOWER WakeCallback,
                                     PKSFILTERFACTORY* FilterFactory);
NTSTATUS NTAPI KsFilterFactorySetDeviceClassesState(PKSFILTERFACTORY FilterFactory,
                                                    BOOLEAN NewState);
PKSDEVICE NTAPI KsGetDevice(PVOID Object);
PKSFILTER NTAPI KsGetFilterFromIrp(PIRP Irp);
void NTAPI KsAcquireControl(PVOID Object);
void NTAPI KsReleaseControl(PVOID Object);
}

inline PKSDEVICE KsFilterFactoryGetDevice(PKSFILTERFACTORY FilterFactory) {
    return KsGetDevice((PVOID)FilterFactory);
}

inline PKSDEVICE KsFilterGetDevice(PKSFILTER Filter) {
    return KsGetDevice((PVOID)Filter);
}

inline void KsFilterAcquireControl(PKSFILTER Filter) {
    KsAcquireControl((PVOID)Filter);
}

inline void KsFilterReleaseControl(PKSFILTER Filter) {
    KsReleaseControl((PVOID)Filter);
}
