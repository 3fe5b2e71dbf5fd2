// bayercam view: the camera live in a browser. A simulated camera arrives and streams through
// the driver as in `bayercam stream`, and a small web server on the loopback address shows
// the video with one control for each setting of the property set; each change goes to the
// driver as a property request, and the page shows what the driver reads back. Ctrl-C (or
// SIGTERM) stops the pin, closes the filter, which saves the settings, and removes the device.
#include <signal.h>

#include <cctype>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "sim/scene.h"
#include "tools/cli_checks.h"
#include "tools/command.h"
#include "tools/driver_choice.h"
#include "tools/json_lines.h"
#include "tools/view_camera.h"
#include "tools/view_server.h"

namespace tool {
namespace {

constexpr int kDefaultPort = 8656;

struct Options {
    int port = kDefaultPort;
    std::string registry;
    std::string driver;
    std::vector<std::string> faults;
    std::string scene;
    bool json = false;
};

int Fail(const std::string& message) {
    std::fprintf(stderr, "bayercam view: %s\n", message.c_str());
    return kExitFailure;
}

CLI::Validator SceneName() {
    return CLI::Validator(
        [](std::string& text) {
            for (const std::string& name : sim::BuiltInSceneNames()) {
                if (text == name)
                    return std::string();
            }
            std::string lower = text;
            for (char& c : lower)
                c = char(std::tolower(static_cast<unsigned char>(c)));
            if (lower.size() > 4 && lower.compare(lower.size() - 4, 4, ".png") == 0)
                return std::string();
            std::string names;
            for (const std::string& name : sim::BuiltInSceneNames())
                names += (names.empty() ? "" : ", ") + name;
            return "'" + text + "' is neither a scene (" + names + ") nor a .png picture";
        },
        "");
}

int Run(const Options& o) {
    // The stop signals are taken by sigwait below. Blocked before any thread exists, they
    // stay blocked in every thread the driver, the camera and the server make.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a browser that goes away ends its connection, not the program

    if (!ChooseDriver("view", o.driver))
        return kExitFailure;
    std::string error;
    // The port first: when it is taken, nothing has touched the camera or its settings.
    ViewServer server;
    if (!server.Bind(o.port, &error))
        return Fail(error);

    const bool json = o.json;
    auto tell = [json](const nlohmann::ordered_json& event, const std::string& text) {
        if (json) {
            PrintJsonLine(event);
        } else {
            std::printf("%s\n", text.c_str());
            std::fflush(stdout);
        }
    };
    ViewOptions options;
    options.registry = o.registry;
    options.faults = FaultSettings(o.faults);
    options.scene = o.scene;
    std::unique_ptr<ViewCamera> camera = ViewCamera::Open(options, tell, &error);
    if (!camera)
        return Fail(error);
    server.Start(camera.get());

    std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/";
    tell({{"event", "serving"}, {"url", url}, {"port", server.Port()}},
         "bayercam view: serving " + url + " (Ctrl-C stops)");
    int signal = 0;
    sigwait(&stop, &signal);
    tell({{"event", "stopping"}, {"signal", signal == SIGINT ? "SIGINT" : "SIGTERM"}},
         "bayercam view: stopping");

    server.Stop();
    bool ok = camera->Close(&error);
    StreamSummary summary = camera->Summary();
    if (json)
        PrintJsonLine(SummaryJson(summary));
    else
        std::printf("%s", SummaryText(summary).c_str());
    std::fflush(stdout);
    return ok ? kExitSuccess : Fail(error);
}

Job Setup(CLI::App& command) {
    auto o = std::make_shared<Options>();
    command
        .add_option("--port", o->port,
                    "serve the page on 127.0.0.1 at this port (0: any free port, which the "
                    "first line of output names)")
        ->check(IntRange(0, 65535))
        ->capture_default_str();
    command.add_option(
        "--registry", o->registry,
        "the registry hive that keeps the settings (default " + DefaultRegistryPath() + ")");
    AddDriverOption(command, &o->driver);
    AddFaultOption(command, &o->faults);
    command
        .add_option("--scene", o->scene,
                    "what the simulated camera looks at: bars (moving, the default), chart "
                    "(still), zoneplate, or a .png picture")
        ->check(SceneName())
        ->type_name("NAME");
    command.add_flag("--json", o->json,
                     "print JSON lines: where the page is served, each change made through it, "
                     "and a summary at the end");
    command.footer(
        "Open the address printed in a browser: the live video (MJPEG), one control for each "
        "setting the property set can change, and the frames delivered, dropped, the frame "
        "rate, the CPU time per frame and the last picture number. A change goes to the driver "
        "as `bayercam props set` sends it, and the page shows what a get then returns. A "
        "region of interest needs the pin closed: the pin is stopped, the region set and the "
        "pin created again. Ctrl-C or SIGTERM stops the pin, closes the filter (saving the "
        "settings) and removes the device.\n"
        "Exit status: 0 stopped cleanly, 1 the camera or the port could not be used, the "
        "stream failed or the settings were not saved, 2 the command line was wrong.");
    return [o]() { return Run(*o); };
}

const bool registered = RegisterCommand({
    "view",
    "stream the camera to a page in the browser, with a control for each setting",
    Setup,
});

}  // namespace
}  // namespace tool
