// The camera operations table and the raw-geometry getters it carries.
#pragma once

#include "driver/device_context.h"

extern const CameraOps CameraOperations;

void GetFrameSize(DeviceContext* context, ULONG* size);
void GetFrameOrigin(DeviceContext* context, ULONG* origin);
void GetFramePitch(DeviceContext* context, ULONG* pitch);
LONG GetRoiX(DeviceContext* context);
LONG GetRoiY(DeviceContext* context);
