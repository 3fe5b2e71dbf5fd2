// Reading the camera's descriptors, selecting its one configuration and deselecting it.
#pragma once

#include "driver/device_context.h"

// Reads the device descriptor, then the configuration descriptor (its 9-byte head, then all of
// it), and selects the configuration. On success the device owns ConfigurationDescriptor,
// InterfaceInfo (the first interface, with its pipes) and PipePending. On failure all three
// are left null: nothing half-recorded outlives a failed start. Passive level only.
NTSTATUS ConfigureDevice(UsbDevice* usb);

// Selects the recorded ConfigurationDescriptor with every interface it holds and records the
// first interface. Passive level only.
NTSTATUS SelectConfiguration(UsbDevice* usb);

// Deselects the configuration. The owned buffers are the caller's to free beforehand.
NTSTATUS UnconfigureDevice(UsbDevice* usb);

// Frees ConfigurationDescriptor, InterfaceInfo and PipePending, each if present.
void FreeConfiguration(UsbDevice* usb);
