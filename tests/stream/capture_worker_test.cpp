// The capture worker's two buffers: which one a read goes into and which one a conversion
// takes, on the worker record of a started device.
#include "imaging/image_pipeline.h"
#include "stream/capture_worker.h"
#include "tests/control/started_camera.h"

namespace {

using CaptureBuffers = StartedCamera;

TEST_F(CaptureBuffers, ReadsNeverTouchAConvertingBufferAndOverwriteBufferZeroFirst) {
    CaptureWorker* w = context_->CaptureWorker;
    ASSERT_NE(w, nullptr);
    const struct {
        LONG before0, before1;
        ULONG picked;
    } cases[] = {
        {kBufferFree, kBufferFree, 0},       {kBufferFull, kBufferFree, 1},
        {kBufferFull, kBufferFull, 0},       {kBufferConverting, kBufferFull, 1},
        {kBufferFull, kBufferConverting, 0}, {kBufferConverting, kBufferFree, 1},
    };
    for (const auto& c : cases) {
        w->BufferState[0] = c.before0;
        w->BufferState[1] = c.before1;
        ULONG picked = PickCaptureBuffer(w);
        EXPECT_EQ(picked, c.picked) << c.before0 << "," << c.before1;
        EXPECT_EQ(w->BufferState[picked], kBufferFilling);
        EXPECT_EQ(w->BufferState[1 - picked], picked ? c.before0 : c.before1);
    }
    w->BufferState[0] = w->BufferState[1] = kBufferFree;
}

TEST_F(CaptureBuffers, ConversionPrefersBufferZeroAndNeedsAFullOne) {
    CaptureWorker* w = context_->CaptureWorker;
    ImagePipeline* pipeline = CreateImagePipeline();
    ASSERT_NE(pipeline, nullptr);
    const ULONG width = 16, height = 8;
    SetFrameSize(pipeline, width, height);
    ASSERT_EQ(AllocateRawBuffer(pipeline), STATUS_SUCCESS);
    std::vector<UCHAR> out(width * height * 4), raw0(325632, 40), raw1(325632, 200);
    pipeline->outputBuffer = out.data();
    context_->RawPitch = 656;
    w->Pipeline = pipeline;
    w->CaptureBuffer[0] = raw0.data();
    w->CaptureBuffer[1] = raw1.data();
    w->Running = 1;

    w->BufferState[0] = w->BufferState[1] = kBufferFree;
    EXPECT_FALSE(ConvertCapturedFrame(w)) << "nothing full, nothing converted";
    EXPECT_EQ(w->Busy, 1) << "the pass clears Busy, not the conversion";

    w->BufferState[0] = w->BufferState[1] = kBufferFull;
    EXPECT_TRUE(ConvertCapturedFrame(w));
    EXPECT_EQ(w->BufferState[0], kBufferFree);
    EXPECT_EQ(w->BufferState[1], kBufferFull);
    EXPECT_LT(out[0], 100) << "the dark frame of buffer 0 was converted";

    w->Running = 0;
    EXPECT_FALSE(ConvertCapturedFrame(w)) << "a stopping worker's buffers are left alone";
    EXPECT_EQ(w->BufferState[1], kBufferFull);

    w->CaptureBuffer[0] = w->CaptureBuffer[1] = nullptr;
    w->BufferState[0] = w->BufferState[1] = kBufferFree;
    w->Pipeline = nullptr;
    w->Busy = 0;
    pipeline->outputBuffer = nullptr;
    DestroyImagePipeline(pipeline);
}

}  // namespace
