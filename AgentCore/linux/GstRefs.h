#pragma once

// Owning references to GStreamer and GLib objects. Include only in OS-layer files.
// webrtcbin's library is marked unstable API in 1.22; the agent pins the version it targets.
#define GST_USE_UNSTABLE_API
#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

#include <memory>

namespace core::gst {

struct ObjectUnref {
    void operator()(gpointer object) const { gst_object_unref(object); }
};
struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct CapsUnref {
    void operator()(GstCaps* caps) const { gst_caps_unref(caps); }
};
struct StructureFree {
    void operator()(GstStructure* s) const { gst_structure_free(s); }
};
struct PromiseUnref {
    void operator()(GstPromise* p) const { gst_promise_unref(p); }
};
struct SdpFree {
    void operator()(GstSDPMessage* m) const { gst_sdp_message_free(m); }
};
struct DescriptionFree {
    void operator()(GstWebRTCSessionDescription* d) const { gst_webrtc_session_description_free(d); }
};
struct GFree {
    void operator()(gpointer p) const { g_free(p); }
};
struct ErrorFree {
    void operator()(GError* e) const { g_error_free(e); }
};

using ElementPtr = std::unique_ptr<GstElement, ObjectUnref>;
using PadPtr = std::unique_ptr<GstPad, ObjectUnref>;
using CapsPtr = std::unique_ptr<GstCaps, CapsUnref>;
using StructurePtr = std::unique_ptr<GstStructure, StructureFree>;
using PromisePtr = std::unique_ptr<GstPromise, PromiseUnref>;
using SdpPtr = std::unique_ptr<GstSDPMessage, SdpFree>;
using DescriptionPtr = std::unique_ptr<GstWebRTCSessionDescription, DescriptionFree>;
using CharPtr = std::unique_ptr<gchar, GFree>;
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;
template <typename T> using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

} // namespace core::gst
