#pragma once

#include <QString>
#include <QUrl>

#include <optional>
#include <utility>
#include <vector>

namespace core {

struct CustomAction {
    QString id;
    QString name;
    QString run;
    friend bool operator==(const CustomAction&, const CustomAction&) = default;
};

// The optional configuration file, read once at start-up. Every member has a default; a file that
// cannot be used is replaced by the defaults as a whole and reported as one error text.
struct Config {
    struct Profile {
        qint64 maxEdge = 0;
        qint64 maxFps = 120;
        qint64 maxKbps = 80000;
        qint64 startKbps() const { return maxKbps / 4; }
        friend bool operator==(const Profile&, const Profile&) = default;
    };

    struct Stream {
        Profile full{0, 120, 80000};
        Profile light{2560, 60, 8000};
        bool h265 = true;
        // Absent or "full" gives full, "light" gives light; anything else throws
        // "unknown profile \"<name>\"".
        const Profile& profile(const std::optional<QString>& name) const;
        friend bool operator==(const Stream&, const Stream&) = default;
    };

    struct Thumbs {
        qint64 width = 480;
        qint64 intervalMs = 1000;
        friend bool operator==(const Thumbs&, const Thumbs&) = default;
    };

    struct Clipboard {
        bool sync = true;
        friend bool operator==(const Clipboard&, const Clipboard&) = default;
    };

    qint64 port = 7420;
    std::optional<QString> owner;
    std::optional<QString> api;
    Stream stream;
    Thumbs thumbs;
    Clipboard clipboard;
    std::vector<CustomAction> actions;

    friend bool operator==(const Config&, const Config&) = default;

    // ~/.config/nembi-remote-agent/config.json
    static QString defaultPath();

    // Never throws: a missing file gives the defaults silently, any other problem the defaults and
    // an error text.
    static std::pair<Config, std::optional<QString>> load(const QString& path);
    // The same for a file's bytes once read.
    static std::pair<Config, std::optional<QString>> fromBytes(const QByteArray& bytes);

    // Decodes the file's bytes; throws json::DecodeError.
    static Config decode(const QByteArray& bytes);

    // `api` when it parses as a URL with both a scheme and a host.
    std::optional<QUrl> apiURL() const;

    // The first rule this configuration breaks, as the message text.
    std::optional<QString> problem() const;
};

} // namespace core
