#pragma once

// Owning references to GStreamer and GLib objects. Include only in OS-layer files.
// webrtcbin's library is marked unstable API in 1.22; the agent pins the version it targets.
#define GST_USE_UNSTABLE_API
#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

#include "FreeWith.h"

#include <memory>

namespace core::gst {

using ElementPtr = std::unique_ptr<GstElement, FreeWith<gst_object_unref>>;
using PadPtr = std::unique_ptr<GstPad, FreeWith<gst_object_unref>>;
using BusPtr = std::unique_ptr<GstBus, FreeWith<gst_object_unref>>;
using CapsPtr = std::unique_ptr<GstCaps, FreeWith<gst_caps_unref>>;
using StructurePtr = std::unique_ptr<GstStructure, FreeWith<gst_structure_free>>;
using PromisePtr = std::unique_ptr<GstPromise, FreeWith<gst_promise_unref>>;
using SdpPtr = std::unique_ptr<GstSDPMessage, FreeWith<gst_sdp_message_free>>;
using DescriptionPtr = std::unique_ptr<GstWebRTCSessionDescription, FreeWith<gst_webrtc_session_description_free>>;
using CharPtr = std::unique_ptr<gchar, FreeWith<g_free>>;
using ErrorPtr = std::unique_ptr<GError, FreeWith<g_error_free>>;
template <typename T> using GObjectPtr = std::unique_ptr<T, FreeWith<g_object_unref>>;

} // namespace core::gst
