#include "linux/mutter/PipeWireFrames.h"

#include <gtest/gtest.h>

#include <gst/gst.h>

using namespace core;

TEST(LatestFrame, KeepsOnlySamplesHoldingAWholePicture)
{
    gst_init(nullptr, nullptr);
    const struct {
        const char* name;
        gsize bytes;
        bool kept;
    } rows[] = {
        {"whole 4x2 BGRx picture", 4 * 2 * 4, true},
        {"empty buffer (metadata only)", 0, false},
        {"short buffer", 4 * 4, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        GstCaps* caps = gst_caps_from_string("video/x-raw,format=BGRx,width=4,height=2,framerate=0/1");
        GstBuffer* buffer = gst_buffer_new_allocate(nullptr, row.bytes, nullptr);
        mutter::LatestFrame latest;
        latest.put(gst_sample_new(buffer, caps, nullptr, nullptr));
        gst_buffer_unref(buffer);
        gst_caps_unref(caps);
        EXPECT_EQ(latest.serial(), row.kept ? 1u : 0u);
        int width = 0;
        EXPECT_EQ(latest.withLatest([&](const BgrxImage& image) { width = image.width; }), row.kept);
        EXPECT_EQ(width, row.kept ? 4 : 0);
    }
}
