// bayercam stream: the driver's main job, as a capture application does it. A simulated camera
// arrives and starts, the filter is opened, settings are made through the property set, the
// pin is created with the format of an intersection, given the clock and run with frames kept
// queued; each frame that arrives is shown and may be written out. Then the pin is stopped and
// closed, the filter closed and the device stopped, which save the settings.
#include <memory>
#include <string>
#include <vector>

#include "tools/camera_session.h"
#include "tools/cli_checks.h"
#include "tools/command.h"
#include "tools/driver_choice.h"
#include "tools/stream_events.h"
#include "tools/stream_job.h"

namespace tool {
namespace {

struct Options {
    long long frames = 90;
    double seconds = 10;
    int buffers = 2;
    bool noClock = false;
    bool unpaced = false;
    bool json = false;
    std::string registry;
    std::string out;
    std::string rawOut;
    std::string contact;
    std::vector<std::string> faults;
    long long unplugAt = 0;
    std::vector<std::string> sets;
    std::vector<std::string> setsAt;
    std::vector<std::string> pauses;
    std::vector<int> roi;
    std::string driver;  // a kernel image to run instead of the built-in driver
};

// Runs one of the event parsers as an option's check, so a malformed value is reported as
// that option's, before anything runs.
template <typename Parse>
CLI::Validator Parses(Parse parse) {
    return CLI::Validator(
        [parse](std::string& text) {
            try {
                parse(text);
            } catch (const CLI::ValidationError& e) {
                return std::string(e.what());
            }
            return std::string();
        },
        "");  // the option's type name already shows the form
}

CLI::Validator PositiveSeconds() {
    return CLI::Validator(
        [](std::string& text) {
            char* end = nullptr;
            double value = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0')
                return "'" + text + "' is not a number of seconds";
            if (!(value > 0 && value <= 86400))
                return text + " is outside (0 - 86400]";
            return std::string();
        },
        "in (0 - 86400]");
}

int Run(const Options& o) {
    StreamRequest r;
    r.frames = o.frames;
    r.seconds = o.seconds;
    r.buffers = o.buffers;
    r.clock = !o.noClock;
    r.paced = !o.unpaced;
    r.json = o.json;
    r.registry = o.registry;
    r.pngDir = o.out;
    r.rawDir = o.rawOut;
    r.contact = o.contact;
    r.faults = FaultSettings(o.faults);
    r.unplugAt = o.unplugAt;
    for (const std::string& text : o.sets)
        r.sets.push_back(ParseSetOption(text));
    if (o.roi.size() == 4) {
        r.roi = true;
        for (int i = 0; i < 4; ++i)
            r.roiRect[i] = o.roi[size_t(i)];
    }
    for (const std::string& text : o.setsAt)
        r.setsAt.push_back(ParseSetAt(text));
    for (const std::string& text : o.pauses)
        r.pauses.push_back(ParsePauseAt(text));
    CheckEventFrames(r.setsAt, r.pauses, r.frames);
    if (!ChooseDriver("stream", o.driver))
        return kExitFailure;
    return RunStream(r);
}

Job Setup(CLI::App& command) {
    auto o = std::make_shared<Options>();
    command.add_option("--frames", o->frames, "frames to receive")
        ->check(IntRange(1, 1000000))
        ->capture_default_str();
    command
        .add_option("--seconds", o->seconds,
                    "give up after this many seconds of streaming (pauses not counted); fewer "
                    "frames than asked is a failure")
        ->check(PositiveSeconds())
        ->capture_default_str();
    command.add_option("--buffers", o->buffers, "frames kept queued on the pin")
        ->check(IntRange(1, 64))
        ->capture_default_str();
    command.add_option("--out", o->out, "write each frame as DIR/NNNNNN.png (its picture number)")
        ->type_name("DIR");
    command
        .add_option("--raw-out", o->rawOut,
                    "write the raw 656 x 494 Bayer frame each image was converted from as "
                    "DIR/NNNNNN.raw (`bayercam convert` turns it back into the image)")
        ->type_name("DIR");
    command
        .add_option("--contact", o->contact,
                    "write a contact sheet of every tenth frame (the 1st, 11th, ...) at a quarter "
                    "size as a PNG")
        ->type_name("FILE");
    command.add_flag("--json", o->json,
                     "print JSON lines: one per frame, one per --set-at or --pause-at, and a "
                     "summary");
    AddDriverOption(command, &o->driver);
    command.add_option(
        "--registry", o->registry,
        "the registry hive that keeps the settings (default " + DefaultRegistryPath() + ")");
    command
        .add_option("--set", o->sets,
                    "set a property through the property set before the pin is created, as "
                    "`bayercam props set NAME=VALUE` (repeatable)")
        ->check(Parses(ParseSetOption))
        ->allow_extra_args(false)
        ->type_name("NAME=VALUE");
    command
        .add_option("--set-at", o->setsAt,
                    "set a property while streaming, once FRAME frames have arrived (repeatable)")
        ->check(Parses(ParseSetAt))
        ->allow_extra_args(false)
        ->type_name("FRAME:NAME=VALUE");
    AddRoiOption(command, &o->roi,
                 "set the region of interest X,Y,W,H through the property set before the pin is "
                 "created (saved like any setting)");
    command.add_flag("--no-clock", o->noClock,
                     "give the pin no master clock: frames carry no presentation time");
    command.add_flag("--unpaced", o->unpaced,
                     "let the camera deliver frames as fast as they are read, not 30 per second");
    AddFaultOption(command, &o->faults);
    command
        .add_option("--unplug-at", o->unplugAt,
                    "unplug the camera once FRAME frames have arrived: the stream ends, the pin "
                    "is stopped and closed and the device removed, as after a surprise removal")
        ->check(IntRange(1, 1000000))
        ->type_name("FRAME");
    command
        .add_option("--pause-at", o->pauses,
                    "once FRAME frames have arrived, PAUSE the pin for MS milliseconds, then RUN "
                    "again (repeatable)")
        ->check(Parses(ParsePauseAt))
        ->allow_extra_args(false)
        ->type_name("FRAME:MS");
    command.footer(
        "The summary gives the frames received, those dropped (gaps in the picture numbers), "
        "the frame rate over the received frames, the CPU time per frame while streaming and "
        "the time from the stop request until the pin is stopped. The CPU time is the whole "
        "process's without the file writing: the driver's work, and also the simulated "
        "camera's rendering of each frame.\n"
        "Exit status: 0 every frame arrived, 1 fewer frames arrived within --seconds or a "
        "request or file failed, 2 the command line was wrong.");
    return [o]() { return Run(*o); };
}

const bool registered = RegisterCommand({
    "stream",
    "capture frames through the pin as an application does, and show or write them",
    Setup,
});

}  // namespace
}  // namespace tool
