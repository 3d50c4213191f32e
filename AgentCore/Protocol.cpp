#include "Protocol.h"

#include "Log.h"

#include <QJsonDocument>

namespace core {

namespace {

template <typename T> void put(QJsonObject& o, const char* key, const std::optional<T>& value)
{
    if (value)
        o.insert(QLatin1String(key), QJsonValue(*value));
}

void put(QJsonObject& o, const char* key, const std::optional<quint32>& value)
{
    if (value)
        o.insert(QLatin1String(key), QJsonValue(static_cast<qint64>(*value)));
}

QJsonValue u32(quint32 v) { return QJsonValue(static_cast<qint64>(v)); }

QJsonObject typed(const char* type)
{
    QJsonObject o;
    o.insert(QLatin1String("type"), QLatin1String(type));
    return o;
}

} // namespace

Envelope Envelope::decode(const json::Reader& r) { return {r.string("type"), r.optInteger("id")}; }

HelloParam HelloParam::decode(const json::Reader& r)
{
    return {r.optBool("takeover"), r.optString("ticket"), r.optString("pairCode")};
}
SdpParam SdpParam::decode(const json::Reader& r) { return {r.string("sdp"), r.optString("profile")}; }
IceParam IceParam::decode(const json::Reader& r)
{
    IceParam p;
    p.candidate = r.string("candidate");
    p.sdpMid = r.optString("sdpMid");
    p.sdpMLineIndex = r.int32("sdpMLineIndex");
    return p;
}
DisplayParam DisplayParam::decode(const json::Reader& r) { return {r.uint32("displayId"), r.optString("profile")}; }
PidParam PidParam::decode(const json::Reader& r) { return {r.int32("pid")}; }
QuitParam QuitParam::decode(const json::Reader& r) { return {r.int32("pid"), r.optBool("force")}; }
BundleParam BundleParam::decode(const json::Reader& r) { return {r.string("bundleId")}; }
WindowParam WindowParam::decode(const json::Reader& r) { return {r.uint32("windowId")}; }
ActionParam ActionParam::decode(const json::Reader& r) { return {r.string("action"), r.optInteger("value")}; }
ClipboardParam ClipboardParam::decode(const json::Reader& r) { return {r.optString("text"), r.optString("png")}; }

QJsonObject HelloData::toJson() const
{
    QJsonObject o{{QStringLiteral("agentVersion"), agentVersion},
                  {QStringLiteral("macName"), macName},
                  {QStringLiteral("user"), user},
                  {QStringLiteral("permissions"), permissions.toJson()},
                  {QStringLiteral("locked"), locked},
                  {QStringLiteral("displays"), toJsonArray(displays)}};
    put(o, "configError", configError);
    return o;
}

QJsonObject SdpData::toJson() const { return {{QStringLiteral("sdp"), sdp}}; }

QJsonObject DisplayIdData::toJson() const
{
    QJsonObject o;
    put(o, "displayId", displayId);
    return o;
}

QJsonObject ClipboardData::toJson() const
{
    QJsonObject o;
    put(o, "text", text);
    put(o, "png", png);
    return o;
}

QJsonObject WindowInfo::toJson() const
{
    QJsonObject o{{QStringLiteral("id"), u32(id)}, {QStringLiteral("title"), title},
                  {QStringLiteral("x"), x},        {QStringLiteral("y"), y},
                  {QStringLiteral("width"), width}, {QStringLiteral("height"), height}};
    put(o, "displayId", displayId);
    return o;
}

QJsonObject AppInfo::toJson() const
{
    return {{QStringLiteral("pid"), pid},       {QStringLiteral("bundleId"), bundleId},
            {QStringLiteral("name"), name},     {QStringLiteral("icon"), icon},
            {QStringLiteral("active"), active}, {QStringLiteral("hidden"), hidden},
            {QStringLiteral("windows"), toJsonArray(windows)}};
}

QJsonObject InstalledApp::toJson() const
{
    return {{QStringLiteral("bundleId"), bundleId}, {QStringLiteral("name"), name}};
}

QJsonObject ActionInfo::toJson() const
{
    return {{QStringLiteral("id"), id}, {QStringLiteral("name"), name}, {QStringLiteral("builtin"), builtin}};
}

QJsonObject ActionOutput::toJson() const
{
    return {{QStringLiteral("exitCode"), exitCode}, {QStringLiteral("output"), output}};
}

QJsonObject ThumbEvent::toJson() const
{
    QJsonObject o = typed("thumb");
    o.insert(QStringLiteral("displayId"), u32(displayId));
    o.insert(QStringLiteral("jpeg"), jpeg);
    return o;
}

QJsonObject DisplaysChanged::toJson() const
{
    QJsonObject o = typed("displays.changed");
    o.insert(QStringLiteral("displays"), toJsonArray(displays));
    return o;
}

QJsonObject AppsChanged::toJson() const
{
    QJsonObject o = typed("apps.changed");
    o.insert(QStringLiteral("apps"), toJsonArray(apps));
    return o;
}

QJsonObject StreamEnded::toJson() const
{
    QJsonObject o = typed("stream.ended");
    o.insert(QStringLiteral("reason"), reason);
    return o;
}

QJsonObject StatusChanged::toJson() const
{
    QJsonObject o = typed("status.changed");
    o.insert(QStringLiteral("permissions"), permissions.toJson());
    o.insert(QStringLiteral("locked"), locked);
    return o;
}

QJsonObject IceEvent::toJson() const
{
    QJsonObject o = typed("rtc.ice");
    o.insert(QStringLiteral("candidate"), candidate);
    put(o, "sdpMid", sdpMid);
    o.insert(QStringLiteral("sdpMLineIndex"), sdpMLineIndex);
    return o;
}

QJsonObject Kicked::toJson() const { return typed("kicked"); }

QJsonObject StatsEvent::toJson() const
{
    QJsonObject o = typed("stats");
    put(o, "captureFps", captureFps);
    put(o, "encodeFps", encodeFps);
    put(o, "width", width);
    put(o, "height", height);
    put(o, "encodeMs", encodeMs);
    put(o, "captureMs", captureMs);
    put(o, "convertMs", convertMs);
    put(o, "sendMs", sendMs);
    put(o, "targetKbps", targetKbps);
    put(o, "sentKbps", sentKbps);
    put(o, "limit", limit);
    put(o, "encoder", encoder);
    put(o, "codec", codec);
    return o;
}

QJsonObject ClipboardEvent::toJson() const
{
    QJsonObject o = typed("clipboard");
    put(o, "text", text);
    put(o, "png", png);
    return o;
}

namespace Wire {

QByteArray encode(const QJsonObject& object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }

QByteArray ok(qint64 id)
{
    return encode({{QStringLiteral("type"), QStringLiteral("result")}, {QStringLiteral("id"), id}, {QStringLiteral("ok"), true}});
}

QByteArray ok(qint64 id, const QJsonValue& data)
{
    return encode({{QStringLiteral("type"), QStringLiteral("result")},
                   {QStringLiteral("id"), id},
                   {QStringLiteral("ok"), true},
                   {QStringLiteral("data"), data}});
}

QByteArray fail(qint64 id, const QString& message)
{
    return encode({{QStringLiteral("type"), QStringLiteral("result")},
                   {QStringLiteral("id"), id},
                   {QStringLiteral("ok"), false},
                   {QStringLiteral("error"), message}});
}

json::Reader parse(const QByteArray& bytes) { return json::Reader(json::parseObject(bytes)); }

void badParams(const json::DecodeError& e) { throw AgentError(QStringLiteral("bad params: ") + e.description()); }

} // namespace Wire

} // namespace core
