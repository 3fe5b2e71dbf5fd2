// The camera behind `bayercam view`: a simulated camera streamed through the driver as an
// application streams it, with its property set open to requests from any thread. Property
// requests go one at a time (the driver does not serialise its camera's command exchanges),
// and a region of interest, which the driver only takes while no pin exists, stops the pin,
// sets the region and creates the pin again with the format that follows it.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/sim_camera.h"
#include "tools/camera_session.h"
#include "tools/frame_hub.h"
#include "tools/live_stream.h"
#include "tools/props_ops.h"
#include "tools/view_controls.h"

namespace tool {

struct ViewOptions {
    std::string registry;
    std::vector<sim::FaultSetting> faults;
    std::string scene;  // empty: the camera's default
    int buffers = 2;
};

// How a request ended, for the server to turn into its status code.
enum class Outcome {
    Done,
    BadRequest,  // malformed value; nothing was sent
    NotFound,    // no such item
    NotAllowed,  // the item cannot be set
    Conflict,    // the camera cannot take it now
    Failed,      // the driver or the pin failed it
};

struct SetResult {
    Outcome outcome = Outcome::Done;
    std::string message;          // one line for a person
    nlohmann::ordered_json body;  // Done and Failed: the control's state afterwards
};

class ViewCamera {
public:
    // Each change made, as a JSON event and as a line of text; called from the requesting
    // thread, one change at a time.
    using EventSink = std::function<void(const nlohmann::ordered_json& event, const std::string&)>;

    // Null with the reason when the camera did not arrive, start or open. The stream is
    // started; when its pin cannot run, the camera is still served and Status says why.
    static std::unique_ptr<ViewCamera> Open(const ViewOptions& options, EventSink sink,
                                            std::string* error);
    ~ViewCamera();

    // {"controls": [...]}: every control's state (ControlState).
    nlohmann::ordered_json Controls();
    // Sets the item named `name` (any case, or its number) from `value`, written as for
    // `bayercam props set NAME=VALUE`; null for Reinitialize, which takes none.
    SetResult Set(const std::string& name, const std::string* value);
    // The stream's counts (LiveStatus) as JSON.
    nlohmann::ordered_json Status();
    FrameHub& Hub() { return hub_; }

    // Stops and closes the pin, closes the filter and stops and removes the device, which
    // saves the settings. False with the reasons when any of it failed or the stream had
    // stopped with an error.
    bool Close(std::string* error);
    StreamSummary Summary() const { return stream_.Summary(); }

private:
    ViewCamera(std::unique_ptr<CameraSession> session, EventSink sink, int buffers);
    SetResult SetRegion(const PropsOp& op, const std::string& text);
    SetResult Reinitialize();
    nlohmann::ordered_json StateOf(const Control& control);
    void Tell(const nlohmann::ordered_json& event, const std::string& text);

    std::mutex mutex_;  // one property request, and one pin start or stop, at a time
    std::unique_ptr<CameraSession> session_;
    EventSink sink_;
    FrameHub hub_;
    LiveStream stream_;
    std::vector<Control> controls_;
    std::string startError_;  // why the pin did not run at the last (re)start
    bool closed_ = false;
};

}  // namespace tool
