#include "render/framebuffer.h"

#include <cstddef>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "trace/camera.h"
#include "util/large_alloc.h"

namespace {

// The last frame freed, kept for the next frame of its size.
std::mutex keptLock;
vyxVec3* keptPixels = nullptr;
size_t keptCount = 0;

} // namespace

FrameBuffer vyxAllocFrame(int32_t width, int32_t height) {
    FrameBuffer frame = {0, 0, nullptr};
    if (width <= 0 || height <= 0) {
        return frame;
    }
    // Both sizes are positive int32, so the product fits a 64-bit size_t.
    size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    vyxVec3* pixels = nullptr;
    {
        std::lock_guard<std::mutex> lock(keptLock);
        if (keptPixels != nullptr && keptCount == count) {
            pixels = keptPixels;
            keptPixels = nullptr;
        }
    }
    if (pixels == nullptr) {
        pixels = static_cast<vyxVec3*>(vyxAllocLarge(count * sizeof(vyxVec3)));
    }
    if (pixels == nullptr) {
        return frame;
    }
    frame.width = width;
    frame.height = height;
    frame.pixels = pixels;
    return frame;
}

void vyxFreeFrame(FrameBuffer& frame) {
    if (frame.pixels != nullptr) {
        vyxVec3* spare = frame.pixels;
        {
            std::lock_guard<std::mutex> lock(keptLock);
            std::swap(spare, keptPixels);
            keptCount = static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height);
        }
        free(spare); // the frame kept before, if any
    }
    frame.pixels = nullptr;
    frame.width = 0;
    frame.height = 0;
}

bool vyxFrameFitsCamera(const FrameBuffer& frame, const vyxCamera& camera) {
    return frame.pixels != nullptr && frame.width > 0 && frame.height > 0 &&
           static_cast<uint32_t>(frame.width) == camera.imageWidth &&
           static_cast<uint32_t>(frame.height) == camera.imageHeight;
}
