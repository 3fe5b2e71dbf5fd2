// What a client frame must hold: the camera's raw frame converted as the capture converts it
// (the region of interest, the pipeline's settings) and copied bottom-up, or flipped, with rows
// `stride` bytes apart. Bytes between rows are 0xEE, the fill the test clients queue frames with.
#pragma once

#include <cstdint>
#include <vector>

#include "driver/device_context.h"

// `settings` is the pipeline whose settings slots to convert with (read whole, as a Process
// pass may be writing measured gains into it), or null for the pipeline's creation values.
std::vector<uint8_t> ExpectedImage(const DeviceContext& device, const std::vector<uint8_t>& raw,
                                   ImagePipeline* settings, bool flipH, bool flipV,
                                   ULONG stride = 0);
