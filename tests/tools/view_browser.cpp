// bayercam view's page in a real browser: headless Chromium loads it and view_browser.py
// works its controls with the mouse and the keyboard over the DevTools protocol. The test
// then checks, apart from the page, that the driver holds the new values and that the frames
// changed accordingly: brighter, and mirrored left to right.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "tests/tools/run_tool.h"
#include "tests/tools/view_client.h"

namespace {

using nlohmann::json;

bool LatestFrame(ViewProcess& view, GreyPicture* picture) {
    httplib::Result r = view.Client().Get("/frame.jpg");
    return r && r->status == 200 && DecodeJpeg(r->body, picture);
}

// Summed differences of two column profiles, the second read left to right or mirrored.
double ProfileDistance(const std::vector<double>& a, const std::vector<double>& b, bool mirror) {
    double sum = 0;
    const size_t n = a.size();
    for (size_t x = 0; x < n && n == b.size(); ++x)
        sum += std::fabs(a[x] - b[mirror ? n - 1 - x : x]);
    return sum;
}

TEST(ViewBrowser, BrightnessAndFlipSetThroughThePageReachTheDriverAndTheFrames) {
    char dir[] = "/tmp/bayercam-browser-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string hive = std::string(dir) + "/system.hiv";
    // The chart stands still, so frames before and after differ only by the settings.
    ViewProcess view(hive, "--scene chart");
    ASSERT_NE(view.Port(), 0) << view.Tool().Err();
    ASSERT_EQ(view.Set("Exposure", "300"), 200);  // the default exposure is nearly black
    ASSERT_TRUE(view.WaitFrames(4));
    GreyPicture before;
    ASSERT_TRUE(LatestFrame(view, &before));

    std::remove(VIEW_SCREENSHOT);
    std::string url = "http://127.0.0.1:" + std::to_string(view.Port()) + "/";
    FILE* pipe = popen(
        ("/usr/bin/python3 " VIEW_BROWSER_SCRIPT " " + url + " " VIEW_SCREENSHOT).c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string printed;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
        printed.append(buffer, n);
    ASSERT_EQ(pclose(pipe), 0) << "the browser did not get through the page: " << printed;
    json page = json::parse(printed);

    // What the page showed is what the driver holds.
    std::map<std::string, json> controls = view.Controls();
    EXPECT_EQ(controls["Brightness"]["value"], page["brightness"]);
    EXPECT_GT(page["brightness"].get<int>(), 280);
    EXPECT_EQ(controls["FlipH"]["value"], 1);
    EXPECT_EQ(controls["Timeout"]["value"], 3000);
    EXPECT_EQ(page["video"], json::array({656, 494}));
    EXPECT_NE(page["status"].get<std::string>().find("frames delivered"), std::string::npos);

    ASSERT_TRUE(view.WaitFrames(4));
    GreyPicture after;
    ASSERT_TRUE(LatestFrame(view, &after));
    ASSERT_EQ(after.width, before.width);
    EXPECT_GT(after.Mean(), before.Mean() + 15);
    std::vector<double> was = before.ColumnProfile(), is = after.ColumnProfile();
    double mirrored = ProfileDistance(is, was, true), same = ProfileDistance(is, was, false);
    EXPECT_LT(mirrored * 3, same) << "mirrored " << mirrored << ", as before " << same;

    struct stat shot;
    ASSERT_EQ(stat(VIEW_SCREENSHOT, &shot), 0);
    EXPECT_GT(shot.st_size, 20000);
    EXPECT_EQ(view.Tool().Stop(SIGINT, 30000), 0) << view.Tool().Err();
    std::system(("rm -rf " + std::string(dir)).c_str());
}

}  // namespace
