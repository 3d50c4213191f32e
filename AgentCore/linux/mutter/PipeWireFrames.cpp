#include "PipeWireFrames.h"

#include "Log.h"
#include "linux/GstRefs.h"

#include <gst/app/gstappsink.h>
#include <gst/video/video.h>

#include <utility>

namespace core::mutter {

namespace {

using SamplePtr = std::unique_ptr<GstSample, FreeWith<gst_sample_unref>>;

void stopPipeline(GstElement* pipeline)
{
    if (!pipeline)
        return;
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
}

} // namespace

LatestFrame::LatestFrame() = default;

LatestFrame::~LatestFrame() { clear(); }

quint64 LatestFrame::serial() const
{
    std::lock_guard lock(mutex_);
    return serial_;
}

void LatestFrame::waitPast(quint64 seen, std::chrono::steady_clock::time_point until)
{
    std::unique_lock lock(mutex_);
    arrived_.wait_until(lock, until, [&] { return serial_ != seen || woken_; });
    woken_ = false;
}

void LatestFrame::wake()
{
    {
        std::lock_guard lock(mutex_);
        woken_ = true;
    }
    arrived_.notify_all();
}

void LatestFrame::clear()
{
    SamplePtr old;
    std::lock_guard lock(mutex_);
    old.reset(std::exchange(latest_, nullptr));
}

void LatestFrame::put(GstSample* sample)
{
    // Mutter also sends buffers without a picture (nothing was damaged, only metadata changed):
    // they are no new frame.
    GstVideoInfo info;
    GstCaps* caps = gst_sample_get_caps(sample);
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    if (!caps || !buffer || !gst_video_info_from_caps(&info, caps) || gst_buffer_get_size(buffer) < info.size) {
        gst_sample_unref(sample);
        return;
    }
    SamplePtr old;
    {
        std::lock_guard lock(mutex_);
        old.reset(std::exchange(latest_, sample));
        ++serial_;
    }
    arrived_.notify_all();
}

bool LatestFrame::withLatest(const std::function<void(const BgrxImage&)>& use)
{
    SamplePtr sample;
    {
        std::lock_guard lock(mutex_);
        if (latest_)
            sample.reset(gst_sample_ref(latest_));
    }
    if (!sample)
        return false;
    GstVideoInfo info;
    if (!gst_video_info_from_caps(&info, gst_sample_get_caps(sample.get())))
        return false;
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &info, gst_sample_get_buffer(sample.get()), GST_MAP_READ))
        return false;
    use(BgrxImage{static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)),
                  GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0), GST_VIDEO_FRAME_WIDTH(&frame),
                  GST_VIDEO_FRAME_HEIGHT(&frame)});
    gst_video_frame_unmap(&frame);
    return true;
}

PipeWireFrames::PipeWireFrames(quint32 node, std::shared_ptr<LatestFrame> into)
    : into_(std::move(into))
    , pipeline_(nullptr, stopPipeline)
{
    static std::once_flag once;
    std::call_once(once, [] { gst_init(nullptr, nullptr); });
    // always-copy: the latest frame is held for as long as nothing newer comes, which must not
    // keep one of the compositor's few buffers from it.
    // Frames are asked for in shared memory, said outright: Mutter offers DMA-BUF only with a GPU
    // and explicit modifiers ("Disabling DMA buffer screen sharing (not hardware accelerated)"
    // without one), and the converter reads pixels from the CPU either way.
    const QString description = QStringLiteral(
        "pipewiresrc path=%1 always-copy=true ! video/x-raw(memory:SystemMemory) ! videoconvert ! video/x-raw,format=BGRx ! "
        "appsink name=sink max-buffers=1 drop=true sync=false").arg(node);
    GError* error = nullptr;
    pipeline_.reset(gst_parse_launch(description.toUtf8().constData(), &error));
    const gst::ErrorPtr owned(error);
    if (!pipeline_ || error)
        throw AgentError(QStringLiteral("Screen capture failed: ")
                         + (error ? QString::fromUtf8(error->message) : QStringLiteral("no PipeWire source")));
    const gst::ElementPtr sink(gst_bin_get_by_name(GST_BIN(pipeline_.get()), "sink"));
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = [](GstAppSink* appsink, gpointer data) {
        if (GstSample* sample = gst_app_sink_pull_sample(appsink))
            static_cast<LatestFrame*>(data)->put(sample);
        return GST_FLOW_OK;
    };
    // The pipeline stops (in the destructor) before `into_` goes, so the pointer outlives every
    // callback.
    gst_app_sink_set_callbacks(GST_APP_SINK(sink.get()), &callbacks, into_.get(), nullptr);
    if (gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
        throw AgentError(QStringLiteral("Screen capture failed: the PipeWire stream did not start"));
}

PipeWireFrames::~PipeWireFrames() { pipeline_.reset(); }

std::optional<QString> PipeWireFrames::failure()
{
    const gst::BusPtr bus(gst_element_get_bus(pipeline_.get()));
    std::unique_ptr<GstMessage, FreeWith<gst_message_unref>> message(
        gst_bus_pop_filtered(bus.get(), GstMessageType(GST_MESSAGE_ERROR | GST_MESSAGE_EOS)));
    if (!message)
        return std::nullopt;
    if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_EOS)
        return QStringLiteral("the PipeWire stream ended");
    GError* error = nullptr;
    gst_message_parse_error(message.get(), &error, nullptr);
    const gst::ErrorPtr owned(error);
    return error ? QString::fromUtf8(error->message) : QStringLiteral("the PipeWire stream failed");
}

} // namespace core::mutter
