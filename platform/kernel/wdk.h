// The mingw-w64 WDK headers, in the order they need, with the gaps they leave filled in.
#pragma once

// <intrin.h> and wdm.h both define these two.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

#include <ntddk.h>
// ksmedia.h is written in user-mode types.
#include <windef.h>
typedef char TCHAR;

// ks.h declares the reference clock interface only after unknown.h, which expects these.
#ifndef DECLSPEC_NOVTABLE
#define DECLSPEC_NOVTABLE
#endif
#ifndef DECLSPEC_NOTHROW
#define DECLSPEC_NOTHROW
#endif
#include <unknown.h>
#include <ks.h>
#include <ksmedia.h>

extern "C" {
#include <usb.h>
#include <usbdlib.h>
// usbioctl.h names a hub node type UsbDevice, which is the driver's USB record.
#define UsbDevice BcUsbHubNodeTypeDevice
#include <usbioctl.h>
#undef UsbDevice
}

#ifndef STATIC_MEDIASUBTYPE_RGB32
#define STATIC_MEDIASUBTYPE_RGB32 \
    0xe436eb7e, 0x524f, 0x11ce, 0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70
#endif
#ifndef STATIC_PIN_CATEGORY_CAPTURE
#define STATIC_PIN_CATEGORY_CAPTURE STATIC_PINNAME_VIDEO_CAPTURE
#endif

// Wide literals are 16-bit in both builds; the host spells them as char16_t.
#define BC_WIDE(s) L##s
// The capture category is the video-capture pin name's GUID; ks.h names only the latter.
#ifndef PIN_CATEGORY_CAPTURE
#define PIN_CATEGORY_CAPTURE PINNAME_VIDEO_CAPTURE
#endif

// ntddk.h spells its extended-state masks with MSVC's i64 suffix and stops at GSSE: the
// masks KeSaveExtendedProcessorState takes for AVX and AVX-512, in the WDK's values.
#undef XSTATE_MASK_LEGACY_FLOATING_POINT
#undef XSTATE_MASK_LEGACY_SSE
#undef XSTATE_MASK_LEGACY
#undef XSTATE_MASK_GSSE
#undef XSTATE_MASK_AVX
#undef XSTATE_MASK_AVX512
#define XSTATE_MASK_LEGACY_FLOATING_POINT (1ull << 0)
#define XSTATE_MASK_LEGACY_SSE (1ull << 1)
#define XSTATE_MASK_LEGACY (XSTATE_MASK_LEGACY_FLOATING_POINT | XSTATE_MASK_LEGACY_SSE)
#define XSTATE_MASK_GSSE (1ull << 2)
#define XSTATE_MASK_AVX XSTATE_MASK_GSSE
// Opmask registers, upper halves of ZMM0..15, ZMM16..31.
#define XSTATE_MASK_AVX512 ((1ull << 5) | (1ull << 6) | (1ull << 7))

#define BC_KERNEL_BUILD 1
