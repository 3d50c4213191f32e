#include "linux/WebRtcPipeline.h"

#include "Log.h"
#include "Threads.h"
#include "CapturePacing.h"
#include "linux/GstRefs.h"

#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace core::gst {

namespace {

using Clock = std::chrono::steady_clock;

void initOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { gst_init(nullptr, nullptr); });
}

ElementPtr make(const char* factory)
{
    GstElement* e = gst_element_factory_make(factory, nullptr);
    if (!e)
        return nullptr;
    // The pipeline takes the floating reference; this pointer keeps one of its own.
    return ElementPtr(GST_ELEMENT(gst_object_ref_sink(e)));
}

// A GstPromise whose reply goes to `fn` on whatever thread answers it.
using Reply = std::function<void(const GstStructure* reply, QString error)>;
GstPromise* promiseFor(Reply fn)
{
    auto* holder = new Reply(std::move(fn)); // owned by the promise, freed by its destroy notify
    return gst_promise_new_with_change_func(
        [](GstPromise* promise, gpointer data) {
            const Reply& reply = *static_cast<Reply*>(data);
            if (gst_promise_wait(promise) != GST_PROMISE_RESULT_REPLIED)
                return reply(nullptr, QStringLiteral("no answer"));
            const GstStructure* s = gst_promise_get_reply(promise);
            GError* raw = nullptr;
            if (s && gst_structure_has_field(s, "error"))
                gst_structure_get(s, "error", G_TYPE_ERROR, &raw, nullptr);
            ErrorPtr error(raw);
            reply(s, error ? QString::fromUtf8(error->message) : QString());
        },
        holder, [](gpointer data) { std::unique_ptr<Reply>(static_cast<Reply*>(data)); });
}

std::optional<double> numberField(const GstStructure* s, const char* field)
{
    const GValue* v = gst_structure_get_value(s, field);
    if (!v)
        return std::nullopt;
    switch (G_VALUE_TYPE(v)) {
    case G_TYPE_DOUBLE: return g_value_get_double(v);
    case G_TYPE_FLOAT: return g_value_get_float(v);
    case G_TYPE_INT: return g_value_get_int(v);
    case G_TYPE_UINT: return g_value_get_uint(v);
    case G_TYPE_INT64: return static_cast<double>(g_value_get_int64(v));
    case G_TYPE_UINT64: return static_cast<double>(g_value_get_uint64(v));
    default: return std::nullopt;
    }
}

VideoFramePtr blackFrame(int width, int height)
{
    struct Owned {
        std::vector<uint8_t> pixels;
        VideoFrame frame;
    };
    auto owned = std::make_shared<Owned>();
    owned->pixels.assign(size_t(width) * height, 0);
    owned->pixels.resize(size_t(width) * height * 3 / 2, 128);
    owned->frame = VideoFrame{width, height, width, width, owned->pixels.data(),
                              owned->pixels.data() + size_t(width) * height, 0};
    return VideoFramePtr(owned, &owned->frame);
}

void releaseFrame(gpointer data) { std::unique_ptr<VideoFramePtr>(static_cast<VideoFramePtr*>(data)); }

int64_t threadCpuNs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

} // namespace

// State reached from GStreamer's threads. It lives until the pipeline has stopped.
struct Shared {
    WebRtcPipeline::Events events;
    std::mutex mutex;
    GObjectPtr<GstWebRTCDataChannel> channel;
    std::deque<Clock::time_point> inEncoder; // frames that entered the encoder, oldest first
    // Until the answer is set, encoded frames only carry caps to webrtcbin and are dropped.
    std::atomic<bool> priming = true;
    EncoderStats encoder;
    int64_t lastCaptured = 0;         // time stamp of the last frame counted as captured
    std::optional<int64_t> sendMark; // the encoder thread's CPU time when its last frame left x264
    // What a frame usually spends in the encoder, and in capture and conversion (moving averages).
    std::chrono::nanoseconds encodeTakes{0};
    std::chrono::nanoseconds captureTakes{0};
};

namespace {

// A moving average that follows a change of load within a few frames.
void follow(std::chrono::nanoseconds& average, std::chrono::nanoseconds sample)
{
    average = average.count() == 0 ? sample : (average * 7 + sample) / 8;
}

} // namespace

struct WebRtcPipeline::Impl {
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();
    ElementPtr pipeline;
    std::shared_ptr<GstElement> webrtc; // shared with promise callbacks that may outlive a step
    ElementPtr appsrc;
    ElementPtr encoder;
    PadPtr sinkPad;
    std::mutex pushMutex;
    int capsWidth = 0;
    int capsHeight = 0;
    int capsFps = 0;
    std::atomic<int> fps = 60;
    std::atomic<bool> closed = false;
    bool busWatch = false;
    QPointer<QObject> owner;
};

WebRtcPipeline::WebRtcPipeline(Events events, bool loopbackIce, QObject* owner)
    : d(std::make_unique<Impl>())
{
    initOnce();
    d->owner = owner;
    // GStreamer signals from its own threads; the owner hears everything on the main thread.
    Events& delivered = d->shared->events;
    delivered.candidate = onMainWhile(d->owner, std::move(events.candidate));
    delivered.message = onMainWhile(d->owner, std::move(events.message));
    delivered.iceState = onMainWhile(d->owner, std::move(events.iceState));
    delivered.channelClosed = onMainWhile(d->owner, std::move(events.channelClosed));
    delivered.failed = onMainWhile(d->owner, std::move(events.failed));
    d->pipeline = ElementPtr(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new("rtc"))));
    // The bus is watched on the main loop (Qt runs GLib's default context): webrtcbin adds its
    // transport elements while playing, so the pipeline's latency must be recomputed when they
    // ask; errors are logged. An error means the connection no longer works: when the phone
    // closes its peer connection, neither the ICE state nor the data channel tells (webrtcbin
    // ignores the peer's SCTP abort and consent checks are off), but the next packet sent to the
    // closed port fails to write.
    {
        BusPtr bus(gst_pipeline_get_bus(GST_PIPELINE(d->pipeline.get())));
        gst_bus_add_watch(bus.get(), +[](GstBus*, GstMessage* message, gpointer data) -> gboolean {
            auto* impl = static_cast<Impl*>(data);
            if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_LATENCY) {
                gst_bin_recalculate_latency(GST_BIN(impl->pipeline.get()));
            } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
                GError* raw = nullptr;
                gst_message_parse_error(message, &raw, nullptr);
                ErrorPtr error(raw);
                log(QStringLiteral("rtc: ") + QString::fromUtf8(error ? error->message : "pipeline error"));
                if (!impl->closed && impl->shared->events.failed)
                    impl->shared->events.failed();
            }
            return G_SOURCE_CONTINUE;
        }, d.get());
        d->busWatch = true;
    }
    // Retransmissions answer the receiver's NACKs from a history of what was sent. By default it
    // holds 100 packets, a fraction of a second of video, so a burst of loss outlives it; the
    // receiver then waits seconds before it gives up and asks for a keyframe, and the picture
    // freezes meanwhile. One second of packets covers a few round trips at any bitrate.
    g_signal_connect(d->pipeline.get(), "deep-element-added",
                     G_CALLBACK(+[](GstBin*, GstBin*, GstElement* element, gpointer) {
                         GstElementFactory* factory = gst_element_get_factory(element);
                         if (factory && g_str_equal(GST_OBJECT_NAME(factory), "rtprtxsend"))
                             g_object_set(element, "max-size-packets", 0u, "max-size-time", 1000u, nullptr);
                     }),
                     nullptr);
    ElementPtr webrtc = make("webrtcbin");
    if (!webrtc)
        return;
    gst_util_set_object_arg(G_OBJECT(webrtc.get()), "bundle-policy", "max-bundle");
    gst_bin_add(GST_BIN(d->pipeline.get()), webrtc.get());
    d->webrtc = std::shared_ptr<GstElement>(webrtc.release(), [](GstElement* e) { gst_object_unref(e); });
    GstElement* w = d->webrtc.get();
    Shared* shared = d->shared.get();

    GstWebRTCICE* rawIce = nullptr;
    g_object_get(w, "ice-agent", &rawIce, nullptr);
    if (const GObjectPtr<GstWebRTCICE> ice{rawIce}) {
        if (loopbackIce) {
            gboolean added = FALSE;
            g_signal_emit_by_name(ice.get(), "add-local-ip-address", "127.0.0.1", &added);
        }
        // Only the machine's own addresses are offered, so asking the LAN's routers for port
        // mappings (UPnP, which multicasts SSDP searches from every interface) serves nothing.
        GObject* rawAgent = nullptr;
        if (g_object_class_find_property(G_OBJECT_GET_CLASS(ice.get()), "agent"))
            g_object_get(ice.get(), "agent", &rawAgent, nullptr);
        if (const GObjectPtr<GObject> agent{rawAgent}; agent && g_object_class_find_property(G_OBJECT_GET_CLASS(agent.get()), "upnp"))
            g_object_set(agent.get(), "upnp", FALSE, nullptr);
    }

    g_signal_connect(w, "on-ice-candidate", G_CALLBACK(+[](GstElement*, guint mline, gchar* candidate, gpointer data) {
                         const QString text = QString::fromUtf8(candidate);
                         // Only the machine's own addresses are offered.
                         if (!text.contains(QLatin1String(" typ host")))
                             return;
                         auto* s = static_cast<Shared*>(data);
                         if (s->events.candidate)
                             s->events.candidate(mline, text);
                     }),
                     shared);
    g_signal_connect(w, "notify::ice-connection-state", G_CALLBACK(+[](GstElement* e, GParamSpec*, gpointer data) {
                         GstWebRTCICEConnectionState state{};
                         g_object_get(e, "ice-connection-state", &state, nullptr);
                         auto* s = static_cast<Shared*>(data);
                         const bool gone = state == GST_WEBRTC_ICE_CONNECTION_STATE_FAILED
                             || state == GST_WEBRTC_ICE_CONNECTION_STATE_DISCONNECTED
                             || state == GST_WEBRTC_ICE_CONNECTION_STATE_CLOSED;
                         if (s->events.iceState)
                             s->events.iceState(int(state), gone);
                     }),
                     shared);
    g_signal_connect(w, "on-data-channel", G_CALLBACK(+[](GstElement*, GstWebRTCDataChannel* channel, gpointer data) {
                         auto* s = static_cast<Shared*>(data);
                         g_signal_connect(channel, "on-message-string", G_CALLBACK(+[](GstWebRTCDataChannel*, gchar* text, gpointer data) {
                                              auto* s = static_cast<Shared*>(data);
                                              if (text && s->events.message)
                                                  s->events.message(QByteArray(text));
                                          }),
                                          s);
                         g_signal_connect(channel, "on-message-data", G_CALLBACK(+[](GstWebRTCDataChannel*, GBytes* bytes, gpointer data) {
                                              auto* s = static_cast<Shared*>(data);
                                              gsize size = 0;
                                              const auto* raw = static_cast<const char*>(bytes ? g_bytes_get_data(bytes, &size) : nullptr);
                                              if (s->events.message)
                                                  s->events.message(QByteArray(raw, qsizetype(size)));
                                          }),
                                          s);
                         // A peer that closes its connection resets the channel's stream, and
                         // webrtcbin may never report that through the ICE state.
                         g_signal_connect(channel, "on-close", G_CALLBACK(+[](GstWebRTCDataChannel*, gpointer data) {
                                              auto* s = static_cast<Shared*>(data);
                                              if (s->events.channelClosed)
                                                  s->events.channelClosed();
                                          }),
                                          s);
                         std::lock_guard lock(s->mutex);
                         // The last channel the phone opened is the one kept.
                         s->channel.reset(GST_WEBRTC_DATA_CHANNEL(g_object_ref(channel)));
                     }),
                     shared);
}

WebRtcPipeline::~WebRtcPipeline() { close(); }

std::optional<QString> WebRtcPipeline::h265Encoder()
{
    initOnce();
    for (const char* name : {"vah265enc", "vah265lpenc", "vaapih265enc"}) {
        if (GstElementFactory* f = gst_element_factory_find(name)) {
            gst_object_unref(f);
            return QString::fromLatin1(name);
        }
    }
    return std::nullopt;
}

bool WebRtcPipeline::prepare(const QString& codec, int payloadType, qint64 startKbps, std::function<void()> ready)
{
    if (!d->webrtc)
        return false;
    const bool h265 = codec == QLatin1String("H265");
    const QString encoderName = h265 ? h265Encoder().value_or(QString()) : QStringLiteral("x264enc");

    ElementPtr src = make("appsrc");
    ElementPtr enc = make(encoderName.toLatin1().constData());
    ElementPtr filter = make("capsfilter");
    ElementPtr pay = make(h265 ? "rtph265pay" : "rtph264pay");
    if (!src || !enc || !filter || !pay)
        return false;

    g_object_set(src.get(), "is-live", TRUE, "do-timestamp", TRUE, "format", GST_FORMAT_TIME, "block", FALSE,
                 "max-buffers", guint64(2), nullptr);
    gst_util_set_object_arg(G_OBJECT(src.get()), "leaky-type", "downstream");

    if (h265) {
        g_object_set(enc.get(), "bitrate", guint(startKbps), nullptr);
    } else {
        // Zero latency: no B-frames, no lookahead, sliced threads (one slice per thread; Chromium
        // mishandles more than 4 slices).
        const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
        gst_util_set_object_arg(G_OBJECT(enc.get()), "tune", "zerolatency");
        gst_util_set_object_arg(G_OBJECT(enc.get()), "speed-preset", "ultrafast");
        g_object_set(enc.get(), "bframes", 0u, "rc-lookahead", 0, "sliced-threads", TRUE, "threads", threads,
                     "key-int-max", 0u, "bitrate", guint(startKbps), "vbv-buf-capacity", 500u, nullptr);
    }
    CapsPtr encoded(gst_caps_from_string(h265 ? "video/x-h265,stream-format=byte-stream,alignment=au"
                                              : "video/x-h264,profile=constrained-baseline,stream-format=byte-stream,alignment=au"));
    g_object_set(filter.get(), "caps", encoded.get(), nullptr);
    g_object_set(pay.get(), "pt", guint(payloadType), "config-interval", -1, "mtu", 1200u, nullptr);
    gst_util_set_object_arg(G_OBJECT(pay.get()), "aggregate-mode", "zero-latency");

    GstBin* bin = GST_BIN(d->pipeline.get());
    gst_bin_add_many(bin, src.get(), enc.get(), filter.get(), pay.get(), nullptr);
    gst_element_link_many(src.get(), enc.get(), filter.get(), pay.get(), nullptr);

    // The agent measures its encoder: time from input to output per frame, frames, size.
    Shared* shared = d->shared.get();
    shared->encoder.name = encoderName;
    PadPtr encIn(gst_element_get_static_pad(enc.get(), "sink"));
    PadPtr encOut(gst_element_get_static_pad(enc.get(), "src"));
    gst_pad_add_probe(encIn.get(), GST_PAD_PROBE_TYPE_BUFFER, +[](GstPad*, GstPadProbeInfo*, gpointer data) {
        auto* s = static_cast<Shared*>(data);
        std::lock_guard lock(s->mutex);
        s->inEncoder.push_back(Clock::now());
        if (s->inEncoder.size() > 64)
            s->inEncoder.pop_front();
        // Payloading, encryption and sending of the previous frame ran on this thread, the one
        // that feeds the encoder, between that frame leaving x264 and this one entering it; its
        // CPU time leaves out the waits for the next capture.
        if (s->sendMark) {
            s->encoder.sendSeconds += double(threadCpuNs() - *s->sendMark) / 1e9;
            s->sendMark.reset();
        }
        return GST_PAD_PROBE_OK;
    }, shared, nullptr);
    // Frames leave a zero-latency encoder in the order they entered it. (Output timestamps are
    // shifted by the encoder's minimum PTS, so they cannot be matched by value.)
    gst_pad_add_probe(encOut.get(), GST_PAD_PROBE_TYPE_BUFFER, +[](GstPad*, GstPadProbeInfo*, gpointer data) {
        auto* s = static_cast<Shared*>(data);
        std::lock_guard lock(s->mutex);
        if (s->inEncoder.empty())
            return GST_PAD_PROBE_OK;
        const auto took = Clock::now() - s->inEncoder.front();
        s->inEncoder.pop_front();
        follow(s->encodeTakes, took);
        s->encoder.framesEncoded += 1;
        s->encoder.encodeSeconds += std::chrono::duration<double>(took).count();
        s->sendMark = threadCpuNs();
        return GST_PAD_PROBE_OK;
    }, shared, nullptr);

    GstPad* sink = gst_element_request_pad_simple(d->webrtc.get(), "sink_%u");
    d->sinkPad.reset(sink);
    PadPtr payOut(gst_element_get_static_pad(pay.get(), "src"));
    gst_pad_link(payOut.get(), sink);
    // Sticky events (the caps) still reach webrtcbin when the buffer behind them is dropped.
    gst_pad_add_probe(payOut.get(), GST_PAD_PROBE_TYPE_BUFFER, +[](GstPad*, GstPadProbeInfo*, gpointer data) {
        return static_cast<Shared*>(data)->priming ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
    }, shared, nullptr);

    GstWebRTCRTPTransceiver* raw = nullptr;
    g_object_get(sink, "transceiver", &raw, nullptr);
    GObjectPtr<GstWebRTCRTPTransceiver> transceiver(raw);
    // The payload type is pinned to the offer's; the profile stays out (webrtcbin compares it as
    // a profile name, not as profile-level-id).
    CapsPtr prefs(gst_caps_new_simple("application/x-rtp", "media", G_TYPE_STRING, "video", "encoding-name",
                                      G_TYPE_STRING, h265 ? "H265" : "H264", "clock-rate", G_TYPE_INT, 90000,
                                      "payload", G_TYPE_INT, payloadType, nullptr));
    // The stream is called "screen" (webrtcbin names the track after its transceiver).
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(sink), "msid"))
        g_object_set(sink, "msid", "screen", nullptr);
    if (transceiver)
        g_object_set(transceiver.get(), "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY, "do-nack", TRUE,
                     "codec-preferences", prefs.get(), nullptr);

    auto once = std::make_shared<std::function<void()>>(onMainWhile(d->owner, std::move(ready)));
    gst_pad_add_probe(sink, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, +[](GstPad*, GstPadProbeInfo* info, gpointer data) {
        if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) != GST_EVENT_CAPS)
            return GST_PAD_PROBE_OK;
        auto& fn = *static_cast<std::shared_ptr<std::function<void()>>*>(data);
        if (*fn)
            (*fn)();
        return GST_PAD_PROBE_REMOVE;
    }, new std::shared_ptr<std::function<void()>>(once), // owned by the probe, freed by its destroy notify
      [](gpointer data) { std::unique_ptr<std::shared_ptr<std::function<void()>>>(static_cast<std::shared_ptr<std::function<void()>>*>(data)); });

    d->appsrc = std::move(src);
    d->encoder = std::move(enc);
    gst_element_set_state(d->pipeline.get(), GST_STATE_PLAYING);
    // One small frame carries the caps to webrtcbin before any capture exists.
    push(blackFrame(64, 64));
    return true;
}

void WebRtcPipeline::negotiate(const QString& offer, std::function<void(std::optional<QString>, QString)> answered)
{
    const auto done = onMainWhile(d->owner, std::move(answered));
    if (!d->webrtc)
        return done(std::nullopt, QStringLiteral("webrtcbin is not available"));
    GstSDPMessage* rawSdp = nullptr;
    const QByteArray text = offer.toUtf8();
    if (gst_sdp_message_new_from_text(text.constData(), &rawSdp) != GST_SDP_OK)
        return done(std::nullopt, QStringLiteral("invalid offer"));
    DescriptionPtr description(gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_OFFER, rawSdp));

    auto webrtc = d->webrtc;
    auto shared = d->shared;
    GstPromise* setRemote = promiseFor([webrtc, shared, done](const GstStructure*, QString error) {
        if (!error.isEmpty())
            return done(std::nullopt, error);
        GstPromise* create = promiseFor([webrtc, shared, done](const GstStructure* reply, QString error) {
            if (!error.isEmpty())
                return done(std::nullopt, error);
            GstWebRTCSessionDescription* raw = nullptr;
            if (reply)
                gst_structure_get(reply, "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &raw, nullptr);
            DescriptionPtr answer(raw);
            if (!answer)
                return done(std::nullopt, QStringLiteral("no answer"));
            CharPtr sdpText(gst_sdp_message_as_text(answer->sdp));
            QString sdp = QString::fromUtf8(sdpText.get());
            GstPromise* setLocal = promiseFor([done, sdp, shared](const GstStructure*, QString error) {
                if (!error.isEmpty())
                    return done(std::nullopt, error);
                shared->priming = false;
                done(sdp, QString());
            });
            g_signal_emit_by_name(webrtc.get(), "set-local-description", answer.get(), setLocal);
            gst_promise_unref(setLocal);
        });
        g_signal_emit_by_name(webrtc.get(), "create-answer", nullptr, create);
        gst_promise_unref(create);
    });
    g_signal_emit_by_name(d->webrtc.get(), "set-remote-description", description.get(), setRemote);
    gst_promise_unref(setRemote);
}

void WebRtcPipeline::addCandidate(unsigned mline, const QString& candidate)
{
    if (d->webrtc && !d->closed)
        g_signal_emit_by_name(d->webrtc.get(), "add-ice-candidate", mline, candidate.toUtf8().constData());
}

void WebRtcPipeline::push(const VideoFramePtr& frame)
{
    if (!frame || d->closed || !d->appsrc)
        return;
    std::lock_guard lock(d->pushMutex);
    GstAppSrc* src = GST_APP_SRC(d->appsrc.get());
    const int fps = d->fps;
    if (frame->width != d->capsWidth || frame->height != d->capsHeight || fps != d->capsFps) {
        // WORKAROUND: x264 holds one frame back on variable-rate input (framerate 0/1); a nominal
        // rate keeps it at zero delay. Buffers still carry their real capture times.
        CapsPtr caps(gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "NV12", "width", G_TYPE_INT,
                                         frame->width, "height", G_TYPE_INT, frame->height, "framerate",
                                         GST_TYPE_FRACTION, fps, 1, "colorimetry", G_TYPE_STRING, "1:4:0:0", nullptr));
        gst_app_src_set_caps(src, caps.get());
        d->capsWidth = frame->width;
        d->capsHeight = frame->height;
        d->capsFps = fps;
        std::lock_guard statsLock(d->shared->mutex);
        d->shared->encoder.width = frame->width;
        d->shared->encoder.height = frame->height;
    }
    if (frame->timestampNs != d->shared->lastCaptured) {
        // The idle repeat pushes the same capture again; it cost nothing to make.
        std::lock_guard statsLock(d->shared->mutex);
        d->shared->lastCaptured = frame->timestampNs;
        d->shared->encoder.framesCaptured += 1;
        d->shared->encoder.captureSeconds += double(frame->captureNs) / 1e9;
        d->shared->encoder.convertSeconds += double(frame->convertNs) / 1e9;
        follow(d->shared->captureTakes, std::chrono::nanoseconds(frame->captureNs + frame->convertNs));
    }

    const gsize ySize = gsize(frame->strideY) * frame->height;
    const gsize uvSize = gsize(frame->strideUV) * (frame->height / 2);
    GstBuffer* buffer = nullptr;
    // The buffer borrows the frame's planes; each wrapped memory holds a reference to the frame.
    if (frame->uv == frame->y + ySize) {
        buffer = gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, const_cast<uint8_t*>(frame->y), ySize + uvSize,
                                             0, ySize + uvSize, new VideoFramePtr(frame), releaseFrame);
    } else {
        buffer = gst_buffer_new();
        gst_buffer_append_memory(buffer, gst_memory_new_wrapped(GST_MEMORY_FLAG_READONLY, const_cast<uint8_t*>(frame->y),
                                                                ySize, 0, ySize, new VideoFramePtr(frame), releaseFrame));
        gst_buffer_append_memory(buffer, gst_memory_new_wrapped(GST_MEMORY_FLAG_READONLY, const_cast<uint8_t*>(frame->uv),
                                                                uvSize, 0, uvSize, new VideoFramePtr(frame), releaseFrame));
    }
    gsize offsets[GST_VIDEO_MAX_PLANES] = {0, ySize, 0, 0};
    gint strides[GST_VIDEO_MAX_PLANES] = {frame->strideY, frame->strideUV, 0, 0};
    gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_NV12, guint(frame->width),
                                   guint(frame->height), 2, offsets, strides);
    gst_app_src_push_buffer(src, buffer); // takes the buffer
}

bool WebRtcPipeline::readyForFrame() const
{
    {
        std::lock_guard lock(d->pushMutex);
        if (d->closed || !d->appsrc)
            return true;
        guint64 level = 0;
        g_object_get(d->appsrc.get(), "current-level-buffers", &level, nullptr);
        if (level > 0)
            return false;
    }
    std::lock_guard lock(d->shared->mutex);
    const Shared& s = *d->shared;
    return s.inEncoder.empty() || encoderFreeInTime(Clock::now() - s.inEncoder.front(), s.encodeTakes, s.captureTakes);
}

void WebRtcPipeline::setBitrate(qint64 kbps)
{
    if (d->encoder && !d->closed)
        g_object_set(d->encoder.get(), "bitrate", guint(std::max<qint64>(kbps, 1)), nullptr);
}

void WebRtcPipeline::setFrameRate(int fps) { d->fps = std::max(fps, 1); }

void WebRtcPipeline::requestKeyframe()
{
    if (!d->encoder || d->closed)
        return;
    PadPtr out(gst_element_get_static_pad(d->encoder.get(), "src"));
    gst_pad_send_event(out.get(), gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
}

void WebRtcPipeline::linkStats(std::function<void(const LinkStats&)> measured)
{
    const auto done = onMainWhile(d->owner, std::move(measured));
    if (!d->webrtc || d->closed)
        return done({});
    GstPromise* promise = promiseFor([done](const GstStructure* reply, QString) {
        LinkStats stats;
        if (!reply)
            return done(stats);
        gst_structure_foreach(reply, +[](GQuark, const GValue* value, gpointer data) -> gboolean {
            if (!GST_VALUE_HOLDS_STRUCTURE(value))
                return TRUE;
            const GstStructure* s = gst_value_get_structure(value);
            GstWebRTCStatsType type{};
            if (!gst_structure_get(s, "type", GST_TYPE_WEBRTC_STATS_TYPE, &type, nullptr))
                return TRUE;
            auto& out = *static_cast<LinkStats*>(data);
            if (type == GST_WEBRTC_STATS_OUTBOUND_RTP) {
                if (auto bytes = numberField(s, "bytes-sent"))
                    out.bytesSent = std::max(out.bytesSent.value_or(0), *bytes);
                if (auto packets = numberField(s, "packets-sent"))
                    out.packetsSent = std::max(out.packetsSent.value_or(0), *packets);
            } else if (type == GST_WEBRTC_STATS_REMOTE_INBOUND_RTP) {
                if (auto lost = numberField(s, "packets-lost"))
                    out.packetsLost = std::max(out.packetsLost.value_or(0), *lost);
                // Retransmissions may have a report of their own: the worst one counts.
                if (auto lost = numberField(s, "fraction-lost"))
                    out.fractionLost = std::max(out.fractionLost.value_or(0), *lost);
                if (auto rtt = numberField(s, "round-trip-time"))
                    out.rttSeconds = *rtt;
            }
            return TRUE;
        }, &stats);
        done(stats);
    });
    g_signal_emit_by_name(d->webrtc.get(), "get-stats", nullptr, promise);
    gst_promise_unref(promise);
}

EncoderStats WebRtcPipeline::encoderStats() const
{
    std::lock_guard lock(d->shared->mutex);
    return d->shared->encoder;
}

void WebRtcPipeline::close()
{
    if (d->closed.exchange(true))
        return;
    GObjectPtr<GstWebRTCDataChannel> channel;
    {
        std::lock_guard lock(d->shared->mutex);
        channel = std::move(d->shared->channel);
    }
    if (channel) {
        g_signal_handlers_disconnect_by_data(channel.get(), d->shared.get());
        gst_webrtc_data_channel_close(channel.get());
    }
    if (d->webrtc)
        g_signal_handlers_disconnect_by_data(d->webrtc.get(), d->shared.get());
    if (d->pipeline) {
        gst_element_set_state(d->pipeline.get(), GST_STATE_NULL);
        if (d->busWatch) {
            BusPtr bus(gst_pipeline_get_bus(GST_PIPELINE(d->pipeline.get())));
            gst_bus_remove_watch(bus.get());
        }
    }
}

} // namespace core::gst
