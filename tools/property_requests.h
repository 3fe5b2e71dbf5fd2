// Requests of the camera property set as an application sends them, built from the parsed
// operations of `bayercam props`, so every command that sets a property sends the same record.
#pragma once

#include "tools/camera_session.h"
#include "tools/props_ops.h"

namespace tool {

// Sends a set operation (op.kind == OpKind::Set) in the item's record: the region record for
// Roi, the raw record for RawCommand and ReadByte, the value record for the others.
NTSTATUS SetProperty(CameraSession* session, const PropsOp& op);

// Gets a value-record item: its Value and Second.
NTSTATUS GetPropertyValue(CameraSession* session, ULONG id, LONG* value, LONG* second);

// Gets any item in its own record: Value and Second of a value record; Value and Length of a
// raw one, whose whole record also lands in *raw when given.
NTSTATUS GetPropertyRecord(CameraSession* session, ULONG id, LONG* value, LONG* second,
                           CameraRawValue* raw = nullptr);

// The directions an item supports (KSPROPERTY_TYPE_GET, _SET), as BASICSUPPORT reports them;
// 0 when the request fails.
ULONG PropertyAccess(CameraSession* session, ULONG id);

}  // namespace tool
