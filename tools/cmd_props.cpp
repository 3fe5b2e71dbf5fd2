// bayercam props: an application's session with the camera's property set. A simulated camera
// arrives and starts (loading the settings stored in the registry hive), the capture filter is
// opened, the operations run in order as IOCTL_KS_PROPERTY requests, and the filter's close
// and the device's stop save the settings back into the hive.
#include <cstdio>
#include <memory>

#include "sim/sim_camera.h"
#include "tools/camera_session.h"
#include "tools/cli_checks.h"
#include "tools/command.h"
#include "tools/driver_choice.h"
#include "tools/json_lines.h"
#include "tools/property_requests.h"
#include "tools/props_ops.h"
#include "tools/status_text.h"
#include "tools/trace_print.h"

namespace tool {
namespace {

using nlohmann::ordered_json;

struct Options {
    std::string registry;
    std::vector<std::string> faults;
    bool json = false;
    bool trace = false;
    std::vector<std::string> words;
    std::string driver;  // a kernel image to run instead of the built-in driver
};

std::string HexBytes(const std::vector<uint8_t>& bytes) {
    std::string out;
    char b[4];
    for (uint8_t v : bytes) {
        std::snprintf(b, sizeof(b), "%02x", v);
        out += b;
    }
    return out;
}

class Props {
public:
    Props(CameraSession* session, const Options& o) : s_(session), o_(o) {}

    // Whether the operation's requests succeeded.
    bool Run(const PropsOp& op) {
        switch (op.kind) {
            case OpKind::List:
                List();
                return true;
            case OpKind::Get:
                return Get(op.id);
            case OpKind::Set:
                return Set(op);
            case OpKind::Reinit:
                return Reinit();
        }
        return false;
    }

private:
    ordered_json Event(const char* op, ULONG id, NTSTATUS status) {
        ordered_json e = {{"op", op}, {"id", id}, {"name", PropertyName(id)}};
        SetStatus(e, "status", status);
        return e;
    }

    NTSTATUS GetValue(ULONG id, LONG* value, LONG* second, CameraRawValue* raw = nullptr) {
        return GetPropertyRecord(s_, id, value, second, raw);
    }

    std::string RangeText(ULONG id) {
        ULONG first = 0;
        if (!RangeItemsOf(id, &first))
            return "";
        LONG v[3], second = 0;
        for (ULONG i = 0; i < 3; ++i) {
            if (!NT_SUCCESS(GetValue(first + i, &v[i], &second)))
                return "";
        }
        char text[64];
        std::snprintf(text, sizeof(text), "min=%d max=%d default=%d", v[0], v[1], v[2]);
        return text;
    }

    void List() {
        if (!o_.json)
            std::printf("%3s  %-18s %-7s %4s  %s\n", "id", "name", "access", "size", "value");
        for (ULONG id = 0; id < kCameraPropertyCount; ++id) {
            ULONG access = PropertyAccess(s_, id);
            bool get = access & KSPROPERTY_TYPE_GET, set = access & KSPROPERTY_TYPE_SET;
            ULONG size = RecordSize(PropertyRecord(id));
            LONG value = 0, second = 0;
            NTSTATUS status = get ? GetValue(id, &value, &second) : STATUS_SUCCESS;
            if (o_.json) {
                ordered_json e = {{"op", "list"}, {"id", id},   {"name", PropertyName(id)},
                                  {"get", get},   {"set", set}, {"size", size}};
                if (get) {
                    SetStatus(e, "status", status);
                    e["value"] = value;
                    e["second"] = second;
                }
                PrintJsonLine(e);
                continue;
            }
            std::string shown = !get                 ? "-"
                                : NT_SUCCESS(status) ? std::to_string(value)
                                                     : "(" + StatusText(status) + ")";
            std::string range = RangeText(id);
            char row[160];
            std::snprintf(row, sizeof(row), "%3u  %-18s %-7s %4u  %-8s  %s", unsigned(id),
                          PropertyName(id),
                          get && set ? "get/set"
                          : get      ? "get"
                          : set      ? "set"
                                     : "-",
                          unsigned(size), shown.c_str(), range.c_str());
            std::string line = row;
            line.erase(line.find_last_not_of(' ') + 1);
            std::printf("%s\n", line.c_str());
        }
    }

    bool Get(ULONG id) {
        LONG value = 0, second = 0;
        CameraRawValue raw{};
        NTSTATUS status = GetValue(id, &value, &second, &raw);
        if (o_.json) {
            ordered_json e = Event("get", id, status);
            e["value"] = value;
            e["second"] = second;
            if (id == PropReadByte)
                e["byte"] = raw.Bytes[0];
            PrintJsonLine(e);
        } else if (!NT_SUCCESS(status)) {
            std::printf("%-18s (%s)\n", PropertyName(id), StatusText(status).c_str());
        } else if (id == PropReadByte) {
            std::printf("%-18s 0x%02x at address 0x%04x\n", PropertyName(id), raw.Bytes[0],
                        unsigned(raw.Value));
        } else {
            std::string line = PropertyName(id);
            line.resize(19, ' ');
            line += std::to_string(value);
            std::string range = RangeText(id);
            if (!range.empty())
                line += "  (" + range + ")";
            std::printf("%s\n", line.c_str());
        }
        return NT_SUCCESS(status);
    }

    bool Set(const PropsOp& op) {
        NTSTATUS status = SetProperty(s_, op);
        ordered_json e = Event("set", op.id, status);
        std::string shown;
        if (op.id == PropRoi) {
            e["x"] = op.roi[0];
            e["y"] = op.roi[1];
            e["width"] = op.roi[2];
            e["height"] = op.roi[3];
            shown = std::to_string(op.roi[0]) + "," + std::to_string(op.roi[1]) + "," +
                    std::to_string(op.roi[2]) + "," + std::to_string(op.roi[3]);
        } else if (op.id == PropRawCommand) {
            e["bytes"] = HexBytes(op.bytes);
            e["length"] = op.length;
            shown = HexBytes(op.bytes) + "/" + std::to_string(op.length);
        } else if (PropertyRecord(op.id) == Record::Raw) {
            e["value"] = op.value;
            shown = std::to_string(op.value);
        } else {
            e["value"] = op.value;
            e["second"] = op.second;
            shown = std::to_string(op.value);
            if (op.id == PropSensorRegister)
                shown += "," + std::to_string(op.second);
        }
        if (o_.json)
            PrintJsonLine(e);
        else
            std::printf("%-18s <- %s: %s\n", PropertyName(op.id), shown.c_str(),
                        NT_SUCCESS(status) ? "ok" : StatusText(status).c_str());
        return NT_SUCCESS(status);
    }

    bool Reinit() {
        CameraPropertyValue v{};
        ULONG returned = 0;
        NTSTATUS status =
            s_->CameraProperty(PropReinitialize, KSPROPERTY_TYPE_SET, &v, sizeof(v), &returned);
        if (o_.json)
            PrintJsonLine(Event("reinit", PropReinitialize, status));
        else
            std::printf("%-18s camera reset, settings reloaded: %s\n", "Reinitialize",
                        NT_SUCCESS(status) ? "ok" : StatusText(status).c_str());
        return NT_SUCCESS(status);
    }

    CameraSession* s_;
    const Options& o_;
};

int Run(const Options& o) {
    std::vector<PropsOp> ops = ParsePropsOps(o.words);
    if (!ChooseDriver("props", o.driver))
        return kExitFailure;
    SessionOptions options;
    options.registry = o.registry;
    options.faults = FaultSettings(o.faults);
    std::string error;
    std::unique_ptr<CameraSession> session = CameraSession::Open(options, &error);
    if (!session) {
        std::fprintf(stderr, "bayercam props: %s\n", error.c_str());
        return kExitFailure;
    }
    TraceMonitor monitor(&session->Camera(), o.json);
    auto trace = [&] {
        if (o.trace)
            monitor.PrintRequests();
    };
    if (o.trace)
        monitor.PrintHeader();
    trace();
    if (!NT_SUCCESS(session->StartStatus()) || !session->FilterOpen()) {
        NTSTATUS status =
            !NT_SUCCESS(session->StartStatus()) ? session->StartStatus() : session->FilterStatus();
        std::fprintf(stderr, "bayercam props: the camera %s: %s\n",
                     NT_SUCCESS(session->StartStatus()) ? "filter did not open" : "did not start",
                     StatusText(status).c_str());
        session->Close(&error);
        return kExitFailure;
    }

    bool ok = true;
    Props props(session.get(), o);
    for (const PropsOp& op : ops) {
        ok = props.Run(op) && ok;
        trace();
    }
    session->Stop();
    trace();
    if (!session->Close(&error)) {
        std::fprintf(stderr, "bayercam props: the settings were not saved: %s\n", error.c_str());
        return kExitFailure;
    }
    return ok ? kExitSuccess : kExitFailure;
}

Job Setup(CLI::App& command) {
    auto o = std::make_shared<Options>();
    command.add_option(
        "--registry", o->registry,
        "the registry hive that keeps the settings (default " + DefaultRegistryPath() + ")");
    AddFaultOption(command, &o->faults);
    command.add_flag("--json", o->json, "print JSON lines, one per operation and item");
    command.add_flag("--trace", o->trace, "also show every USB request of the run");
    AddDriverOption(command, &o->driver);
    command.add_option("operations", o->words,
                       "list | get NAME|ID... | set NAME=VALUE[,SECOND]... | set Roi=X,Y,W,H | "
                       "set RawCommand=HEX[/LENGTH] | set ReadByte=ADDRESS | reinit "
                       "(default: list)");
    return [o]() { return Run(*o); };
}

const bool registered = RegisterCommand({
    "props",
    "read and change the camera's settings through its property set; they persist in the "
    "registry",
    Setup,
});

}  // namespace
}  // namespace tool
