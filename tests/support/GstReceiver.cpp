#include "GstReceiver.h"

#include "linux/GstRefs.h"

#include <gst/app/gstappsink.h>

#include <mutex>
#include <string>

using namespace core::gst;

struct GstReceiver::Impl {
    ElementPtr pipeline;
    GstElement* webrtc = nullptr; // owned by the pipeline
    GObjectPtr<GstWebRTCDataChannel> channel;

    mutable std::mutex mutex;
    std::vector<std::pair<int, QString>> candidates;
    int decoded = 0;
    std::optional<Picture> last;
};

namespace {

GstStructure* waitReply(GstPromise* promise)
{
    gst_promise_wait(promise);
    return const_cast<GstStructure*>(gst_promise_get_reply(promise));
}

GstFlowReturn onSample(GstAppSink* sink, gpointer data)
{
    auto* d = static_cast<GstReceiver::Impl*>(data);
    GstSample* sample = gst_app_sink_pull_sample(sink);
    if (!sample)
        return GST_FLOW_OK;
    const GstStructure* caps = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
    int w = 0, h = 0;
    if (gst_structure_get_int(caps, "width", &w) && gst_structure_get_int(caps, "height", &h)) {
        std::lock_guard lock(d->mutex);
        d->decoded += 1;
        int num = 0, den = 0;
        const bool rate = gst_structure_get_fraction(caps, "framerate", &num, &den) && den > 0;
        d->last = GstReceiver::Picture{w, h, rate ? num / den : 0};
    }
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

} // namespace

GstReceiver::GstReceiver(Codec codec)
    : d(std::make_unique<Impl>())
{
    gst_init(nullptr, nullptr);
    d->pipeline.reset(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new("receiver"))));
    d->webrtc = gst_element_factory_make("webrtcbin", nullptr);
    gst_util_set_object_arg(G_OBJECT(d->webrtc), "bundle-policy", "max-bundle");
    gst_bin_add(GST_BIN(d->pipeline.get()), d->webrtc);

    GstWebRTCICE* ice = nullptr;
    g_object_get(d->webrtc, "ice-agent", &ice, nullptr);
    gboolean added = FALSE;
    g_signal_emit_by_name(ice, "add-local-ip-address", "127.0.0.1", &added);
    gst_object_unref(ice);

    g_signal_connect(d->webrtc, "on-ice-candidate", G_CALLBACK(+[](GstElement*, guint mline, gchar* c, gpointer data) {
                         auto* d = static_cast<Impl*>(data);
                         std::lock_guard lock(d->mutex);
                         d->candidates.emplace_back(int(mline), QString::fromUtf8(c));
                     }),
                     d.get());
    g_signal_connect(d->webrtc, "pad-added", G_CALLBACK(+[](GstElement*, GstPad* pad, gpointer data) {
                         if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC)
                             return;
                         auto* d = static_cast<Impl*>(data);
                         CapsPtr caps(gst_pad_get_current_caps(pad));
                         const gchar* name = gst_structure_get_string(gst_caps_get_structure(caps.get(), 0), "encoding-name");
                         const bool h264 = name && g_str_equal(name, "H264");
                         const bool h265 = name && g_str_equal(name, "H265");
                         GstElement* bin = gst_parse_bin_from_description(
                             h264   ? "rtph264depay request-keyframe=true wait-for-keyframe=true ! h264parse ! "
                                      "video/x-h264,alignment=au ! appsink name=sink"
                             : h265 ? "rtph265depay ! h265parse ! video/x-h265,alignment=au ! appsink name=sink"
                                    : "rtpvp8depay ! fakesink",
                             TRUE, nullptr);
                         gst_bin_add(GST_BIN(d->pipeline.get()), bin);
                         if (GstElement* sink = gst_bin_get_by_name(GST_BIN(bin), "sink")) {
                             GstAppSinkCallbacks callbacks{};
                             callbacks.new_sample = onSample;
                             gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, d, nullptr);
                             gst_object_unref(sink);
                         }
                         gst_element_sync_state_with_parent(bin);
                         PadPtr sinkPad(gst_element_get_static_pad(bin, "sink"));
                         gst_pad_link(pad, sinkPad.get());
                     }),
                     d.get());

    gst_element_set_state(d->pipeline.get(), GST_STATE_PLAYING);

    const char* h264 = "application/x-rtp,media=video,encoding-name=H264,payload=102,clock-rate=90000,"
                       "packetization-mode=(string)1,profile-level-id=(string)42e01f";
    const std::string description =
        codec == Codec::H264 ? h264
        : codec == Codec::VP8
            ? "application/x-rtp,media=video,encoding-name=VP8,payload=96,clock-rate=90000"
            : std::string("application/x-rtp,media=video,encoding-name=H265,payload=104,clock-rate=90000;") + h264;
    CapsPtr caps(gst_caps_from_string(description.c_str()));
    GstWebRTCRTPTransceiver* transceiver = nullptr;
    g_signal_emit_by_name(d->webrtc, "add-transceiver", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_RECVONLY, caps.get(),
                          &transceiver);
    if (transceiver)
        gst_object_unref(transceiver);
    GstWebRTCDataChannel* channel = nullptr;
    g_signal_emit_by_name(d->webrtc, "create-data-channel", "input", nullptr, &channel);
    d->channel.reset(channel);
}

GstReceiver::~GstReceiver()
{
    g_signal_handlers_disconnect_by_data(d->webrtc, d.get());
    gst_element_set_state(d->pipeline.get(), GST_STATE_NULL);
}

QString GstReceiver::offer()
{
    PromisePtr create(gst_promise_new());
    g_signal_emit_by_name(d->webrtc, "create-offer", nullptr, create.get());
    GstWebRTCSessionDescription* raw = nullptr;
    gst_structure_get(waitReply(create.get()), "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &raw, nullptr);
    DescriptionPtr offer(raw);
    PromisePtr set(gst_promise_new());
    g_signal_emit_by_name(d->webrtc, "set-local-description", offer.get(), set.get());
    gst_promise_wait(set.get());
    CharPtr text(gst_sdp_message_as_text(offer->sdp));
    return QString::fromUtf8(text.get());
}

void GstReceiver::setAnswer(const QString& sdp)
{
    GstSDPMessage* message = nullptr;
    gst_sdp_message_new_from_text(sdp.toUtf8().constData(), &message);
    DescriptionPtr answer(gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_ANSWER, message));
    PromisePtr set(gst_promise_new());
    g_signal_emit_by_name(d->webrtc, "set-remote-description", answer.get(), set.get());
    gst_promise_wait(set.get());
}

void GstReceiver::addCandidate(int mline, const QString& candidate)
{
    g_signal_emit_by_name(d->webrtc, "add-ice-candidate", guint(mline), candidate.toUtf8().constData());
}

std::vector<std::pair<int, QString>> GstReceiver::takeCandidates()
{
    std::lock_guard lock(d->mutex);
    return std::exchange(d->candidates, {});
}

bool GstReceiver::channelOpen() const
{
    GstWebRTCDataChannelState state{};
    g_object_get(d->channel.get(), "ready-state", &state, nullptr);
    return state == GST_WEBRTC_DATA_CHANNEL_STATE_OPEN;
}

void GstReceiver::send(const QString& text)
{
    gst_webrtc_data_channel_send_string(d->channel.get(), text.toUtf8().constData());
}

int GstReceiver::picturesDecoded() const
{
    std::lock_guard lock(d->mutex);
    return d->decoded;
}

std::optional<GstReceiver::Picture> GstReceiver::lastPicture() const
{
    std::lock_guard lock(d->mutex);
    return d->last;
}
