#include "tests/fuzz/fake_usb_device.h"

#include <cstring>

namespace {

constexpr size_t kSelectFixed = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
constexpr size_t kInterfaceFixed = offsetof(USBD_INTERFACE_INFORMATION, Pipes);

UsbAnswer DecodeAnswer(const UsbQuestion& q, FuzzInput* in) {
    UsbAnswer a;
    a.verdict = in->U8();
    if (a.verdict & 4)
        a.reported = in->U16();
    switch (q.kind) {
        case UsbQuestion::kDescriptor:
        case UsbQuestion::kBulkIn:
            a.bytes = in->Bytes(in->Length());
            break;
        case UsbQuestion::kSelectConfiguration:
            for (ULONG room : q.interfaceRooms) {
                UsbAnswer::Interface i;
                i.pipeCount = in->U8();
                for (ULONG p = 0; p < room && p < i.pipeCount; ++p) {
                    UsbAnswer::Pipe pipe;
                    pipe.type = in->U8();
                    pipe.address = in->U8();
                    pipe.maxPacket = in->U16();
                    pipe.maxTransfer = in->U32();
                    pipe.handle = in->U8();
                    i.pipes.push_back(pipe);
                }
                a.interfaces.push_back(i);
            }
            break;
        case UsbQuestion::kPortStatus:
            a.portStatus = in->U32();
            break;
        default:
            break;
    }
    return a;
}

void EncodeAnswer(const UsbQuestion& q, const UsbAnswer& a, FuzzOutput* out) {
    out->U8(a.verdict);
    if (a.verdict & 4)
        out->U16(a.reported);
    switch (q.kind) {
        case UsbQuestion::kDescriptor:
        case UsbQuestion::kBulkIn:
            out->Length(uint32_t(a.bytes.size()));
            out->Bytes(a.bytes.data(), a.bytes.size());
            break;
        case UsbQuestion::kSelectConfiguration:
            for (size_t i = 0; i < q.interfaceRooms.size(); ++i) {
                const UsbAnswer::Interface& f = a.interfaces.at(i);
                out->U8(f.pipeCount);
                for (const UsbAnswer::Pipe& p : f.pipes) {
                    out->U8(p.type);
                    out->U8(p.address);
                    out->U16(p.maxPacket);
                    out->U32(p.maxTransfer);
                    out->U8(p.handle);
                }
            }
            break;
        case UsbQuestion::kPortStatus:
            out->U32(a.portStatus);
            break;
        default:
            break;
    }
}

// The interface records of a select-configuration request block, as far as its length holds
// whole ones.
std::vector<PUSBD_INTERFACE_INFORMATION> InterfaceRecords(PURB urb) {
    std::vector<PUSBD_INTERFACE_INFORMATION> records;
    size_t length = urb->UrbHeader.Length;
    for (size_t at = kSelectFixed; at + kInterfaceFixed <= length;) {
        auto* info =
            reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(urb) + at);
        if (info->Length < kInterfaceFixed || at + info->Length > length)
            break;
        records.push_back(info);
        at += info->Length;
    }
    return records;
}

}  // namespace

FakeUsbDevice::FakeUsbDevice(FuzzInput* in) : in_(in) {
    driver_.Type = 4;
    driver_.Size = sizeof(DRIVER_OBJECT);
    driver_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
    device_.Type = 3;
    device_.Size = sizeof(DEVICE_OBJECT);
    device_.DriverObject = &driver_;
    device_.StackSize = 1;
    device_.DeviceExtension = this;
}

FakeUsbDevice::FakeUsbDevice(Policy policy, FuzzOutput* out) : FakeUsbDevice(nullptr) {
    policy_ = std::move(policy);
    out_ = out;
}

UsbAnswer FakeUsbDevice::Decide(const UsbQuestion& question) {
    if (in_)
        return DecodeAnswer(question, in_);
    UsbAnswer answer = policy_(question);
    EncodeAnswer(question, answer, out_);
    return answer;
}

NTSTATUS NTAPI FakeUsbDevice::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* self = static_cast<FakeUsbDevice*>(device->DeviceExtension);
    NTSTATUS status = self->Answer(irp);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS FakeUsbDevice::Answer(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0;
    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB: {
            auto* urb = static_cast<PURB>(sp->Parameters.Others.Argument1);
            return urb ? SubmitUrb(urb) : STATUS_INVALID_PARAMETER;
        }
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
            UsbQuestion q;
            q.kind = UsbQuestion::kPortStatus;
            UsbAnswer a = Decide(q);
            if ((a.verdict & 3) == 1)
                return STATUS_UNSUCCESSFUL;
            if (auto* status = static_cast<PULONG>(sp->Parameters.Others.Argument1))
                *status = a.portStatus;
            return STATUS_SUCCESS;
        }
        default: {
            UsbQuestion q;
            return (Decide(q).verdict & 3) == 1 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
        }
    }
}

int FakeUsbDevice::PipeNumber(USBD_PIPE_HANDLE handle) const {
    auto* p = static_cast<const uint8_t*>(handle);
    if (p < handles_ || p >= handles_ + sizeof(handles_))
        return -1;
    return int(p - handles_);
}

NTSTATUS FakeUsbDevice::SubmitUrb(PURB urb) {
    UsbQuestion q;
    PVOID buffer = nullptr;
    ULONG* length = nullptr;
    switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            auto& r = urb->UrbControlDescriptorRequest;
            q.kind = UsbQuestion::kDescriptor;
            q.descriptorType = r.DescriptorType;
            q.asked = r.TransferBufferLength;
            buffer = r.TransferBuffer;
            length = &r.TransferBufferLength;
            break;
        }
        case URB_FUNCTION_SELECT_CONFIGURATION:
            if (urb->UrbSelectConfiguration.ConfigurationDescriptor) {
                q.kind = UsbQuestion::kSelectConfiguration;
                for (PUSBD_INTERFACE_INFORMATION info : InterfaceRecords(urb))
                    q.interfaceRooms.push_back(
                        ULONG((info->Length - kInterfaceFixed) / sizeof(USBD_PIPE_INFORMATION)));
            }
            break;
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
            auto& t = urb->UrbBulkOrInterruptTransfer;
            q.pipe = PipeNumber(t.PipeHandle);
            if (q.pipe < 0 || !t.TransferBuffer) {
                urb->UrbHeader.Status = USBD_STATUS_INVALID_PIPE_HANDLE;
                return STATUS_INVALID_PARAMETER;
            }
            q.kind = (t.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? UsbQuestion::kBulkIn
                                                                    : UsbQuestion::kBulkOut;
            q.asked = t.TransferBufferLength;
            buffer = t.TransferBuffer;
            length = &t.TransferBufferLength;
            if (q.kind == UsbQuestion::kBulkOut) {
                auto* bytes = static_cast<const uint8_t*>(buffer);
                q.sent.assign(bytes, bytes + q.asked);
            }
            break;
        }
        default:
            break;
    }
    UsbAnswer a = Decide(q);
    if ((a.verdict & 3) == 1) {
        urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
        return STATUS_UNSUCCESSFUL;
    }
    urb->UrbHeader.Status = (a.verdict & 3) == 2 ? USBD_STATUS_STALL_PID : USBD_STATUS_SUCCESS;
    if (q.kind == UsbQuestion::kSelectConfiguration)
        SelectConfiguration(urb, a);
    if (length) {
        ULONG moved = q.asked;
        if (q.kind != UsbQuestion::kBulkOut) {
            moved = ULONG(a.bytes.size()) < q.asked ? ULONG(a.bytes.size()) : q.asked;
            if (moved)
                memcpy(buffer, a.bytes.data(), moved);
        }
        *length = (a.verdict & 4) ? a.reported : moved;
    }
    return STATUS_SUCCESS;
}

void FakeUsbDevice::SelectConfiguration(PURB urb, const UsbAnswer& answer) {
    std::vector<PUSBD_INTERFACE_INFORMATION> records = InterfaceRecords(urb);
    for (size_t i = 0; i < records.size() && i < answer.interfaces.size(); ++i) {
        const UsbAnswer::Interface& f = answer.interfaces[i];
        records[i]->NumberOfPipes = f.pipeCount;
        records[i]->InterfaceHandle = &handles_[i];
        for (size_t p = 0; p < f.pipes.size(); ++p) {
            USBD_PIPE_INFORMATION& pipe = records[i]->Pipes[p];
            // Any number, as a misbehaving bus driver could write it, not only the enumerators.
            ULONG type = f.pipes[p].type;
            memcpy(&pipe.PipeType, &type, sizeof(type));
            pipe.EndpointAddress = f.pipes[p].address;
            pipe.MaximumPacketSize = f.pipes[p].maxPacket;
            pipe.MaximumTransferSize = f.pipes[p].maxTransfer;
            pipe.PipeHandle = f.pipes[p].handle ? &handles_[f.pipes[p].handle] : nullptr;
        }
    }
}
