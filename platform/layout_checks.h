// Records the driver shares with the kernel, AVStream and the bus driver must have their
// Windows x64 sizes in both builds; a layout that drifts fails the build here.
#pragma once

static_assert(sizeof(GUID) == 16, "GUID");
static_assert(sizeof(KSDATAFORMAT) == 64, "KSDATAFORMAT");
static_assert(sizeof(KS_BITMAPINFOHEADER) == 40, "KS_BITMAPINFOHEADER");
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88, "KS_VIDEOINFOHEADER");
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128, "KS_VIDEO_STREAM_CONFIG_CAPS");
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296, "KS_DATARANGE_VIDEO");
static_assert(offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader) == 208, "VideoInfoHeader offset");
static_assert(offsetof(KS_VIDEOINFOHEADER, bmiHeader) == 48, "bmiHeader offset");
static_assert(sizeof(KSDEVICE_DISPATCH) == 14 * 8, "KSDEVICE_DISPATCH");
static_assert(sizeof(KSDEVICE_DESCRIPTOR) == 32, "KSDEVICE_DESCRIPTOR");
static_assert(offsetof(KSDEVICE, Context) == 16, "KSDEVICE.Context");
static_assert(offsetof(KSDEVICE, NextDeviceObject) == 40, "KSDEVICE.NextDeviceObject");
static_assert(sizeof(KEVENT) == 24, "KEVENT");
static_assert(sizeof(KSPIN_LOCK) == 8, "KSPIN_LOCK");
static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4, "32-bit LONG/ULONG");
static_assert(sizeof(WCHAR) == 2, "WCHAR");
static_assert(offsetof(DEVICE_OBJECT, StackSize) == 76, "DEVICE_OBJECT.StackSize");
static_assert(offsetof(DRIVER_OBJECT, MajorFunction) == 112, "DRIVER_OBJECT.MajorFunction");

// The registry.
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48, "OBJECT_ATTRIBUTES");
static_assert(offsetof(OBJECT_ATTRIBUTES, RootDirectory) == 8, "OBJECT_ATTRIBUTES.RootDirectory");
static_assert(offsetof(OBJECT_ATTRIBUTES, ObjectName) == 16, "OBJECT_ATTRIBUTES.ObjectName");
static_assert(offsetof(OBJECT_ATTRIBUTES, Attributes) == 24, "OBJECT_ATTRIBUTES.Attributes");
static_assert(offsetof(OBJECT_ATTRIBUTES, SecurityDescriptor) == 32,
              "OBJECT_ATTRIBUTES.SecurityDescriptor");
static_assert(sizeof(KEY_VALUE_PARTIAL_INFORMATION) == 16, "KEY_VALUE_PARTIAL_INFORMATION");
static_assert(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12,
              "KEY_VALUE_PARTIAL_INFORMATION.Data");
static_assert(KeyValuePartialInformation == 2, "KeyValuePartialInformation");
static_assert(KEY_ALL_ACCESS == 0xF003F && KEY_READ == 0x20019, "KEY_ALL_ACCESS, KEY_READ");
static_assert(DO_BUS_ENUMERATED_DEVICE == 0x1000, "DO_BUS_ENUMERATED_DEVICE");

// I/O requests and memory descriptors.
static_assert(sizeof(IO_STATUS_BLOCK) == 16, "IO_STATUS_BLOCK");
static_assert(sizeof(IRP) == 208, "IRP");
static_assert(offsetof(IRP, MdlAddress) == 8, "IRP.MdlAddress");
static_assert(offsetof(IRP, AssociatedIrp) == 24, "IRP.AssociatedIrp");
static_assert(offsetof(IRP, IoStatus) == 48, "IRP.IoStatus");
static_assert(offsetof(IRP, PendingReturned) == 65, "IRP.PendingReturned");
static_assert(offsetof(IRP, StackCount) == 66, "IRP.StackCount");
static_assert(offsetof(IRP, CurrentLocation) == 67, "IRP.CurrentLocation");
static_assert(offsetof(IRP, Cancel) == 68, "IRP.Cancel");
static_assert(offsetof(IRP, UserIosb) == 72, "IRP.UserIosb");
static_assert(offsetof(IRP, UserEvent) == 80, "IRP.UserEvent");
static_assert(offsetof(IRP, CancelRoutine) == 104, "IRP.CancelRoutine");
static_assert(offsetof(IRP, UserBuffer) == 112, "IRP.UserBuffer");
static_assert(offsetof(IRP, Tail.Overlay.DriverContext) == 120, "IRP.Tail.Overlay.DriverContext");
static_assert(offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 184,
              "IRP.Tail.Overlay.CurrentStackLocation");
static_assert(sizeof(IO_STACK_LOCATION) == 72, "IO_STACK_LOCATION");
static_assert(offsetof(IO_STACK_LOCATION, Control) == 3, "IO_STACK_LOCATION.Control");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument1) == 8,
              "IO_STACK_LOCATION.Parameters.Others.Argument1");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength) == 16,
              "IO_STACK_LOCATION.Parameters.DeviceIoControl.InputBufferLength");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode) == 24,
              "IO_STACK_LOCATION.Parameters.DeviceIoControl.IoControlCode");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer) == 32,
              "IO_STACK_LOCATION.Parameters.DeviceIoControl.Type3InputBuffer");
static_assert(offsetof(IO_STACK_LOCATION, DeviceObject) == 40, "IO_STACK_LOCATION.DeviceObject");
static_assert(offsetof(IO_STACK_LOCATION, CompletionRoutine) == 56,
              "IO_STACK_LOCATION.CompletionRoutine");
static_assert(offsetof(IO_STACK_LOCATION, Context) == 64, "IO_STACK_LOCATION.Context");
static_assert(sizeof(MDL) == 48, "MDL");
static_assert(offsetof(MDL, MdlFlags) == 10, "MDL.MdlFlags");
static_assert(offsetof(MDL, MappedSystemVa) == 24, "MDL.MappedSystemVa");
static_assert(offsetof(MDL, StartVa) == 32, "MDL.StartVa");
static_assert(offsetof(MDL, ByteCount) == 40, "MDL.ByteCount");
static_assert(offsetof(MDL, ByteOffset) == 44, "MDL.ByteOffset");

// USB descriptors and request blocks.
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "USB_DEVICE_DESCRIPTOR");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "USB_CONFIGURATION_DESCRIPTOR");
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9, "USB_INTERFACE_DESCRIPTOR");
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7, "USB_ENDPOINT_DESCRIPTOR");
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, wTotalLength) == 2, "wTotalLength");
static_assert(offsetof(USB_ENDPOINT_DESCRIPTOR, wMaxPacketSize) == 4, "wMaxPacketSize");
static_assert(sizeof(struct _URB_HEADER) == 24, "_URB_HEADER");
static_assert(offsetof(struct _URB_HEADER, Status) == 4, "_URB_HEADER.Status");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128,
              "_URB_BULK_OR_INTERRUPT_TRANSFER");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, PipeHandle) == 24, "PipeHandle");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferFlags) == 32,
              "TransferFlags");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength) == 36,
              "TransferBufferLength");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer) == 40,
              "TransferBuffer");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL) == 48,
              "TransferBufferMDL");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, UrbLink) == 56, "UrbLink");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136,
              "_URB_CONTROL_DESCRIPTOR_REQUEST");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength) == 36,
              "_URB_CONTROL_DESCRIPTOR_REQUEST.TransferBufferLength");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index) == 130,
              "_URB_CONTROL_DESCRIPTOR_REQUEST.Index");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType) == 131,
              "_URB_CONTROL_DESCRIPTOR_REQUEST.DescriptorType");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId) == 132,
              "_URB_CONTROL_DESCRIPTOR_REQUEST.LanguageId");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 40, "_URB_PIPE_REQUEST");
static_assert(offsetof(struct _URB_PIPE_REQUEST, PipeHandle) == 24, "_URB_PIPE_REQUEST.PipeHandle");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 88, "_URB_SELECT_CONFIGURATION");
static_assert(offsetof(struct _URB_SELECT_CONFIGURATION, ConfigurationDescriptor) == 24,
              "_URB_SELECT_CONFIGURATION.ConfigurationDescriptor");
static_assert(offsetof(struct _URB_SELECT_CONFIGURATION, Interface) == 40,
              "_URB_SELECT_CONFIGURATION.Interface");
static_assert(sizeof(URB) == 152, "URB");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24, "USBD_PIPE_INFORMATION");
static_assert(offsetof(USBD_PIPE_INFORMATION, EndpointAddress) == 2, "EndpointAddress");
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeType) == 4, "PipeType");
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeHandle) == 8, "PipeHandle");
static_assert(offsetof(USBD_PIPE_INFORMATION, MaximumTransferSize) == 16, "MaximumTransferSize");
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48, "USBD_INTERFACE_INFORMATION");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, NumberOfPipes) == 16, "NumberOfPipes");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 24, "Pipes");
static_assert(sizeof(USBD_INTERFACE_LIST_ENTRY) == 16, "USBD_INTERFACE_LIST_ENTRY");
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x00220003, "IOCTL_INTERNAL_USB_SUBMIT_URB");
static_assert(IOCTL_INTERNAL_USB_RESET_PORT == 0x00220007, "IOCTL_INTERNAL_USB_RESET_PORT");
static_assert(IOCTL_INTERNAL_USB_GET_PORT_STATUS == 0x00220013,
              "IOCTL_INTERNAL_USB_GET_PORT_STATUS");

// AVStream records of filters, pins, properties and stream headers.
static_assert(sizeof(KSPROPERTY) == 24, "KSPROPERTY");
static_assert(sizeof(KSSTREAM_HEADER) == 56, "KSSTREAM_HEADER");
static_assert(offsetof(KSSTREAM_HEADER, Data) == 40, "KSSTREAM_HEADER.Data");
static_assert(sizeof(KS_FRAME_INFO) == 72, "KS_FRAME_INFO");
static_assert(offsetof(KS_FRAME_INFO, PictureNumber) == 8, "KS_FRAME_INFO.PictureNumber");
static_assert(sizeof(KSPROPERTY_ITEM) == 72, "KSPROPERTY_ITEM");
static_assert(sizeof(KSPIN_DESCRIPTOR_EX) == 136, "KSPIN_DESCRIPTOR_EX");
static_assert(offsetof(KSPIN_DESCRIPTOR_EX, IntersectHandler) == 128, "IntersectHandler");
static_assert(sizeof(KSFILTER_DESCRIPTOR) == 104, "KSFILTER_DESCRIPTOR");
static_assert(sizeof(KSALLOCATOR_FRAMING_EX) == 112, "KSALLOCATOR_FRAMING_EX");
static_assert(offsetof(KSFILTER_DESCRIPTOR, ReferenceGuid) == 24, "ReferenceGuid");
static_assert(offsetof(KSFILTER_DESCRIPTOR, PinDescriptors) == 40, "PinDescriptors");
static_assert(offsetof(KSFILTER_DESCRIPTOR, Categories) == 56, "Categories");
static_assert(offsetof(KSFILTER_DESCRIPTOR, NodeDescriptorsCount) == 64, "NodeDescriptorsCount");

// Filters, factories, pins and their automation.
static_assert(sizeof(KSFILTER) == 24, "KSFILTER");
static_assert(sizeof(KSFILTERFACTORY) == 24, "KSFILTERFACTORY");
static_assert(offsetof(KSFILTER, Context) == 16, "KSFILTER.Context");
static_assert(sizeof(KSPIN) == 136, "KSPIN");
static_assert(offsetof(KSPIN, Id) == 24, "KSPIN.Id");
static_assert(offsetof(KSPIN, ConnectionInterface) == 40, "KSPIN.ConnectionInterface");
static_assert(offsetof(KSPIN, ConnectionFormat) == 96, "KSPIN.ConnectionFormat");
static_assert(offsetof(KSPIN, StreamHeaderSize) == 112, "KSPIN.StreamHeaderSize");
static_assert(offsetof(KSPIN, DeviceState) == 120, "KSPIN.DeviceState");
static_assert(offsetof(KSPIN, ClientState) == 128, "KSPIN.ClientState");
static_assert(sizeof(KSPIN_DISPATCH) == 80, "KSPIN_DISPATCH");
static_assert(offsetof(KSPIN_DISPATCH, Clock) == 64, "KSPIN_DISPATCH.Clock");
static_assert(sizeof(KSFILTER_DISPATCH) == 32, "KSFILTER_DISPATCH");
static_assert(sizeof(KSAUTOMATION_TABLE) == 48, "KSAUTOMATION_TABLE");
static_assert(offsetof(KSAUTOMATION_TABLE, PropertySets) == 8, "PropertySets");
static_assert(offsetof(KSAUTOMATION_TABLE, EventSets) == 40, "EventSets");
static_assert(sizeof(KSPROPERTY_SET) == 40, "KSPROPERTY_SET");
static_assert(offsetof(KSPROPERTY_SET, PropertyItem) == 16, "KSPROPERTY_SET.PropertyItem");
static_assert(offsetof(KSPROPERTY_SET, FastIoTable) == 32, "KSPROPERTY_SET.FastIoTable");
static_assert(sizeof(KSFASTPROPERTY_ITEM) == 32, "KSFASTPROPERTY_ITEM");
static_assert(sizeof(KSNODE_DESCRIPTOR) == 24, "KSNODE_DESCRIPTOR");
static_assert(sizeof(KSMULTIPLE_ITEM) == 8, "KSMULTIPLE_ITEM");
static_assert(sizeof(KSPROPERTY_DESCRIPTION) == 40, "KSPROPERTY_DESCRIPTION");
static_assert(offsetof(KSPROPERTY_DESCRIPTION, PropTypeSet) == 8, "PropTypeSet");
static_assert(offsetof(KSPROPERTY_DESCRIPTION, MembersListCount) == 32, "MembersListCount");
static_assert(sizeof(KSPROPERTY_MEMBERSHEADER) == 16, "KSPROPERTY_MEMBERSHEADER");
static_assert(sizeof(KSP_PIN) == 32, "KSP_PIN");
static_assert(sizeof(KSP_NODE) == 32, "KSP_NODE");
static_assert(sizeof(KSPIN_CINSTANCES) == 8, "KSPIN_CINSTANCES");
static_assert(sizeof(KSATTRIBUTE) == 24, "KSATTRIBUTE");
static_assert(sizeof(KSATTRIBUTE_LIST) == 16, "KSATTRIBUTE_LIST");
static_assert(sizeof(KSPRIORITY) == 8, "KSPRIORITY");
static_assert(sizeof(KSSTATE) == 4, "KSSTATE");
static_assert(IOCTL_KS_PROPERTY == 0x002F0003, "IOCTL_KS_PROPERTY");
static_assert(KSPROPERTY_TYPE_BASICSUPPORT == 0x200 && KSPROPERTY_TYPE_SETSUPPORT == 0x100,
              "KSPROPERTY_TYPE_*");
static_assert(KSPROPERTY_PIN_NAME == 12 && KSPROPERTY_PIN_CATEGORY == 11, "KSPROPERTY_PIN_*");
static_assert(KSCREATE_ITEM_FREEONSTOP == 8, "KSCREATE_ITEM_FREEONSTOP");
static_assert(KSFILTER_DESCRIPTOR_VERSION == 0xFFFFFFFFu, "KSFILTER_DESCRIPTOR_VERSION");

// File objects: the fields a driver reads, at their Windows places.
static_assert(sizeof(FILE_OBJECT) == 216, "FILE_OBJECT");
static_assert(offsetof(FILE_OBJECT, DeviceObject) == 8, "FILE_OBJECT.DeviceObject");
static_assert(offsetof(FILE_OBJECT, Vpb) == 16, "FILE_OBJECT.Vpb");
static_assert(offsetof(FILE_OBJECT, FsContext) == 24, "FILE_OBJECT.FsContext");
static_assert(offsetof(FILE_OBJECT, FsContext2) == 32, "FILE_OBJECT.FsContext2");
static_assert(offsetof(FILE_OBJECT, FileName) == 88, "FILE_OBJECT.FileName");
static_assert(offsetof(FILE_OBJECT, Lock) == 128, "FILE_OBJECT.Lock");
static_assert(offsetof(FILE_OBJECT, FileObjectExtension) == 208, "FileObjectExtension");
static_assert(sizeof(KSMETHOD_ITEM) == 40, "KSMETHOD_ITEM");
static_assert(sizeof(KSEVENT_ITEM) == 40, "KSEVENT_ITEM");

// System threads.
static_assert(sizeof(CLIENT_ID) == 16, "CLIENT_ID");
static_assert(offsetof(CLIENT_ID, UniqueThread) == 8, "CLIENT_ID.UniqueThread");
static_assert(sizeof(OBJECT_HANDLE_INFORMATION) == 8, "OBJECT_HANDLE_INFORMATION");
static_assert(THREAD_ALL_ACCESS == 0x1FFFFF && SYNCHRONIZE == 0x100000, "THREAD_ALL_ACCESS");
// Pins: the connect request, stream pointers, the clock interface and the pin's control codes.
static_assert(sizeof(KSPIN_CONNECT) == 72, "KSPIN_CONNECT");
static_assert(offsetof(KSPIN_CONNECT, Medium) == 24, "KSPIN_CONNECT.Medium");
static_assert(offsetof(KSPIN_CONNECT, PinId) == 48, "KSPIN_CONNECT.PinId");
static_assert(offsetof(KSPIN_CONNECT, PinToHandle) == 56, "KSPIN_CONNECT.PinToHandle");
static_assert(offsetof(KSPIN_CONNECT, Priority) == 64, "KSPIN_CONNECT.Priority");
static_assert(sizeof(KSSTREAM_POINTER_OFFSET) == 16, "KSSTREAM_POINTER_OFFSET");
static_assert(offsetof(KSSTREAM_POINTER_OFFSET, Count) == 8, "KSSTREAM_POINTER_OFFSET.Count");
static_assert(offsetof(KSSTREAM_POINTER_OFFSET, Remaining) == 12, "Remaining");
static_assert(sizeof(KSSTREAM_POINTER) == 64, "KSSTREAM_POINTER");
static_assert(offsetof(KSSTREAM_POINTER, StreamHeader) == 16, "KSSTREAM_POINTER.StreamHeader");
static_assert(offsetof(KSSTREAM_POINTER, Offset) == 24, "KSSTREAM_POINTER.Offset");
static_assert(offsetof(KSSTREAM_POINTER, OffsetIn) == 32, "KSSTREAM_POINTER.OffsetIn");
static_assert(offsetof(KSSTREAM_POINTER, OffsetOut) == 48, "KSSTREAM_POINTER.OffsetOut");
static_assert(KSSTREAM_POINTER_STATE_LOCKED == 1, "KSSTREAM_POINTER_STATE_LOCKED");
static_assert(sizeof(KSRESOLUTION) == 16, "KSRESOLUTION");
static_assert(sizeof(IKsReferenceClock) == sizeof(void*), "IKsReferenceClock: a vtable only");
static_assert(IOCTL_KS_READ_STREAM == 0x002F4017, "IOCTL_KS_READ_STREAM");
static_assert(KSPROPERTY_CONNECTION_STATE == 0 && KSPROPERTY_CONNECTION_DATAFORMAT == 2,
              "KSPROPERTY_CONNECTION_*");
static_assert(KSPROPERTY_STREAM_MASTERCLOCK == 3, "KSPROPERTY_STREAM_MASTERCLOCK");
static_assert(KSSTREAM_HEADER_OPTIONSF_TIMEVALID == 0x10 &&
                  KSSTREAM_HEADER_OPTIONSF_DURATIONVALID == 0x100,
              "KSSTREAM_HEADER_OPTIONSF_*");
static_assert(KSINTERFACE_STANDARD_STREAMING == 0 && KSMEDIUM_TYPE_ANYINSTANCE == 0,
              "standard interface and medium");
// The driver keeps the save area on its stack and the kernel fills it.
static_assert(sizeof(XSTATE_SAVE) == 56, "XSTATE_SAVE");
