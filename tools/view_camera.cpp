#include "tools/view_camera.h"

#include <CLI/CLI.hpp>

#include "tools/json_lines.h"
#include "tools/property_names.h"
#include "tools/property_requests.h"
#include "tools/props_ops.h"
#include "tools/status_text.h"

namespace tool {
namespace {

using nlohmann::ordered_json;

SetResult Refused(Outcome outcome, const std::string& message) {
    SetResult r;
    r.outcome = outcome;
    r.message = message;
    return r;
}

std::string RegionText(const LONG* roi) {
    return std::to_string(roi[0]) + "," + std::to_string(roi[1]) + "," + std::to_string(roi[2]) +
           "," + std::to_string(roi[3]);
}

}  // namespace

ViewCamera::ViewCamera(std::unique_ptr<CameraSession> session, EventSink sink, int buffers)
    : session_(std::move(session)),
      sink_(std::move(sink)),
      stream_(session_.get(), &hub_, buffers) {}

std::unique_ptr<ViewCamera> ViewCamera::Open(const ViewOptions& options, EventSink sink,
                                             std::string* error) {
    SessionOptions s;
    s.registry = options.registry;
    s.faults = options.faults;
    s.paced = true;
    s.moving = true;
    s.scene = options.scene;
    std::unique_ptr<CameraSession> session = CameraSession::Open(s, error);
    if (!session)
        return nullptr;
    if (!NT_SUCCESS(session->StartStatus())) {
        *error = "the camera did not start: " + StatusText(session->StartStatus());
        return nullptr;
    }
    if (!session->FilterOpen()) {
        *error = "the capture filter did not open: " + StatusText(session->FilterStatus());
        return nullptr;
    }
    std::unique_ptr<ViewCamera> camera(
        new ViewCamera(std::move(session), std::move(sink), options.buffers));
    camera->controls_ = FindControls(camera->session_.get());
    if (!camera->stream_.Start(&camera->startError_))
        camera->startError_ = "the pin did not start: " + camera->startError_;
    return camera;
}

ViewCamera::~ViewCamera() {
    std::string ignored;
    Close(&ignored);
}

void ViewCamera::Tell(const ordered_json& event, const std::string& text) {
    if (sink_)
        sink_(event, text);
}

ordered_json ViewCamera::StateOf(const Control& control) {
    ordered_json j = ControlState(session_.get(), control);
    if (control.kind == ControlKind::Region) {
        // The region has no get: what follows it is the size of the image the pin delivers.
        LiveStatus s = stream_.Status();
        j["imageWidth"] = s.width;
        j["imageHeight"] = s.height;
    }
    return j;
}

ordered_json ViewCamera::Controls() {
    std::lock_guard<std::mutex> lock(mutex_);
    ordered_json list = ordered_json::array();
    if (!closed_) {
        for (const Control& c : controls_)
            list.push_back(StateOf(c));
    }
    return {{"controls", list}};
}

SetResult ViewCamera::Set(const std::string& name, const std::string* value) {
    ULONG id = 0;
    if (!PropertyFromText(name, &id))
        return Refused(Outcome::NotFound, "no property '" + name + "'");
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return Refused(Outcome::Conflict, "the camera is closing");
    const Control* control = nullptr;
    for (const Control& c : controls_) {
        if (c.id == id)
            control = &c;
    }
    std::string canonical = PropertyName(id);
    if (!control)
        return Refused(Outcome::NotAllowed, canonical + " cannot be set");
    if (control->kind == ControlKind::Button) {
        if (value)
            return Refused(Outcome::BadRequest, canonical + " takes no value");
        return Reinitialize();
    }
    if (!value)
        return Refused(Outcome::BadRequest, canonical + " needs a value");
    PropsOp op;
    try {
        // The same text, parsed by the same code, as `bayercam props set NAME=VALUE`.
        op = ParsePropsOps({"set", canonical + "=" + *value}).at(0);
    } catch (const CLI::ValidationError& e) {
        return Refused(Outcome::BadRequest, e.what());
    }
    if (id == PropRoi)
        return SetRegion(op, *value);

    NTSTATUS status = SetProperty(session_.get(), op);
    SetResult r;
    r.body = StateOf(*control);
    SetStatus(r.body, "setStatus", status);
    std::string reads;
    if (id == PropReadByte && r.body.contains("byte"))
        reads = ", reads byte " + r.body["byte"].dump();
    else if (r.body.contains("value"))
        reads = ", reads " + r.body["value"].dump();
    else if (control->readable)
        reads = ", a get of it fails";
    if (NT_SUCCESS(status)) {
        r.message = canonical + " <- " + *value + ": ok" + reads;
    } else {
        r.outcome = Outcome::Failed;
        r.message = canonical + " <- " + *value + ": the driver answered " + StatusText(status);
    }
    r.body["message"] = r.message;
    ordered_json event = {{"event", "set"}, {"name", canonical}, {"sent", *value}};
    SetStatus(event, "status", status);
    if (r.body.contains("value"))
        event["reads"] = r.body["value"];
    Tell(event, r.message);
    return r;
}

SetResult ViewCamera::Reinitialize() {
    CameraPropertyValue v{};
    ULONG returned = 0;
    NTSTATUS status =
        session_->CameraProperty(PropReinitialize, KSPROPERTY_TYPE_SET, &v, sizeof(v), &returned);
    SetResult r;
    r.outcome = NT_SUCCESS(status) ? Outcome::Done : Outcome::Failed;
    r.message = NT_SUCCESS(status) ? "Reinitialize: camera reset, stored settings reloaded"
                                   : "Reinitialize: the driver answered " + StatusText(status);
    r.body = {{"name", "Reinitialize"}};
    SetStatus(r.body, "setStatus", status);
    r.body["message"] = r.message;
    ordered_json event = {{"event", "reinit"}};
    SetStatus(event, "status", status);
    Tell(event, r.message);
    return r;
}

SetResult ViewCamera::SetRegion(const PropsOp& op, const std::string& text) {
    // The driver ignores a region while a pin exists (and says success): the pin goes first,
    // and whether it is gone is asked rather than assumed.
    std::string error;
    if (!stream_.Stop(&error))
        return Refused(Outcome::Failed, "Roi: the pin did not stop: " + error);
    LONG pinOpen = 0, second = 0;
    NTSTATUS status = GetPropertyValue(session_.get(), PropPinOpen, &pinOpen, &second);
    SetResult r;
    if (!NT_SUCCESS(status) || pinOpen != 0) {
        r.outcome = Outcome::Conflict;
        r.message = "Roi: a capture pin is still open, so the region cannot change";
        status = STATUS_INVALID_DEVICE_STATE;
    } else {
        status = SetProperty(session_.get(), op);
        if (!NT_SUCCESS(status)) {
            r.outcome = Outcome::Failed;
            r.message = "Roi <- " + text + ": the driver answered " + StatusText(status);
        }
    }
    startError_.clear();
    bool restarted = stream_.Start(&startError_);
    if (!restarted)
        startError_ = "the pin did not start: " + startError_;
    LiveStatus s = stream_.Status();
    if (r.outcome == Outcome::Done && !restarted) {
        r.outcome = Outcome::Failed;
        r.message = "Roi <- " + text + ": the region was set, but " + startError_;
    } else if (r.outcome == Outcome::Done) {
        r.message = "Roi <- " + text + ": the pin was stopped, the region set and the pin " +
                    "created again; the image is now " + std::to_string(s.width) + " x " +
                    std::to_string(s.height);
    } else if (!restarted) {
        r.message += "; and " + startError_;
    }
    for (const Control& c : controls_) {
        if (c.id == PropRoi)
            r.body = StateOf(c);
    }
    SetStatus(r.body, "setStatus", status);
    r.body["sent"] = RegionText(op.roi);
    r.body["restarted"] = restarted;
    r.body["message"] = r.message;
    ordered_json event = {{"event", "roi"}, {"sent", RegionText(op.roi)}};
    SetStatus(event, "status", status);
    event["restarted"] = restarted;
    event["width"] = s.width;
    event["height"] = s.height;
    Tell(event, r.message);
    return r;
}

ordered_json ViewCamera::Status() {
    LiveStatus s = stream_.Status();
    ordered_json j = {{"streaming", s.streaming},
                      {"frames", s.frames},
                      {"dropped", s.dropped},
                      {"empty", s.empty},
                      {"fps", s.fps},
                      {"cpuPerFrameUs", s.cpuPerFrameUs},
                      {"pictureNumber", s.pictureNumber},
                      {"width", s.width},
                      {"height", s.height}};
    std::lock_guard<std::mutex> lock(mutex_);
    std::string error = s.error.empty() ? startError_ : s.error;
    if (!s.streaming && !error.empty())
        j["error"] = error;
    return j;
}

bool ViewCamera::Close(std::string* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return true;
    closed_ = true;
    hub_.Close();
    std::string broke = stream_.Status().error;
    if (broke.empty())
        broke = startError_;
    bool ok = broke.empty();
    if (!ok)
        *error = "the stream had stopped: " + broke;
    std::string problem;
    if (!stream_.Stop(&problem)) {
        *error += (error->empty() ? "" : "; ") + problem;
        ok = false;
    }
    if (!session_->Close(&problem)) {
        *error += (error->empty() ? "" : "; ") + ("the settings were not saved: " + problem);
        ok = false;
    }
    return ok;
}

}  // namespace tool
