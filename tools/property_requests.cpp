#include "tools/property_requests.h"

#include <cstring>

#include "control/property_set.h"

namespace tool {

NTSTATUS SetProperty(CameraSession* session, const PropsOp& op) {
    ULONG returned = 0;
    if (op.id == PropRoi) {
        CameraRoiValue roi{};
        roi.X = op.roi[0];
        roi.Y = op.roi[1];
        roi.Width = op.roi[2];
        roi.Height = op.roi[3];
        return session->CameraProperty(op.id, KSPROPERTY_TYPE_SET, &roi, sizeof(roi), &returned);
    }
    if (PropertyRecord(op.id) == Record::Raw) {
        CameraRawValue raw{};
        raw.Value = op.value;
        raw.Length = op.length;
        if (!op.bytes.empty())
            std::memcpy(raw.Bytes, op.bytes.data(), op.bytes.size());
        return session->CameraProperty(op.id, KSPROPERTY_TYPE_SET, &raw, sizeof(raw), &returned);
    }
    CameraPropertyValue v{};
    v.Value = op.value;
    v.Second = op.second;
    return session->CameraProperty(op.id, KSPROPERTY_TYPE_SET, &v, sizeof(v), &returned);
}

NTSTATUS GetPropertyValue(CameraSession* session, ULONG id, LONG* value, LONG* second) {
    CameraPropertyValue v{};
    ULONG returned = 0;
    NTSTATUS status = session->CameraProperty(id, KSPROPERTY_TYPE_GET, &v, sizeof(v), &returned);
    *value = v.Value;
    *second = v.Second;
    return status;
}

NTSTATUS GetPropertyRecord(CameraSession* session, ULONG id, LONG* value, LONG* second,
                           CameraRawValue* raw) {
    if (PropertyRecord(id) == Record::Value)
        return GetPropertyValue(session, id, value, second);
    CameraRawValue r{};
    ULONG returned = 0;
    ULONG size = RecordSize(PropertyRecord(id));
    NTSTATUS status = session->CameraProperty(id, KSPROPERTY_TYPE_GET, &r, size, &returned);
    *value = r.Value;
    *second = r.Length;
    if (raw)
        *raw = r;
    return status;
}

ULONG PropertyAccess(CameraSession* session, ULONG id) {
    CameraRawValue request{};
    request.Header.Set = CameraPropertySetId;
    request.Header.Id = id;
    request.Header.Flags = KSPROPERTY_TYPE_BASICSUPPORT;
    ULONG access = 0, returned = 0;
    NTSTATUS status = session->Request(&request, RecordSize(PropertyRecord(id)), &access,
                                       sizeof(access), &returned);
    return NT_SUCCESS(status) ? access : 0;
}

}  // namespace tool
