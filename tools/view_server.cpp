#include "tools/view_server.h"

#include <httplib.h>

#include <chrono>
#include <cstdio>

#include "tools/view_page.h"

namespace tool {
namespace {

using httplib::Request;
using httplib::Response;
using HandlerResponse = httplib::Server::HandlerResponse;

// Enough threads that the page's own requests always find one while the video streams;
// the number of video streams is bounded below that.
constexpr size_t kThreads = 12;
constexpr int kMaxViewers = 4;
// A value is a few numbers or at most 64 bytes in hexadecimal.
constexpr size_t kMaxBody = 1024;
constexpr uint32_t kFrameWaitMs = 2000;
// How often a video stream looks whether the server is stopping.
constexpr uint32_t kViewerPollMs = 250;

void Text(Response& res, int status, const std::string& text) {
    res.status = status;
    res.set_content(text + "\n", "text/plain; charset=utf-8");
}

void Json(Response& res, const nlohmann::ordered_json& body) {
    res.set_header("Cache-Control", "no-store");
    res.set_content(body.dump(), "application/json");
}

int HttpStatus(Outcome outcome) {
    switch (outcome) {
        case Outcome::Done:
            return 200;
        case Outcome::BadRequest:
            return 400;
        case Outcome::NotFound:
            return 404;
        case Outcome::NotAllowed:
            return 405;
        case Outcome::Conflict:
            return 409;
        case Outcome::Failed:
            return 500;
    }
    return 500;
}

// The short text of a refusal the server made itself, before any handler.
const char* Reason(int status) {
    switch (status) {
        case 400:
            return "malformed request";
        case 404:
            return "not found";
        case 405:
            return "method not allowed";
        case 413:
            return "request too large";
        case 414:
            return "URI too long";
        default:
            return "request refused";
    }
}

// The paths served, each with the one method it takes (GET also answers HEAD).
struct PathMethod {
    const char* pattern;
    const char* method;
};
// This server's names as a Host header gives them: the port is left out for 80.
bool OwnHost(const std::string& host, int port) {
    std::string suffix = port == 80 ? "" : ":" + std::to_string(port);
    return host == "127.0.0.1" + suffix || host == "localhost" + suffix;
}

const PathMethod kPaths[] = {
    {"/", "GET"},          {"/stream\\.mjpg", "GET"}, {"/frame\\.jpg", "GET"},
    {"/api/props", "GET"}, {"/api/status", "GET"},    {"/api/props/([^/]+)", "POST"},
};

}  // namespace

ViewServer::ViewServer() : server_(std::make_unique<httplib::Server>()) {}

ViewServer::~ViewServer() {
    Stop();
}

bool ViewServer::Bind(int port, std::string* error) {
    // Only SO_REUSEADDR, so a restart finds its port free at once. The library would also set
    // SO_REUSEPORT, with which a second view on the same port binds too and the two take
    // turns answering.
    server_->set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    });
    bool bound = false;
    if (port == 0) {
        port_ = server_->bind_to_any_port("127.0.0.1");
        bound = port_ > 0;
    } else {
        port_ = port;
        bound = server_->bind_to_port("127.0.0.1", port);
    }
    if (!bound) {
        *error = "cannot listen on 127.0.0.1:" + std::to_string(port) +
                 " (is the port in use by another program?)";
        return false;
    }
    return true;
}

void ViewServer::Start(ViewCamera* camera) {
    camera_ = camera;
    Route();
    listener_ = std::thread([this] {
        server_->listen_after_bind();
        listenerEnded_ = true;
    });
    // Until the server runs, a stop would not reach it (and the wait for it would never end);
    // and the address is not announced before it answers.
    while (!server_->is_running() && !listenerEnded_)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void ViewServer::Stop() {
    stopping_ = true;
    if (server_->is_running() || listener_.joinable())
        server_->stop();
    if (listener_.joinable())
        listener_.join();
}

void ViewServer::Route() {
    httplib::Server& s = *server_;
    s.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    s.set_payload_max_length(kMaxBody);
    s.set_keep_alive_timeout(1);
    s.set_read_timeout(5);
    s.set_write_timeout(5);
    s.set_default_headers({{"X-Content-Type-Options", "nosniff"}});

    const int port = port_;
    s.set_pre_routing_handler([port](const Request& req, Response& res) {
        if (!OwnHost(req.get_header_value("Host"), port)) {
            Text(res, 400, "the Host must be 127.0.0.1:" + std::to_string(port));
            return HandlerResponse::Handled;
        }
        bool change = req.method != "GET" && req.method != "HEAD";
        std::string origin = req.get_header_value("Origin");
        if (change && req.has_header("Origin") &&
            (origin.rfind("http://", 0) != 0 || !OwnHost(origin.substr(7), port))) {
            Text(res, 403, "changes are taken from this server's own page only");
            return HandlerResponse::Handled;
        }
        return HandlerResponse::Unhandled;
    });
    httplib::Server::HandlerWithResponse plainText = [](const Request&, Response& res) {
        if (!res.body.empty())
            return HandlerResponse::Unhandled;
        Text(res, res.status, Reason(res.status));
        return HandlerResponse::Handled;
    };
    s.set_error_handler(plainText);
    s.set_exception_handler([](const Request&, Response& res, std::exception_ptr) {
        Text(res, 500, "internal error");
    });

    s.Get("/", [](const Request&, Response& res) {
        res.set_content(ViewPage(), "text/html; charset=utf-8");
    });
    s.Get("/api/props", [this](const Request&, Response& res) { Json(res, camera_->Controls()); });
    s.Get("/api/status", [this](const Request&, Response& res) { Json(res, camera_->Status()); });
    s.Get("/frame\\.jpg", [this](const Request&, Response& res) {
        HubPicture picture;
        std::string error;
        if (!camera_->Hub().NextPicture(0, kFrameWaitMs, &picture, &error)) {
            Text(res, 503, error.empty() ? "no frame yet" : error);
            return;
        }
        res.set_header("Cache-Control", "no-store");
        res.set_header("X-Frame-Sequence", std::to_string(picture.sequence));
        res.set_content(reinterpret_cast<const char*>(picture.jpeg->data()), picture.jpeg->size(),
                        "image/jpeg");
    });
    s.Get("/stream\\.mjpg", [this](const Request&, Response& res) {
        if (viewers_.fetch_add(1) >= kMaxViewers) {
            --viewers_;
            Text(res, 503, "too many video streams at once (" + std::to_string(kMaxViewers) + ")");
            return;
        }
        auto shown = std::make_shared<uint64_t>(0);
        res.set_header("Cache-Control", "no-store");
        res.set_chunked_content_provider(
            "multipart/x-mixed-replace; boundary=frame",
            [this, shown](size_t, httplib::DataSink& sink) {
                HubPicture picture;
                std::string error;
                for (;;) {
                    if (stopping_ || !sink.is_writable())
                        return false;
                    if (camera_->Hub().NextPicture(*shown, kViewerPollMs, &picture, &error))
                        break;
                    if (!error.empty())
                        *shown = picture.sequence;  // a frame that cannot be shown is passed over
                }
                *shown = picture.sequence;
                char head[128];
                int n = std::snprintf(head, sizeof(head),
                                      "--frame\r\nContent-Type: image/jpeg\r\n"
                                      "Content-Length: %zu\r\n\r\n",
                                      picture.jpeg->size());
                return sink.write(head, size_t(n)) &&
                       sink.write(reinterpret_cast<const char*>(picture.jpeg->data()),
                                  picture.jpeg->size()) &&
                       sink.write("\r\n", 2);
            },
            [this](bool) { --viewers_; });
    });
    s.Post("/api/props/([^/]+)", [this](const Request& req, Response& res) {
        std::string type = req.get_header_value("Content-Type");
        if (!req.body.empty() && type.rfind("application/x-www-form-urlencoded", 0) != 0) {
            Text(res, 400, "send the value as a form field: value=VALUE");
            return;
        }
        for (const auto& param : req.params) {
            if (param.first != "value") {
                Text(res, 400, "unknown parameter '" + param.first + "' (only value)");
                return;
            }
        }
        if (req.params.count("value") > 1) {
            Text(res, 400, "value given more than once");
            return;
        }
        std::string value = req.get_param_value("value");
        SetResult r = camera_->Set(req.matches[1], req.has_param("value") ? &value : nullptr);
        if (r.outcome == Outcome::Done)
            Json(res, r.body);
        else
            Text(res, HttpStatus(r.outcome), r.message);
    });

    // A known path asked with another method is refused as such, not as unknown.
    for (const PathMethod& p : kPaths) {
        std::string allow = p.method;
        auto refuse = [allow](const Request&, Response& res) {
            res.set_header("Allow", allow == "GET" ? "GET, HEAD" : allow);
            Text(res, 405, "method not allowed here (" + allow + " only)");
        };
        if (allow != "GET")
            s.Get(p.pattern, refuse);
        if (allow != "POST")
            s.Post(p.pattern, refuse);
        s.Put(p.pattern, refuse);
        s.Patch(p.pattern, refuse);
        s.Delete(p.pattern, refuse);
        s.Options(p.pattern, refuse);
    }
}

}  // namespace tool
