// The simulated camera's internal device-control dispatch: the USB bus driver's handling of
// URBs and port requests, and the firmware's side of the packets that cross the pipes.
#include <cstring>

#include "platform/host/host_control.h"
#include "sim/camera_state.h"

namespace sim {

namespace {

// How a request ends: inside IofCallDriver, on the bus thread once decided, or parked as a
// read waiting for data.
enum class Ending { kNow, kDecided, kParked };

struct Outcome {
    Ending ending = Ending::kNow;
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
    ULONG moved = 0;
};

Outcome Refuse(NTSTATUS status, USBD_STATUS usbdStatus) {
    return Outcome{Ending::kNow, status, usbdStatus, 0};
}

Outcome Done(NTSTATUS status, USBD_STATUS usbdStatus, ULONG moved) {
    return Outcome{Ending::kDecided, status, usbdStatus, moved};
}

// The buffer a transfer names: its virtual address, else its MDL mapped for the bus driver.
// Null with a length means the request is malformed.
bool TransferBuffer(PVOID buffer, PMDL mdl, ULONG length, PUCHAR* out) {
    *out = static_cast<PUCHAR>(buffer);
    if (!*out && mdl) {
        if (MmGetMdlByteCount(mdl) < length)
            return false;
        *out = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    }
    return *out || length == 0;
}

// The interface descriptor with this number and alternate setting in descriptor bytes, or
// null; its endpoint descriptors follow it.
const uint8_t* FindInterface(const std::vector<uint8_t>& bytes, UCHAR number, UCHAR alternate) {
    for (size_t at = 0; at + 2 <= bytes.size() && bytes[at] != 0; at += bytes[at]) {
        if (bytes[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && bytes[at + 2] == number &&
            bytes[at + 3] == alternate) {
            return &bytes[at];
        }
    }
    return nullptr;
}

USBD_PIPE_TYPE PipeTypeOf(UCHAR attributes) {
    switch (attributes & USB_ENDPOINT_TYPE_MASK) {
        case USB_ENDPOINT_TYPE_CONTROL:
            return UsbdPipeTypeControl;
        case USB_ENDPOINT_TYPE_ISOCHRONOUS:
            return UsbdPipeTypeIsochronous;
        case USB_ENDPOINT_TYPE_BULK:
            return UsbdPipeTypeBulk;
        default:
            return UsbdPipeTypeInterrupt;
    }
}

bool IsPipe(const Pipe* pipe, int index) {
    return pipe && pipe->interfacePosition == 0 && pipe->index == index;
}

// Commands that queue replies: the reply faults are drawn for each.
bool IsQuery(uint8_t code) {
    return code == 0x26 || code == 0x29 || code == 0x41;
}

}  // namespace

// ---- Requests, decided under the camera's lock ---------------------------------------

namespace {

struct Request {
    Camera::State* s;
    PIRP irp;
    PURB urb;
    size_t record;
    std::vector<Completion>* ended;  // other requests this one ends, completed before it

    Transfer& T() { return *s->RecordAt(record); }

    Outcome Descriptor() {
        auto& d = urb->UrbControlDescriptorRequest;
        if (urb->UrbHeader.Length < sizeof(d)) {
            return Refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        }
        T().in = true;
        T().asked = d.TransferBufferLength;
        T().descriptorType = d.DescriptorType;
        T().descriptorIndex = d.Index;
        if (s->Fault(Fault::PortDisabled)) {
            return Refuse(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
        }
        PUCHAR buffer;
        if (!TransferBuffer(d.TransferBuffer, d.TransferBufferMDL, d.TransferBufferLength,
                            &buffer)) {
            return Refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        }
        std::vector<uint8_t> bytes;
        if (d.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE && d.Index == 0 &&
            !s->Fault(Fault::DeviceDescriptorError)) {
            bytes = DeviceDescriptorBytes();
        } else if (d.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && d.Index == 0) {
            bytes = ConfigurationDescriptorBytes(s->Shape());
        } else {
            // The device stalls a request for a descriptor it does not have.
            d.TransferBufferLength = 0;
            return Done(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0);
        }
        ULONG moved = ULONG(std::min<size_t>(d.TransferBufferLength, bytes.size()));
        memcpy(buffer, bytes.data(), moved);
        d.TransferBufferLength = moved;
        T().bytes.assign(bytes.begin(), bytes.begin() + moved);
        return Done(STATUS_SUCCESS, USBD_STATUS_SUCCESS, moved);
    }

    Outcome SelectConfiguration() {
        auto& select = urb->UrbSelectConfiguration;
        const size_t fixed = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
        if (urb->UrbHeader.Length < fixed) {
            return Refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        }
        if (s->Fault(Fault::PortDisabled)) {
            return Refuse(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
        }
        // Whatever was in flight on the old configuration's pipes ends with it.
        s->TakeReads(nullptr, STATUS_CANCELLED, USBD_STATUS_CANCELED, ended);
        s->StreamOff();
        if (!select.ConfigurationDescriptor) {
            s->configured = false;
            s->pipeCount = 0;
            return Done(STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0);
        }
        if (select.ConfigurationDescriptor->bConfigurationValue != kConfigurationValue) {
            return Refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
        }
        std::vector<uint8_t> bytes = ConfigurationDescriptorBytes(s->Shape());
        Pipe pipes[kMaxPipes];
        int pipeCount = 0;
        int position = 0;
        const size_t fixedInfo = GET_USBD_INTERFACE_SIZE(0);
        for (size_t at = fixed; at + fixedInfo <= urb->UrbHeader.Length; ++position) {
            auto* info =
                reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(urb) + at);
            if (info->Length < fixedInfo || at + info->Length > urb->UrbHeader.Length) {
                return Refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
            }
            const uint8_t* d = FindInterface(bytes, info->InterfaceNumber, info->AlternateSetting);
            if (!d)
                return Refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INTERFACE_NOT_FOUND);
            UCHAR endpoints = d[4];
            if (info->Length < GET_USBD_INTERFACE_SIZE(endpoints)) {
                return Refuse(STATUS_BUFFER_TOO_SMALL, USBD_STATUS_BUFFER_TOO_SMALL);
            }
            if (pipeCount + endpoints > kMaxPipes || position >= 2) {
                return Refuse(STATUS_INSUFFICIENT_RESOURCES, USBD_STATUS_INSUFFICIENT_RESOURCES);
            }
            info->Class = d[5];
            info->SubClass = d[6];
            info->Protocol = d[7];
            info->InterfaceHandle = &s->interfaceHandles[position];
            info->NumberOfPipes = endpoints;
            const uint8_t* e = d + d[0];
            for (UCHAR j = 0; j < endpoints; ++j, e += e[0]) {
                Pipe& pipe = pipes[pipeCount];
                pipe.interfaceNumber = info->InterfaceNumber;
                pipe.interfacePosition = position;
                pipe.index = j;
                pipe.endpointAddress = e[2];
                pipe.type = PipeTypeOf(e[3]);
                pipe.maximumPacketSize = USHORT(e[4] | e[5] << 8);
                pipe.interval = e[6];
                USBD_PIPE_INFORMATION& out = info->Pipes[j];
                out.MaximumPacketSize = pipe.maximumPacketSize;
                out.EndpointAddress = pipe.endpointAddress;
                out.Interval = pipe.interval;
                out.PipeType = pipe.type;
                out.PipeHandle = &s->pipes[pipeCount];
                ++pipeCount;
            }
            at += info->Length;
        }
        for (int i = 0; i < pipeCount; ++i)
            s->pipes[i] = pipes[i];
        s->pipeCount = pipeCount;
        s->configured = true;
        select.ConfigurationHandle = &s->configurationHandle;
        return Done(STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0);
    }

    Pipe* NamedPipe(USBD_PIPE_HANDLE handle) {
        Pipe* pipe = s->FindPipe(handle);
        if (pipe) {
            T().interfaceNumber = pipe->interfaceNumber;
            T().pipe = pipe->index;
            T().endpointAddress = pipe->endpointAddress;
            T().in = USB_ENDPOINT_DIRECTION_IN(pipe->endpointAddress) != 0;
        }
        return pipe;
    }

    Outcome Bulk() {
        auto& bulk = urb->UrbBulkOrInterruptTransfer;
        if (urb->UrbHeader.Length < sizeof(bulk)) {
            return Refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        }
        T().transferFlags = bulk.TransferFlags;
        T().asked = bulk.TransferBufferLength;
        Pipe* pipe = NamedPipe(bulk.PipeHandle);
        if (!pipe)
            return Refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
        if (s->Fault(Fault::PortDisabled)) {
            return Refuse(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
        }
        if (IsPipe(pipe, 2))
            s->DrawFrameFaults();
        bool stalled = IsPipe(pipe, 2) && s->Fault(Fault::StalledPipe) &&
                       s->faultModes[int(Fault::StalledPipe)] == FaultMode::kForGood;
        if (s->Halted(pipe) || stalled)
            return Refuse(STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED);
        PUCHAR buffer;
        if (!TransferBuffer(bulk.TransferBuffer, bulk.TransferBufferMDL, bulk.TransferBufferLength,
                            &buffer)) {
            return Refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        }
        if (USB_ENDPOINT_DIRECTION_OUT(pipe->endpointAddress))
            return Out(pipe, buffer);

        if (IsPipe(pipe, 2)) {
            bool refuse = s->framePipeSubmissions++ == s->faultChunk;
            if (refuse && s->Fault(Fault::ChunkRefused)) {
                bulk.TransferBufferLength = 0;
                return Refuse(STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_BUSY);
            }
        }
        if (IsPipe(pipe, 1) && !s->firmware.replies.empty() && s->PendingReplyReads() == 0) {
            Outcome outcome{Ending::kDecided, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0};
            s->ApplyReply(urb, buffer, record, &outcome.status, &outcome.usbdStatus,
                          &outcome.moved);
            if (!NT_SUCCESS(outcome.status))
                s->Halt(pipe, ended);
            return outcome;
        }
        s->PendRead(irp, urb, pipe, buffer, record, ended);
        return Outcome{Ending::kParked, STATUS_PENDING, USBD_STATUS_PENDING, 0};
    }

    Outcome Out(Pipe* pipe, PUCHAR buffer) {
        auto& bulk = urb->UrbBulkOrInterruptTransfer;
        ULONG moved = bulk.TransferBufferLength;
        bool commands = IsPipe(pipe, 0);
        if (commands)
            s->Draw(Fault::ShortSend);
        if (commands && s->Fault(Fault::ShortSend))
            moved = std::min<ULONG>(moved, kPacketSize / 2);
        if (commands || IsPipe(pipe, 1))
            T().bytes.assign(buffer, buffer + moved);
        if (commands && !s->Fault(Fault::ShortSend)) {
            // Every whole 64-byte packet is one command; a trailing part is not.
            for (ULONG at = 0; at + kPacketSize <= moved; at += kPacketSize) {
                if (IsQuery(buffer[at])) {
                    s->Draw(Fault::LostReply);
                    s->Draw(Fault::ShortReply);
                }
                StreamEvent event = s->firmware.Execute(buffer + at, s->Fault(Fault::LostReply),
                                                        s->Fault(Fault::ShortReply));
                if (event == StreamEvent::kOn)
                    s->StreamOn();
                if (event == StreamEvent::kOff)
                    s->StreamOff();
            }
            s->ServeReplies();
        }
        bulk.TransferBufferLength = moved;
        return Done(STATUS_SUCCESS, USBD_STATUS_SUCCESS, moved);
    }

    Outcome PipeRequest() {
        auto& request = urb->UrbPipeRequest;
        if (urb->UrbHeader.Length < sizeof(request)) {
            return Refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        }
        Pipe* pipe = NamedPipe(request.PipeHandle);
        if (!pipe)
            return Refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
        if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
            if (s->Chaos(2)) {
                // The abort completes first; the reads it ended follow on the bus thread.
                std::vector<Completion> later;
                s->TakeReads(pipe, STATUS_CANCELLED, USBD_STATUS_CANCELED, &later);
                s->completions.insert(s->completions.end(), later.begin(), later.end());
                s->WakeBus();
                return Refuse(STATUS_SUCCESS, USBD_STATUS_SUCCESS);
            }
            s->TakeReads(pipe, STATUS_CANCELLED, USBD_STATUS_CANCELED, ended);
            return Done(STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0);
        }
        // Reset: clears a halt (and the stall fault with it). A host controller will not
        // reset an endpoint that still has transfers queued.
        if (s->Fault(Fault::PortDisabled)) {
            return Refuse(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
        }
        if (s->PendingOn(pipe) > 0)
            return Refuse(STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_BUSY);
        s->halted[pipe - s->pipes] = false;
        if (IsPipe(pipe, 2) && s->faultModes[int(Fault::StalledPipe)] == FaultMode::kForGood)
            s->faults[int(Fault::StalledPipe)] = false;
        return Done(STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0);
    }

    Outcome Decide() {
        if (s->unplugged)
            return Refuse(STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
        if (s->Fault(Fault::PortDisconnected)) {
            return Refuse(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
        }
        switch (urb->UrbHeader.Function) {
            case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
                return Descriptor();
            case URB_FUNCTION_SELECT_CONFIGURATION:
                return SelectConfiguration();
            case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
                return Bulk();
            case URB_FUNCTION_ABORT_PIPE:
            case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
            case URB_FUNCTION_SYNC_RESET_PIPE:
            case URB_FUNCTION_SYNC_CLEAR_STALL:
                return PipeRequest();
            default:
                return Refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION);
        }
    }
};

}  // namespace

// ---- Dispatch ----------------------------------------------------------------------------

NTSTATUS Camera::State::SubmitUrb(PIRP irp, PURB urb) {
    int64_t start = options.timeWork ? NowNs() : 0;
    std::vector<Completion> ended;
    std::vector<Completion> delivered;  // frame reads filled inline, completed after this one
    Outcome outcome;
    size_t record;
    bool wakeBus;
    {
        std::unique_lock<std::mutex> g(lock);
        Transfer t;
        t.ioControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        if (urb) {
            t.function = urb->UrbHeader.Function;
            t.urbLength = urb->UrbHeader.Length;
        }
        record = Record(t);
        if (!urb) {
            outcome = Refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        } else {
            Request request{this, irp, urb, record, &ended};
            outcome = request.Decide();
            if (outcome.ending != Ending::kParked)
                urb->UrbHeader.Status = outcome.usbdStatus;
        }
        if (outcome.ending != Ending::kParked) {
            Finish(record, outcome.status, outcome.usbdStatus, outcome.moved);
            bool now = outcome.ending == Ending::kNow || options.synchronousCompletion;
            RecordAt(record)->synchronous = now;
            if (!now) {
                IoMarkIrpPending(irp);
                completions.push_back(Completion{irp, outcome.status, record});
                WakeBus();
            }
            if (now)
                outcome.ending = Ending::kNow;
        }
        if (InlineFrames()) {
            if (frameDue)
                BeginFrame(g);
            if (frameActive)
                FillFrameReads(&delivered);
        }
        wakeBus = TakeWake();
    }
    if (wakeBus)
        wake.notify_all();
    if (options.timeWork) {
        requestNs.fetch_add(NowNs() - start, std::memory_order_relaxed);
        requestCount.fetch_add(1, std::memory_order_relaxed);
    }
    CompleteAll(&ended);
    NTSTATUS status = STATUS_PENDING;
    if (outcome.ending == Ending::kNow)
        status = CompleteNow(irp, outcome.status);
    CompleteAll(&delivered);
    return status;
}

NTSTATUS Camera::State::Dispatch(PIRP irp) {
    ChaosDelay();
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        return SubmitUrb(irp, static_cast<PURB>(sp->Parameters.Others.Argument1));
    }
    int64_t start = options.timeWork ? NowNs() : 0;
    std::vector<Completion> ended;
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    USBD_STATUS usbdStatus = USBD_STATUS_NOT_SUPPORTED;
    {
        std::lock_guard<std::mutex> g(lock);
        Transfer t;
        t.ioControlCode = code;
        size_t record = Record(t);
        if (unplugged) {
            status = STATUS_NO_SUCH_DEVICE;
            usbdStatus = USBD_STATUS_DEVICE_GONE;
        } else if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
            auto* word = static_cast<PULONG>(sp->Parameters.Others.Argument1);
            if (!word) {
                status = STATUS_INVALID_PARAMETER;
            } else {
                *word = PortStatusLocked();
                RecordAt(record)->portStatus = *word;
                status = STATUS_SUCCESS;
            }
        } else if (code == IOCTL_INTERNAL_USB_RESET_PORT) {
            if (Fault(Fault::PortDisconnected)) {
                status = STATUS_DEVICE_NOT_CONNECTED;
            } else if (PendingOn(nullptr) > 0) {
                // The hub resets no port while transfers to its device are pending.
                status = STATUS_UNSUCCESSFUL;
                usbdStatus = USBD_STATUS_ERROR_BUSY;
            } else {
                // A port reset resets the device: the stream stops, every halt clears, the
                // port is enabled again; the configuration is restored by the hub.
                StreamOff();
                for (bool& h : halted)
                    h = false;
                faults[int(Fault::PortDisabled)] = false;
                status = STATUS_SUCCESS;
            }
        }
        Finish(record, status, NT_SUCCESS(status) ? USBD_STATUS_SUCCESS : usbdStatus, 0);
        RecordAt(record)->synchronous = true;
    }
    if (options.timeWork) {
        requestNs.fetch_add(NowNs() - start, std::memory_order_relaxed);
        requestCount.fetch_add(1, std::memory_order_relaxed);
    }
    CompleteAll(&ended);
    return CompleteNow(irp, status);
}

}  // namespace sim
