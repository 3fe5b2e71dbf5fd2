// The kernel headers declare these GUIDs but define none of them: the objects live here, once,
// initialised from the headers' own values so the image needs no constructor.
#include "platform/platform.h"

extern "C" {
const GUID GUID_NULL = {STATIC_GUID_NULL};
const GUID KSNAME_Filter = {STATIC_KSNAME_Filter};
const GUID KSMEMORY_TYPE_KERNEL_NONPAGED = {STATIC_KSMEMORY_TYPE_KERNEL_NONPAGED};
const GUID KSPROPSETID_Pin = {STATIC_KSPROPSETID_Pin};
const GUID KSPROPTYPESETID_General = {STATIC_KSPROPTYPESETID_General};
const GUID KSDATAFORMAT_SPECIFIER_NONE = {STATIC_KSDATAFORMAT_SPECIFIER_NONE};
const GUID KSCATEGORY_VIDEO = {STATIC_KSCATEGORY_VIDEO};
const GUID KSCATEGORY_CAPTURE = {STATIC_KSCATEGORY_CAPTURE};
const GUID PINNAME_VIDEO_CAPTURE = {STATIC_PINNAME_VIDEO_CAPTURE};
}
