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
