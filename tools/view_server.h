// The web server of `bayercam view`, on the loopback address only:
//   GET  /               the page (view_page)
//   GET  /stream.mjpg    the live video, one JPEG after another (multipart/x-mixed-replace)
//   GET  /frame.jpg      the newest frame
//   GET  /api/props      every control's state, as a get of its item returns it
//   POST /api/props/NAME value=VALUE, as `bayercam props set NAME=VALUE`; none for Reinitialize
//   GET  /api/status     frames, drops, rate, CPU per frame, the last picture number
// Anything else is refused with a status and a short text, and changes nothing. Requests must
// name this server as their host, and changes must come from its own page, so that neither a
// page elsewhere nor a name rebound to the loopback address can drive the camera.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "tools/view_camera.h"

namespace httplib {
class Server;
}

namespace tool {

class ViewServer {
public:
    ViewServer();
    ~ViewServer();
    ViewServer(const ViewServer&) = delete;
    ViewServer& operator=(const ViewServer&) = delete;

    // Binds 127.0.0.1:port; port 0 takes any free port. False with the reason.
    bool Bind(int port, std::string* error);
    int Port() const { return port_; }

    // Serves `camera` on threads of its own until Stop.
    void Start(ViewCamera* camera);
    // Ends the video streams and every connection, and waits for the server's threads.
    void Stop();

private:
    void Route();

    std::unique_ptr<httplib::Server> server_;
    ViewCamera* camera_ = nullptr;
    std::thread listener_;
    int port_ = 0;
    std::atomic<int> viewers_{0};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> listenerEnded_{false};
};

}  // namespace tool
