#include "tools/stream_job.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

#include "control/property_set.h"
#include "tools/camera_session.h"
#include "tools/command.h"
#include "tools/contact_sheet.h"
#include "tools/file_check.h"
#include "tools/frame_writer.h"
#include "tools/json_lines.h"
#include "tools/process_clock.h"
#include "tools/pin_formats.h"
#include "tools/pin_stream.h"
#include "tools/png_image.h"
#include "tools/property_names.h"
#include "tools/property_requests.h"
#include "tools/raw_capture.h"
#include "tools/status_text.h"
#include "tools/stream_summary.h"

namespace tool {
namespace {

using nlohmann::ordered_json;

// How long the stop and the close may take to end the reads still queued.
constexpr uint32_t kDrainMs = 5000;
// How often a progress line on a terminal is redrawn, at most.
constexpr double kProgressInterval = 0.1;

// A folder for frame files: made when missing, refused when it is something else.
std::string FolderProblem(const std::string& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (!std::filesystem::is_directory(dir))
        return dir + ": not a folder" + (ec ? " (" + ec.message() + ")" : "");
    if (access(dir.c_str(), W_OK) != 0)
        return dir + ": not writable";
    return "";
}

class StreamJob {
public:
    explicit StreamJob(const StreamRequest& r) : r_(r) {}

    int Run() {
        if (!Prepare() || !Open() || !Configure() || !StartPin()) {
            Finish();
            return kExitFailure;
        }
        Stream();
        Stop();
        Finish();
        // After an unplug the stream ends early by design: the run succeeded when everything
        // still closed cleanly.
        bool enough = unplugged_ || tally_.Frames() >= r_.frames;
        return ok_ && enough ? kExitSuccess : kExitFailure;
    }

private:
    void Fail(const std::string& message) {
        if (progressShown_)
            std::printf("\n");
        progressShown_ = false;
        std::fflush(stdout);
        std::fprintf(stderr, "bayercam stream: %s\n", message.c_str());
        ok_ = false;
    }
    void FailStatus(const std::string& what, NTSTATUS status) {
        Fail(what + ": " + StatusText(status));
    }

    bool Prepare() {
        for (const std::string* dir : {&r_.pngDir, &r_.rawDir}) {
            std::string problem = dir->empty() ? "" : FolderProblem(*dir);
            if (!problem.empty()) {
                Fail(problem);
                return false;
            }
        }
        std::string problem = r_.contact.empty() ? "" : WritableFileProblem(r_.contact);
        if (!problem.empty()) {
            Fail(problem);
            return false;
        }
        return true;
    }

    bool Open() {
        SessionOptions options;
        options.registry = r_.registry;
        options.faults = r_.faults;
        options.paced = r_.paced;
        options.moving = true;
        std::string error;
        session_ = CameraSession::Open(options, &error);
        if (!session_) {
            Fail(error);
            return false;
        }
        if (!NT_SUCCESS(session_->StartStatus())) {
            FailStatus("the camera did not start", session_->StartStatus());
            return false;
        }
        if (!session_->FilterOpen()) {
            FailStatus("the capture filter did not open", session_->FilterStatus());
            return false;
        }
        return true;
    }

    // The settings an application makes before it creates the pin, then the format.
    bool Configure() {
        for (const PropsOp& op : r_.sets) {
            NTSTATUS status = SetProperty(session_.get(), op);
            if (!NT_SUCCESS(status)) {
                FailStatus(std::string("--set ") + PropertyName(op.id), status);
                return false;
            }
        }
        if (r_.roi) {
            PropsOp op;
            op.kind = OpKind::Set;
            op.id = PropRoi;
            std::copy_n(r_.roiRect, 4, op.roi);
            NTSTATUS status = SetProperty(session_.get(), op);
            if (!NT_SUCCESS(status)) {
                FailStatus("--roi", status);
                return false;
            }
        }
        ReadFlips();
        std::string step;
        NTSTATUS status = NegotiateFormat(session_.get(), &format_, &formatSize_, &step);
        if (!NT_SUCCESS(status)) {
            FailStatus(step, status);
            return false;
        }
        const KS_BITMAPINFOHEADER& bmi = VideoInfo(format_, formatSize_)->bmiHeader;
        width_ = uint32_t(std::abs(bmi.biWidth));
        height_ = uint32_t(std::abs(bmi.biHeight));
        imageSize_ = bmi.biSizeImage;
        if (!r_.rawDir.empty()) {
            std::string error;
            raw_ = RawCapture::Install(session_->Context(), &error);
            if (!raw_) {
                Fail("--raw-out: " + error);
                return false;
            }
        }
        return true;
    }

    void ReadFlips() {
        LONG second = 0;
        if (!NT_SUCCESS(GetPropertyValue(session_.get(), PropFlipH, &flipH_, &second)))
            flipH_ = 0;
        if (!NT_SUCCESS(GetPropertyValue(session_.get(), PropFlipV, &flipV_, &second)))
            flipV_ = 0;
    }

    bool StartPin() {
        NTSTATUS status;
        pin_ = PinStream::Create(session_->Filter(),
                                 reinterpret_cast<const KSDATAFORMAT*>(format_.data()), imageSize_,
                                 &status);
        if (!pin_) {
            FailStatus("the capture pin was not created", status);
            return false;
        }
        if (r_.clock && !NT_SUCCESS(status = pin_->SetClock(true))) {
            FailStatus("the pin refused the clock", status);
            return false;
        }
        for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE}) {
            if (!NT_SUCCESS(status = pin_->SetState(state))) {
                FailStatus(state == KSSTATE_ACQUIRE ? "ACQUIRE" : "PAUSE", status);
                return false;
            }
        }
        // Frames are queued before RUN, so the first image has somewhere to go.
        if (!NT_SUCCESS(status = pin_->QueueFrames(r_.buffers))) {
            FailStatus("a frame read was refused", status);
            return false;
        }
        if (r_.pngDir.size() || r_.rawDir.size() || r_.contact.size())
            writer_ = std::make_unique<FrameWriter>(r_.pngDir, r_.rawDir, &sheet_);
        cpuStart_ = ProcessCpuNanoseconds();
        writerCpuStart_ = writer_ ? writer_->CpuNanoseconds() : 0;
        runStart_ = Clock::now();
        if (!NT_SUCCESS(status = pin_->SetState(KSSTATE_RUN))) {
            FailStatus("RUN", status);
            return false;
        }
        return true;
    }

    // Seconds of streaming so far, pauses left out.
    double StreamSeconds() const { return Seconds(Clock::now() - runStart_) - paused_; }

    void Stream() {
        while (ok_ && !unplugged_ && tally_.Frames() < r_.frames) {
            double left = r_.seconds - StreamSeconds();
            if (left <= 0)
                break;
            uint32_t wait = uint32_t(std::clamp(left * 1000, 1.0, 100.0));
            CompletedFrame frame;
            if (!pin_->WaitOldest(wait, &frame)) {
                Progress(false);
                continue;
            }
            if (!NT_SUCCESS(frame.status)) {
                FailStatus("a frame read failed", frame.status);
                return;
            }
            bool image = frame.header.header.DataUsed > 0;
            if (image) {
                Received(frame);
            } else {
                tally_.AddEmpty();
                std::vector<uint8_t> unused;
                if (raw_)  // a copy filed for this frame was never delivered into it
                    raw_->Take(frame.data, &unused);
            }
            NTSTATUS status = pin_->Requeue();
            if (!NT_SUCCESS(status)) {
                FailStatus("a frame read was refused", status);
                return;
            }
            if (image)
                RunEvents(tally_.Frames());
        }
        Progress(true);
    }

    void Received(const CompletedFrame& frame) {
        const KSSTREAM_HEADER& h = frame.header.header;
        const int64_t picture = frame.header.info.PictureNumber;
        tally_.AddFrame(picture, StreamSeconds());
        const int64_t ordinal = tally_.Frames();
        if (r_.json) {
            char flags[16];
            std::snprintf(flags, sizeof(flags), "0x%08X", unsigned(h.OptionsFlags));
            PrintJsonLine({{"frame", ordinal},
                           {"pictureNumber", picture},
                           {"presentationTime", h.PresentationTime.Time},
                           {"duration", h.Duration},
                           {"dataUsed", h.DataUsed},
                           {"optionsFlags", flags},
                           {"width", width_},
                           {"height", height_},
                           {"flipH", flipH_},
                           {"flipV", flipV_}});
        }
        Progress(false);

        FrameJob job;
        if (raw_ && !raw_->Take(frame.data, &job.raw)) {
            Fail("--raw-out: no raw frame was recorded for picture " + std::to_string(picture));
            return;
        }
        job.png = !r_.pngDir.empty();
        job.sheet = !r_.contact.empty() && sheet_.Wants(ordinal);
        if (!writer_ || (!job.png && !job.sheet && job.raw.empty()))
            return;
        const size_t bytes = size_t(width_) * height_ * 4;
        if (h.DataUsed < bytes) {
            Fail("picture " + std::to_string(picture) + " holds " + std::to_string(h.DataUsed) +
                 " bytes, less than its " + std::to_string(width_) + " x " +
                 std::to_string(height_) + " image");
            return;
        }
        job.ordinal = ordinal;
        // Without the clock the driver fills in no frame information, so no picture number:
        // the frame's count names the files then.
        job.pictureNumber = picture > 0 ? picture : ordinal;
        job.width = width_;
        job.height = height_;
        job.bottomUp.assign(frame.data, frame.data + bytes);
        writer_->Push(std::move(job));
        std::string error = writer_->Error();
        if (!error.empty())
            Fail(error);
    }

    void RunEvents(int64_t frame) {
        if (r_.unplugAt == frame) {
            // What AVStream does after a surprise removal follows in Stop and Finish: the pin
            // is stopped, which ends the queued reads, then closed, and the device removed.
            session_->Camera().Unplug();
            unplugged_ = true;
            if (r_.json)
                PrintJsonLine({{"event", "unplug"}, {"afterFrame", frame}});
            else
                std::printf("camera unplugged after frame %lld\n", (long long)frame);
            return;
        }
        for (const TimedSet& set : r_.setsAt) {
            if (set.frame != frame)
                continue;
            NTSTATUS status = SetProperty(session_.get(), set.op);
            ReadFlips();
            if (r_.json) {
                ordered_json e = {
                    {"event", "set"}, {"afterFrame", frame}, {"name", PropertyName(set.op.id)}};
                SetStatus(e, "status", status);
                PrintJsonLine(e);
            }
            if (!NT_SUCCESS(status))
                FailStatus("--set-at " + std::to_string(frame) + ":" + set.text, status);
        }
        for (const TimedPause& pause : r_.pauses) {
            if (pause.frame != frame)
                continue;
            Clock::time_point start = Clock::now();
            NTSTATUS status = pin_->SetState(KSSTATE_PAUSE);
            if (NT_SUCCESS(status)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(pause.milliseconds));
                status = pin_->SetState(KSSTATE_RUN);
            }
            paused_ += Seconds(Clock::now() - start);
            if (r_.json) {
                ordered_json e = {
                    {"event", "pause"}, {"afterFrame", frame}, {"ms", pause.milliseconds}};
                SetStatus(e, "status", status);
                PrintJsonLine(e);
            }
            if (!NT_SUCCESS(status))
                FailStatus("--pause-at " + std::to_string(frame), status);
        }
    }

    // The progress line on a terminal, redrawn in place; nothing when the output goes
    // elsewhere or is JSON.
    void Progress(bool last) {
        if (r_.json || !isatty(STDOUT_FILENO))
            return;
        double now = StreamSeconds();
        if (!last && progressShown_ && now - lastProgress_ < kProgressInterval)
            return;
        lastProgress_ = now;
        std::printf("\rframe %lld of %lld, %lld dropped, %.1f frames/s   ",
                    (long long)tally_.Frames(), (long long)r_.frames, (long long)tally_.Dropped(),
                    tally_.Fps());
        std::fflush(stdout);
        progressShown_ = true;
    }

    void Stop() {
        cpuNanoseconds_ = ProcessCpuNanoseconds() - cpuStart_;
        if (writer_)
            cpuNanoseconds_ -= writer_->CpuNanoseconds() - writerCpuStart_;
        Clock::time_point start = Clock::now();
        NTSTATUS status = pin_->SetState(KSSTATE_STOP);
        stopMs_ = Seconds(Clock::now() - start) * 1000;
        if (!NT_SUCCESS(status))
            FailStatus("STOP", status);
    }

    // Everything that was opened is closed again, in the order an application closes it,
    // whatever step failed.
    void Finish() {
        if (pin_) {
            NTSTATUS status;
            if (!pin_->Close(kDrainMs, &status))
                Fail("a frame read did not end when the pin was closed");
            else if (!NT_SUCCESS(status))
                FailStatus("closing the pin", status);
            pin_.reset();
        }
        raw_.reset();  // the worker has stopped with the pin: the driver's table goes back
        if (writer_) {
            std::string error = writer_->Finish();
            if (!error.empty())
                Fail(error);
        }
        if (!r_.contact.empty() && sheet_.Tiles() > 0) {
            uint32_t w, h;
            std::vector<uint8_t> pixels = sheet_.Compose(&w, &h);
            std::string error;
            if (!WriteRgbPng(r_.contact, w, h, pixels.data(), &error))
                Fail(error);
        }
        if (session_) {
            std::string error;
            if (!session_->Close(&error))
                Fail("the settings were not saved: " + error);
        }
        if (cpuStart_ != 0)
            Report();
    }

    void Report() {
        if (progressShown_)
            std::printf("\n");
        StreamSummary s = Summarize(tally_, r_.frames, cpuNanoseconds_, stopMs_);
        if (r_.json)
            PrintJsonLine(SummaryJson(s));
        else
            std::printf("%s", SummaryText(s).c_str());
        std::fflush(stdout);
        if (s.frames < r_.frames && !unplugged_) {
            std::fprintf(stderr, "bayercam stream: %lld of %lld frames arrived within %g s\n",
                         (long long)s.frames, (long long)r_.frames, r_.seconds);
        }
    }

    const StreamRequest& r_;
    bool ok_ = true;
    std::unique_ptr<CameraSession> session_;
    std::vector<uint64_t> format_;
    ULONG formatSize_ = 0;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    ULONG imageSize_ = 0;
    LONG flipH_ = 0;
    LONG flipV_ = 0;
    std::unique_ptr<RawCapture> raw_;
    std::unique_ptr<PinStream> pin_;
    ContactSheet sheet_;
    std::unique_ptr<FrameWriter> writer_;
    StreamTally tally_;
    Clock::time_point runStart_;
    double paused_ = 0;
    int64_t cpuStart_ = 0;
    int64_t writerCpuStart_ = 0;
    int64_t cpuNanoseconds_ = 0;
    double stopMs_ = 0;
    bool progressShown_ = false;
    double lastProgress_ = 0;
    bool unplugged_ = false;
};

}  // namespace

int RunStream(const StreamRequest& request) {
    StreamJob job(request);
    return job.Run();
}

}  // namespace tool
