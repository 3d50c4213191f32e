#pragma once

#include "Display.h"
#include "Json.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <optional>
#include <vector>

// The JSON wire protocol: one object per message; requests carry "type" and "id" beside their
// parameters, replies have "type" "result", events their own "type". Output is compact with sorted
// keys (QJsonObject keeps its keys sorted) and absent optionals are left out.
namespace core {

struct Envelope {
    QString type;
    std::optional<qint64> id;
    static Envelope decode(const json::Reader& r);
};

// Request parameters.
struct HelloParam {
    std::optional<bool> takeover;
    std::optional<QString> ticket;
    std::optional<QString> pairCode;
    static HelloParam decode(const json::Reader& r);
};
struct SdpParam {
    QString sdp;
    std::optional<QString> profile;
    static SdpParam decode(const json::Reader& r);
};
struct IceParam {
    QString candidate;
    std::optional<QString> sdpMid;
    qint32 sdpMLineIndex = 0;
    static IceParam decode(const json::Reader& r);
};
struct DisplayParam {
    quint32 displayId = 0;
    std::optional<QString> profile;
    static DisplayParam decode(const json::Reader& r);
};
struct PidParam {
    qint32 pid = 0;
    static PidParam decode(const json::Reader& r);
};
struct QuitParam {
    qint32 pid = 0;
    std::optional<bool> force;
    static QuitParam decode(const json::Reader& r);
};
struct BundleParam {
    QString bundleId;
    static BundleParam decode(const json::Reader& r);
};
struct WindowParam {
    quint32 windowId = 0;
    static WindowParam decode(const json::Reader& r);
};
struct ActionParam {
    QString action;
    std::optional<qint64> value;
    static ActionParam decode(const json::Reader& r);
};
struct ClipboardParam {
    std::optional<QString> text;
    std::optional<QString> png;
    static ClipboardParam decode(const json::Reader& r);
};

// Reply payloads and shared records.
struct HelloData {
    QString agentVersion;
    QString macName;
    QString user;
    Permissions permissions;
    bool locked = false;
    std::optional<QString> configError;
    std::vector<DisplayInfo> displays;
    QJsonObject toJson() const;
};

struct SdpData {
    QString sdp;
    QJsonObject toJson() const;
};
struct DisplayIdData {
    std::optional<quint32> displayId;
    QJsonObject toJson() const;
};
struct ClipboardData {
    std::optional<QString> text;
    std::optional<QString> png;
    QJsonObject toJson() const;
};
struct WindowInfo {
    quint32 id = 0;
    QString title;
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    std::optional<quint32> displayId;
    QJsonObject toJson() const;
};
struct AppInfo {
    qint32 pid = 0;
    QString bundleId;
    QString name;
    QString icon;
    bool active = false;
    bool hidden = false;
    std::vector<WindowInfo> windows;
    QJsonObject toJson() const;
};
struct InstalledApp {
    QString bundleId;
    QString name;
    QJsonObject toJson() const;
};
struct ActionInfo {
    QString id;
    QString name;
    bool builtin = false;
    QJsonObject toJson() const;
};
struct ActionOutput {
    qint32 exitCode = 0;
    QString output;
    QJsonObject toJson() const;
};

// Events.
struct ThumbEvent {
    quint32 displayId = 0;
    QString jpeg;
    QJsonObject toJson() const;
};
struct DisplaysChanged {
    std::vector<DisplayInfo> displays;
    QJsonObject toJson() const;
};
struct AppsChanged {
    std::vector<AppInfo> apps;
    QJsonObject toJson() const;
};
struct StreamEnded {
    QString reason;
    QJsonObject toJson() const;
};
struct StatusChanged {
    Permissions permissions;
    bool locked = false;
    QJsonObject toJson() const;
};
struct IceEvent {
    QString candidate;
    std::optional<QString> sdpMid;
    qint32 sdpMLineIndex = 0;
    QJsonObject toJson() const;
};
struct Kicked {
    QJsonObject toJson() const;
};
struct StatsEvent {
    std::optional<qint64> captureFps;
    std::optional<double> encodeFps;
    std::optional<qint64> width;
    std::optional<qint64> height;
    std::optional<double> encodeMs;
    std::optional<qint64> targetKbps;
    std::optional<qint64> sentKbps;
    std::optional<QString> limit;
    std::optional<QString> encoder;
    std::optional<QString> codec;
    // Per frame: reading the screen, converting the picture, and after the encoder payloading and
    // sending.
    std::optional<double> captureMs;
    std::optional<double> convertMs;
    std::optional<double> sendMs;
    QJsonObject toJson() const;
};
struct ClipboardEvent {
    std::optional<QString> text;
    std::optional<QString> png;
    QJsonObject toJson() const;
};

template <typename T> QJsonArray toJsonArray(const std::vector<T>& items)
{
    QJsonArray out;
    for (const T& item : items)
        out.append(item.toJson());
    return out;
}

namespace Wire {

QByteArray encode(const QJsonObject& object);

QByteArray ok(qint64 id);
QByteArray ok(qint64 id, const QJsonValue& data);
template <typename T> QByteArray ok(qint64 id, const T& data) { return ok(id, QJsonValue(data.toJson())); }
template <typename T> QByteArray ok(qint64 id, const std::vector<T>& data) { return ok(id, QJsonValue(toJsonArray(data))); }
QByteArray fail(qint64 id, const QString& message);
template <typename E> QByteArray event(const E& e) { return encode(e.toJson()); }

// Parses a complete message; throws json::DecodeError when it is not a JSON object.
json::Reader parse(const QByteArray& bytes);

// Decodes a parameter type from a complete message; throws AgentError "bad params: ...".
[[noreturn]] void badParams(const json::DecodeError& e);
template <typename T> T decode(const QByteArray& bytes)
{
    try {
        return T::decode(parse(bytes));
    } catch (const json::DecodeError& e) {
        badParams(e);
    }
}

} // namespace Wire

} // namespace core
