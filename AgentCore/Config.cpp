#include "Config.h"

#include "Builtins.h"
#include "Json.h"
#include "Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

namespace core {

namespace {

const QString kPrefix = QStringLiteral("config.json: ");
// Far above any real configuration (a few hundred custom actions).
constexpr qint64 kMaxFileBytes = 1024 * 1024;
constexpr qint64 kMaxThumbWidth = 3840;
constexpr qint64 kMaxThumbIntervalMs = 3600000;

void readProfile(const json::Reader& stream, const char* key, Config::Profile& profile)
{
    const auto p = stream.optObject(key);
    if (!p)
        return;
    if (auto v = p->optInteger("maxEdge"))
        profile.maxEdge = *v;
    if (auto v = p->optInteger("maxFps"))
        profile.maxFps = *v;
    if (auto v = p->optInteger("maxKbps"))
        profile.maxKbps = *v;
}

bool profileValid(const Config::Profile& p)
{
    return (p.maxEdge == 0 || p.maxEdge >= 320) && p.maxFps >= 1 && p.maxFps <= 120 && p.maxKbps >= 500
        && p.maxKbps <= 200000;
}

} // namespace

const Config::Profile& Config::Stream::profile(const std::optional<QString>& name) const
{
    if (!name || *name == QLatin1String("full"))
        return full;
    if (*name == QLatin1String("light"))
        return light;
    throw AgentError(QStringLiteral("unknown profile \"%1\"").arg(*name));
}

QString Config::defaultPath()
{
    return QDir::homePath() + QStringLiteral("/.config/nembi-remote-agent/config.json");
}

Config Config::decode(const QByteArray& bytes)
{
    const json::Reader root(json::parseObject(bytes));
    Config c;
    if (auto v = root.optInteger("port"))
        c.port = *v;
    c.owner = root.optString("owner");
    c.api = root.optString("api");
    if (auto s = root.optObject("stream")) {
        readProfile(*s, "full", c.stream.full);
        readProfile(*s, "light", c.stream.light);
        if (auto v = s->optBool("h265"))
            c.stream.h265 = *v;
    }
    if (auto t = root.optObject("thumbs")) {
        if (auto v = t->optInteger("width"))
            c.thumbs.width = *v;
        if (auto v = t->optInteger("intervalMs"))
            c.thumbs.intervalMs = *v;
    }
    if (auto cb = root.optObject("clipboard")) {
        if (auto v = cb->optBool("sync"))
            c.clipboard.sync = *v;
    }
    if (auto list = root.optArray("actions")) {
        for (qsizetype i = 0; i < list->size(); ++i) {
            const json::Reader a = root.element(*list, i, "actions");
            c.actions.push_back({a.string("id"), a.string("name"), a.string("run")});
        }
    }
    return c;
}

std::pair<Config, std::optional<QString>> Config::load(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return {Config(), std::nullopt};
    // Opening a FIFO would wait for a writer, and a device could be read forever: only a regular
    // file of sensible size is read.
    if (!info.isFile())
        return {Config(), kPrefix + QStringLiteral("not a regular file")};
    if (info.size() > kMaxFileBytes)
        return {Config(), kPrefix + QStringLiteral("larger than %1 bytes").arg(kMaxFileBytes)};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {Config(), kPrefix + file.errorString()};
    const QByteArray bytes = file.read(kMaxFileBytes + 1);
    if (file.error() != QFileDevice::NoError)
        return {Config(), kPrefix + file.errorString()};
    if (bytes.size() > kMaxFileBytes)
        return {Config(), kPrefix + QStringLiteral("larger than %1 bytes").arg(kMaxFileBytes)};
    return fromBytes(bytes);
}

std::pair<Config, std::optional<QString>> Config::fromBytes(const QByteArray& bytes)
{
    Config config;
    try {
        config = decode(bytes);
    } catch (const json::DecodeError& e) {
        return {Config(), kPrefix + e.description()};
    }
    if (auto message = config.problem())
        return {Config(), *message};

    // An earlier layout kept maxEdge and maxFps directly under "stream".
    const QJsonObject stream = json::parseObject(bytes).value(QStringLiteral("stream")).toObject();
    if (stream.contains(QStringLiteral("maxEdge")) || stream.contains(QStringLiteral("maxFps")))
        return {config, kPrefix + QStringLiteral("stream.maxEdge/maxFps moved to stream.full and stream.light")};
    return {config, std::nullopt};
}

std::optional<QUrl> Config::apiURL() const
{
    if (!api)
        return std::nullopt;
    const QUrl url(*api, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        return std::nullopt;
    return url;
}

std::optional<QString> Config::problem() const
{
    if (port < 1 || port > 65535)
        return kPrefix + QStringLiteral("port %1 out of range").arg(port);
    const std::pair<const char*, const Profile*> profiles[] = {{"full", &stream.full}, {"light", &stream.light}};
    for (const auto& [name, profile] : profiles) {
        if (!profileValid(*profile))
            return kPrefix
                + QStringLiteral("stream.%1 needs maxEdge 0 or >= 320, maxFps 1-120, maxKbps 500-200000")
                      .arg(QLatin1String(name));
    }
    if (thumbs.width < 64 || thumbs.intervalMs < 200)
        return kPrefix + QStringLiteral("thumbs needs width >= 64 and intervalMs >= 200");
    // A larger width allocates gigabytes per thumbnail; a longer interval overflows the timer.
    if (thumbs.width > kMaxThumbWidth || thumbs.intervalMs > kMaxThumbIntervalMs)
        return kPrefix
            + QStringLiteral("thumbs needs width <= %1 and intervalMs <= %2").arg(kMaxThumbWidth).arg(kMaxThumbIntervalMs);
    QSet<QString> seen(Builtins::ids().begin(), Builtins::ids().end());
    for (const CustomAction& a : actions) {
        if (a.id.isEmpty() || a.run.isEmpty())
            return kPrefix + QStringLiteral("action needs id and run");
        if (seen.contains(a.id))
            return kPrefix + QStringLiteral("duplicate action id \"%1\"").arg(a.id);
        seen.insert(a.id);
    }
    return std::nullopt;
}

} // namespace core
