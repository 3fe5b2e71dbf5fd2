#include "tests/stress/camera_client.h"

#include <cstring>

#include "control/region_of_interest.h"
#include "tests/common/pin_intersection.h"

CameraClient::~CameraClient() {
    ClosePin();
    DrainReads(2000);
}

NTSTATUS CameraClient::Get(ULONG id, LONG* value) {
    CameraPropertyValue record{};
    record.Header.Set = CameraPropertySetId;
    record.Header.Id = id;
    record.Header.Flags = KSPROPERTY_TYPE_GET;
    ULONG returned = 0;
    NTSTATUS status = host::KsPropertyRequest(filter_, &record, sizeof(record), &record,
                                              sizeof(record), &returned);
    *value = record.Value;
    return status;
}

NTSTATUS CameraClient::Set(ULONG id, LONG value, LONG second) {
    CameraPropertyValue record{};
    record.Header.Set = CameraPropertySetId;
    record.Header.Id = id;
    record.Header.Flags = KSPROPERTY_TYPE_SET;
    record.Value = value;
    record.Second = second;
    ULONG returned = 0;
    return host::KsPropertyRequest(filter_, &record, sizeof(record), &record, sizeof(record),
                                   &returned);
}

NTSTATUS CameraClient::SetRoi(LONG x, LONG y, LONG width, LONG height) {
    CameraRoiValue record{};
    record.Header.Set = CameraPropertySetId;
    record.Header.Id = PropRoi;
    record.Header.Flags = KSPROPERTY_TYPE_SET;
    record.X = x;
    record.Y = y;
    record.Width = width;
    record.Height = height;
    ULONG returned = 0;
    return host::KsPropertyRequest(filter_, &record, sizeof(record), &record, sizeof(record),
                                   &returned);
}

NTSTATUS CameraClient::Negotiate() {
    return IntersectPinRange(filter_, &format_);
}

ULONG CameraClient::ImageSize() const {
    if (format_.empty())
        return 0;
    auto* info = reinterpret_cast<const KS_VIDEOINFOHEADER*>(
        reinterpret_cast<const KSDATAFORMAT*>(format_.data()) + 1);
    return info->bmiHeader.biSizeImage;
}

NTSTATUS CameraClient::CreatePin() {
    if (format_.empty())
        return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status =
        host::CreatePin(filter_, 0, reinterpret_cast<KSDATAFORMAT*>(format_.data()), &pin_);
    if (!NT_SUCCESS(status)) {
        pin_ = nullptr;
        return status;
    }
    return host::SetPinMasterClock(pin_, true);
}

NTSTATUS CameraClient::SetState(KSSTATE state) {
    return pin_ ? host::SetPinState(pin_, state) : STATUS_INVALID_DEVICE_STATE;
}

NTSTATUS CameraClient::ClosePin() {
    if (!pin_)
        return STATUS_SUCCESS;
    NTSTATUS status = host::ClosePin(pin_);
    pin_ = nullptr;
    return status;
}

NTSTATUS CameraClient::Queue(int count) {
    for (int i = 0; i < count; ++i) {
        auto read = std::make_unique<ClientRead>();
        read->data.assign(ImageSize(), 0xEE);
        ClientRead* r = read.get();
        reads_.push_back(std::move(read));
        NTSTATUS status = Requeue(r);
        if (status != STATUS_PENDING) {
            reads_.pop_back();
            return status;
        }
    }
    return STATUS_PENDING;
}

NTSTATUS CameraClient::Requeue(ClientRead* r) {
    if (r->read)
        host::FreeStreamRead(r->read);
    r->read = nullptr;
    memset(&r->head, 0, sizeof(r->head));
    r->head.header.Size = sizeof(r->head);
    r->head.header.FrameExtent = ULONG(r->data.size());
    r->head.header.Data = r->data.data();
    r->head.info.ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
    NTSTATUS status = host::ReadStream(pin_, &r->head.header, &r->read);
    if (status != STATUS_PENDING)
        r->read = nullptr;
    return status;
}

ClientRead* CameraClient::Next(uint32_t milliseconds, NTSTATUS* status) {
    *status = STATUS_TIMEOUT;
    for (size_t tried = 0; tried < reads_.size(); ++tried) {
        ClientRead* r = reads_[next_ % reads_.size()].get();
        if (r->read) {
            if (!host::WaitStreamRead(r->read, milliseconds, status))
                return nullptr;
            ++next_;
            return r;
        }
        ++next_;  // a read that could not be queued again is skipped
    }
    return nullptr;
}

bool CameraClient::DrainReads(uint32_t milliseconds) {
    bool all = true;
    for (auto& r : reads_) {
        if (!r->read)
            continue;
        NTSTATUS status;
        if (!host::WaitStreamRead(r->read, milliseconds, &status)) {
            all = false;
            continue;  // still the pin's: freeing it now would pull it from under AVStream
        }
        host::FreeStreamRead(r->read);
        r->read = nullptr;
    }
    if (all) {
        reads_.clear();
        next_ = 0;
    }
    return all;
}

bool IsFullFrame(const ClientRead& read, ULONG imageSize) {
    return imageSize > 0 && read.head.header.DataUsed == imageSize;
}
