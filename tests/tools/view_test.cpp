// bayercam view, run as a user runs it: its API driven over HTTP from the loopback address, the
// video read as a browser reads it, and the program stopped by a signal. The page itself is
// driven in a real browser by view_browser.cpp.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/tools/run_tool.h"
#include "tests/tools/view_client.h"

namespace {

using nlohmann::json;

class ViewCommand : public testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/bayercam-view-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

    std::string Hive(const std::string& name = "system") { return dir_ + "/" + name + ".hiv"; }

    std::string dir_;
};

// The values of every control, which a refused request must leave as they were.
std::map<std::string, json> Values(ViewProcess& view) {
    std::map<std::string, json> values;
    for (const auto& [name, c] : view.Controls())
        values[name] = c.value("value", json());
    return values;
}

TEST_F(ViewCommand, OffersOneControlPerSettableItemOfThePropertySet) {
    // The items `bayercam props list` finds settable, before the view holds the camera.
    ToolRun list = RunTool("props --registry " + Hive() + " --json list");
    ASSERT_EQ(list.exitCode, 0) << list.err;
    std::vector<std::string> settable;
    for (const json& item : JsonLines(list.out)) {
        if (item["set"])
            settable.push_back(item["name"]);
    }

    ViewProcess view(Hive());
    ASSERT_NE(view.Port(), 0) << view.Tool().Err();
    std::map<std::string, json> controls = view.Controls();
    std::vector<std::string> shown;
    for (const auto& [name, c] : controls)
        shown.push_back(name);
    std::sort(settable.begin(), settable.end());
    EXPECT_EQ(shown, settable);

    const struct {
        const char* name;
        const char* kind;
        json range;  // [min, max, default] of a slider
    } cases[] = {
        {"Brightness", "slider", {0, 510, 255}}, {"Exposure", "slider", {2, 524, 2}},
        {"RedGain", "slider", {1, 512, 128}},    {"FlipH", "check", nullptr},
        {"WhiteBalance", "check", nullptr},      {"Roi", "region", nullptr},
        {"Reinitialize", "button", nullptr},     {"SensorRegister", "pair", nullptr},
        {"RawCommand", "hex", nullptr},          {"Timeout", "number", nullptr},
    };
    for (const auto& c : cases) {
        const json& control = controls[c.name];
        EXPECT_EQ(control["kind"], c.kind) << c.name;
        if (!c.range.is_null()) {
            EXPECT_EQ(json::array({control["min"], control["max"], control["default"]}), c.range)
                << c.name;
        }
    }
    EXPECT_EQ(view.Tool().Stop(SIGTERM, 30000), 0) << view.Tool().Err();
}

TEST_F(ViewCommand, ASetShowsWhatTheDriverReadsBack) {
    ViewProcess view(Hive());
    ASSERT_NE(view.Port(), 0) << view.Tool().Err();
    const struct {
        const char* name;
        const char* value;
        int reads;
    } cases[] = {
        {"Brightness", "9999", 510},  // clamped by the driver: the control snaps to the top
        {"Brightness", "300", 300},  {"Exposure", "-1", 524}, {"RedGain", "0", 1},
        {"Timeout", "100", 3000},  // 500 or less is ignored
        {"Timeout", "4000", 4000},   {"FlipH", "1", 1},       {"Hue", "0x10", 16},
    };
    for (const auto& c : cases) {
        std::string body;
        ASSERT_EQ(view.Set(c.name, c.value, &body), 200) << c.name << "=" << c.value << body;
        json answer = json::parse(body);
        EXPECT_EQ(answer["value"], c.reads) << c.name << "=" << c.value;
        EXPECT_EQ(answer["setStatus"], "0x00000000");
        EXPECT_EQ(view.Controls()[c.name]["value"], c.reads) << c.name << "=" << c.value;
    }

    // Reinitialize reloads the stored settings: nothing was saved yet, so the defaults.
    httplib::Result reset = view.Client().Post("/api/props/Reinitialize", "", "text/plain");
    ASSERT_TRUE(reset);
    EXPECT_EQ(reset->status, 200) << reset->body;
    EXPECT_EQ(view.Controls()["Brightness"]["value"], 255);
    EXPECT_EQ(view.Tool().Stop(SIGINT, 30000), 0) << view.Tool().Err();
}

TEST_F(ViewCommand, RefusesWhatIsMalformedAndChangesNothing) {
    ViewProcess view(Hive());
    ASSERT_NE(view.Port(), 0) << view.Tool().Err();
    std::map<std::string, json> before = Values(view);
    const std::string port = std::to_string(view.Port());
    const struct {
        const char* method;
        std::string path;
        std::string body;  // form-encoded
        httplib::Headers headers;
        int status;
        const char* says;
    } cases[] = {
        {"GET", "/nowhere", "", {}, 404, "not found"},
        {"POST", "/api/props/Nothing", "value=1", {}, 404, "no property 'Nothing'"},
        {"POST", "/api/props/69", "value=1", {}, 404, "no property '69'"},
        {"POST", "/api/props/ExposureMin", "value=1", {}, 405, "ExposureMin cannot be set"},
        {"PUT", "/api/props/Brightness", "value=1", {}, 405, "POST only"},
        {"DELETE", "/api/props", "", {}, 405, "GET only"},
        {"POST", "/api/status", "value=1", {}, 405, "GET only"},
        {"POST", "/api/props/Brightness", "value=bright", {}, 400, "not a whole number"},
        {"POST", "/api/props/Brightness", "value=4294967296", {}, 400, "does not fit in 32 bits"},
        {"POST", "/api/props/Brightness", "value=", {}, 400, "not a whole number"},
        {"POST", "/api/props/Brightness", "", {}, 400, "Brightness needs a value"},
        {"POST", "/api/props/Brightness", "value=1&value=2", {}, 400, "more than once"},
        {"POST", "/api/props/Brightness", "value=1&force=1", {}, 400, "unknown parameter 'force'"},
        {"POST", "/api/props/Brightness", "value=1,2,3", {}, 400, "VALUE or VALUE,SECOND"},
        {"POST", "/api/props/Roi", "value=1,2,3", {}, 400, "expected X,Y,W,H"},
        {"POST", "/api/props/RawCommand", "value=0g", {}, 400, "not a hex byte"},
        {"POST", "/api/props/Reinitialize", "value=1", {}, 400, "takes no value"},
        {"POST",
         "/api/props/FlipH",
         "value=1",
         {{"Origin", "http://example.com"}},
         403,
         "own page only"},
        {"GET", "/api/status", "", {{"Host", "example.com:" + port}}, 400, "Host must be"},
        {"POST", "/api/props/Hue", "value=" + std::string(2000, '1'), {}, 413, "too large"},
    };
    for (const auto& c : cases) {
        httplib::Request request;
        request.method = c.method;
        request.path = c.path;
        request.headers = c.headers;
        request.body = c.body;
        if (!c.body.empty())
            request.set_header("Content-Type", "application/x-www-form-urlencoded");
        httplib::Result r = view.Client().send(request);
        ASSERT_TRUE(r) << c.method << " " << c.path;
        EXPECT_EQ(r->status, c.status) << c.method << " " << c.path << " " << c.body;
        EXPECT_NE(r->body.find(c.says), std::string::npos) << c.path << ": " << r->body;
    }
    EXPECT_EQ(Values(view), before);
    EXPECT_EQ(view.Tool().Stop(SIGINT, 30000), 0) << view.Tool().Err();
}

// The region is taken only without a pin: the view stops the pin, sets the region and makes
// the pin again; a browser's video goes on at the new size on the same connection.
TEST_F(ViewCommand, ARegionRestartsThePinAndTheVideoFollows) {
    ViewProcess view(Hive());
    ASSERT_NE(view.Port(), 0) << view.Tool().Err();

    std::atomic<bool> done{false};
    std::atomic<size_t> seen{0};
    std::vector<std::pair<int, int>> sizes;  // of each picture the video carried; the
                                             // watcher's until it is joined
    std::string type;
    std::thread watcher([&] {
        httplib::Client client("127.0.0.1", view.Port());
        client.set_read_timeout(30);
        std::string data;
        client.Get(
            "/stream.mjpg",
            [&](const httplib::Response& response) {
                type = response.get_header_value("Content-Type");
                return true;
            },
            [&](const char* bytes, size_t length) {
                data.append(bytes, length);
                // Each part: --frame, its headers, the JPEG and a line end.
                for (;;) {
                    size_t head = data.find("\r\n\r\n");
                    size_t at = data.find("Content-Length: ");
                    if (head == std::string::npos || at == std::string::npos)
                        break;
                    size_t size = std::stoul(data.substr(at + 16));
                    if (data.size() < head + 4 + size + 2)
                        break;
                    GreyPicture picture;
                    EXPECT_TRUE(DecodeJpeg(data.substr(head + 4, size), &picture));
                    sizes.emplace_back(picture.width, picture.height);
                    ++seen;
                    data.erase(0, head + 4 + size + 2);
                }
                return !done && sizes.size() < 400;
            });
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (seen == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));

    std::string body;
    EXPECT_EQ(view.Set("Roi", "5,0,100,60", &body), 200) << body;
    json answer = json::parse(body, nullptr, false);
    EXPECT_EQ(answer["restarted"], true) << body;
    EXPECT_EQ(answer["imageWidth"], 96) << body;  // the width rounded down to a multiple of 8
    EXPECT_EQ(answer["imageHeight"], 60) << body;
    EXPECT_TRUE(view.WaitFrames(5));
    done = true;
    watcher.join();

    EXPECT_EQ(type, "multipart/x-mixed-replace; boundary=frame");
    ASSERT_FALSE(sizes.empty());
    EXPECT_EQ(sizes.front(), std::make_pair(656, 494));
    EXPECT_EQ(sizes.back(), std::make_pair(96, 60));
    EXPECT_EQ(view.Tool().Stop(SIGINT, 30000), 0) << view.Tool().Err();
    // The region was saved like any setting.
    ToolRun formats = RunTool("formats --registry " + Hive() + " --json");
    EXPECT_NE(formats.out.find("\"width\":96"), std::string::npos) << formats.out;
}

TEST_F(ViewCommand, ASignalStopsItCleanlyAndTheSettingsAreKept) {
    const struct {
        int signal;
        const char* options;
        bool frames;  // whether frames arrive before the stop
    } cases[] = {
        {SIGINT, "", true},
        {SIGTERM, "", true},
        {SIGTERM, "--fault no-frame", false},  // the stop ends the reads the camera never fills
    };
    int run = 0;
    for (const auto& c : cases) {
        std::string hive = Hive(std::to_string(++run));
        ViewProcess view(hive, c.options);
        ASSERT_NE(view.Port(), 0) << view.Tool().Err();
        ASSERT_EQ(view.Set("Saturation", "17"), 200);
        if (c.frames) {
            ASSERT_TRUE(view.WaitFrames(3));
        }
        EXPECT_EQ(view.Tool().Stop(c.signal, 30000), 0) << c.options << view.Tool().Err();
        std::vector<json> lines = JsonLines(view.Tool().out);
        ASSERT_GE(lines.size(), 2u) << view.Tool().out;
        EXPECT_EQ(lines.front()["event"], "set");
        EXPECT_EQ(lines[lines.size() - 2]["event"], "stopping");
        EXPECT_EQ(lines.back()["summary"], true);
        EXPECT_EQ(lines.back()["frames"].get<int64_t>() >= 3, c.frames) << c.options;

        ToolRun get = RunTool("props --registry " + hive + " --json get Saturation");
        EXPECT_EQ(JsonLines(get.out).at(0)["value"], 17) << c.options;
    }
}

TEST_F(ViewCommand, ATakenPortFailsBeforeTheCameraIsTouched) {
    ViewProcess first(Hive("first"));
    ASSERT_NE(first.Port(), 0) << first.Tool().Err();
    // Should it bind after all, it serves until killed: waited for, not trusted to end.
    RunningTool second("view --port " + std::to_string(first.Port()) + " --registry " +
                       Hive("second"));
    EXPECT_EQ(second.Stop(0, 30000), 1);
    EXPECT_NE(second.Err().find("cannot listen on 127.0.0.1:" + std::to_string(first.Port())),
              std::string::npos)
        << second.Err();
    struct stat ignored;
    EXPECT_NE(stat(Hive("second").c_str(), &ignored), 0) << "the second hive was made";
    EXPECT_EQ(first.Tool().Stop(SIGINT, 30000), 0) << first.Tool().Err();
}

}  // namespace
