#include "tests/tools/view_client.h"

#include <turbojpeg.h>

#include <chrono>
#include <thread>

ViewProcess::ViewProcess(const std::string& hive, const std::string& extra)
    : tool_(
          std::make_unique<RunningTool>("view --port 0 --json --registry " + hive + " " + extra)) {
    std::string line;
    // Starting the camera takes a while under the sanitizers.
    if (tool_->ReadLine(60000, &line)) {
        nlohmann::json serving = nlohmann::json::parse(line, nullptr, false);
        if (serving.is_object() && serving.value("event", "") == "serving")
            port_ = serving.value("port", 0);
    }
    client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
    client_->set_read_timeout(30);
}

std::map<std::string, nlohmann::json> ViewProcess::Controls() {
    std::map<std::string, nlohmann::json> controls;
    httplib::Result r = client_->Get("/api/props");
    if (!r || r->status != 200)
        return controls;
    nlohmann::json answer = nlohmann::json::parse(r->body);
    for (const nlohmann::json& c : answer["controls"])
        controls[c["name"]] = c;
    return controls;
}

int ViewProcess::Set(const std::string& name, const std::string& value, std::string* body) {
    httplib::Params params{{"value", value}};
    httplib::Result r = client_->Post(("/api/props/" + name).c_str(), params);
    if (body)
        *body = r ? r->body : "";
    return r ? r->status : -1;
}

int64_t ViewProcess::Frames() {
    httplib::Result r = client_->Get("/api/status");
    if (!r || r->status != 200)
        return -1;
    return nlohmann::json::parse(r->body)["frames"].get<int64_t>();
}

bool ViewProcess::WaitFrames(int64_t count) {
    int64_t target = Frames() + count;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (Frames() >= target)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

double GreyPicture::Mean() const {
    double sum = 0;
    for (uint8_t v : pixels)
        sum += v;
    return pixels.empty() ? 0 : sum / double(pixels.size());
}

std::vector<double> GreyPicture::ColumnProfile() const {
    std::vector<double> profile(size_t(width), 0);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            profile[size_t(x)] += pixels[size_t(y) * size_t(width) + size_t(x)];
    }
    double mean = Mean();
    for (double& v : profile)
        v = v / height - mean;
    return profile;
}

bool DecodeJpeg(const std::string& jpeg, GreyPicture* picture) {
    tjhandle handle = tjInitDecompress();
    if (!handle)
        return false;
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    const auto* data = reinterpret_cast<const unsigned char*>(jpeg.data());
    bool ok = tjDecompressHeader3(handle, data, jpeg.size(), &width, &height, &subsampling,
                                  &colorspace) == 0 &&
              width > 0 && height > 0;
    if (ok) {
        picture->width = width;
        picture->height = height;
        picture->pixels.assign(size_t(width) * size_t(height), 0);
        ok = tjDecompress2(handle, data, jpeg.size(), picture->pixels.data(), width, width, height,
                           TJPF_GRAY, 0) == 0;
    }
    tjDestroy(handle);
    return ok;
}
