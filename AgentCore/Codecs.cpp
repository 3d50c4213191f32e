#include "Codecs.h"

#include <QHash>
#include <QRegularExpression>
#include <QStringList>

namespace core::Codecs {

namespace {

const QString kCrlf = QStringLiteral("\r\n");
const QString kVideoLine = QStringLiteral("m=video ");

QStringList fields(const QString& line) { return line.split(QLatin1Char(' '), Qt::SkipEmptyParts); }

// The line cut at its first run of spaces into exactly two non-empty parts.
std::optional<std::pair<QString, QString>> headAndRest(const QString& line)
{
    qsizetype start = 0;
    while (start < line.size() && line[start] == QLatin1Char(' '))
        ++start;
    const qsizetype space = line.indexOf(QLatin1Char(' '), start);
    if (space < 0)
        return std::nullopt;
    qsizetype rest = space;
    while (rest < line.size() && line[rest] == QLatin1Char(' '))
        ++rest;
    if (rest >= line.size())
        return std::nullopt;
    return std::pair{line.mid(start, space - start), line.mid(rest)};
}

struct PayloadMaps {
    QHash<QString, QString> names;   // payload type -> encoding name
    QHash<QString, QString> repairs; // payload type -> repaired payload type
};

PayloadMaps payloadMaps(const QStringList& lines)
{
    PayloadMaps maps;
    for (const QString& line : lines) {
        const auto parts = headAndRest(line);
        if (!parts)
            continue;
        const auto& [head, rest] = *parts;
        if (head.startsWith(QLatin1String("a=rtpmap:")))
            maps.names.insert(head.mid(9), rest.section(QLatin1Char('/'), 0, 0));
        else if (head.startsWith(QLatin1String("a=fmtp:")) && rest.startsWith(QLatin1String("apt=")))
            maps.repairs.insert(head.mid(7), rest.mid(4));
    }
    return maps;
}

} // namespace

QString forceH264Level(const QString& sdp)
{
    static const QRegularExpression level(QStringLiteral("profile-level-id=([0-9a-fA-F]{4})[0-9a-fA-F]{2}"));
    QString out = sdp;
    return out.replace(level, QStringLiteral("profile-level-id=\\134"));
}

int rank(const QString& name, bool h265)
{
    if (name == QLatin1String("H265"))
        return h265 ? 0 : 2;
    if (name == QLatin1String("H264"))
        return 1;
    return 2;
}

QString preferInOffer(const QString& sdp, bool h265)
{
    QStringList lines = sdp.split(kCrlf);
    const auto video = std::find_if(lines.begin(), lines.end(),
                                    [](const QString& l) { return l.startsWith(kVideoLine); });
    if (video == lines.end())
        return sdp;

    const PayloadMaps maps = payloadMaps(lines);
    auto codecOf = [&](const QString& pt) {
        return maps.names.value(maps.repairs.value(pt, pt));
    };

    QStringList parts = fields(*video);
    if (parts.size() > 3) {
        std::vector<QString> payloads(parts.begin() + 3, parts.end());
        payloads = preferred(std::move(payloads), h265, codecOf);
        parts = parts.mid(0, 3);
        for (const QString& pt : payloads)
            parts.append(pt);
    }
    *video = parts.join(QLatin1Char(' '));
    return lines.join(kCrlf);
}

std::optional<QString> negotiated(const QString& sdp)
{
    const QStringList lines = sdp.split(kCrlf);
    const auto video = std::find_if(lines.begin(), lines.end(),
                                    [](const QString& l) { return l.startsWith(kVideoLine); });
    if (video == lines.end())
        return std::nullopt;
    const QStringList parts = fields(*video);
    if (parts.size() < 4)
        return std::nullopt;
    const QString prefix = QStringLiteral("a=rtpmap:") + parts[3] + QLatin1Char(' ');
    for (const QString& line : lines) {
        if (!line.startsWith(prefix))
            continue;
        const QStringList words = fields(line);
        if (words.size() < 2)
            return std::nullopt;
        const QString name = words[1].section(QLatin1Char('/'), 0, 0);
        if (name.isEmpty())
            return std::nullopt;
        return name;
    }
    return std::nullopt;
}

qint64 effectiveEdge(qint64 edge, const std::optional<QString>& codec)
{
    if (codec == QStringLiteral("H264") && (edge == 0 || edge >= 3840))
        return 3840;
    return edge;
}

qint64 effectiveFps(qint64 fps, const std::optional<QString>& codec)
{
    if (codec == QStringLiteral("H264"))
        return std::min<qint64>(fps, 60);
    return fps;
}

std::optional<QString> Payload::param(const QString& name) const
{
    for (const QString& pair : fmtp.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QString trimmed = pair.trimmed();
        if (trimmed.section(QLatin1Char('='), 0, 0) == name)
            return trimmed.section(QLatin1Char('='), 1);
    }
    return std::nullopt;
}

std::vector<Payload> videoPayloads(const QString& sdp)
{
    const QStringList lines = sdp.split(kCrlf);
    const auto video = std::find_if(lines.begin(), lines.end(),
                                    [](const QString& l) { return l.startsWith(kVideoLine); });
    if (video == lines.end())
        return {};
    // Attributes of this section only: up to the next media line.
    const auto end = std::find_if(video + 1, lines.end(), [](const QString& l) { return l.startsWith(QLatin1String("m=")); });

    std::vector<Payload> out;
    // Attribute lines find their payload by its canonical number text (the first one listed with
    // it); a lookup per line, as an offer may list thousands of payloads and lines.
    QHash<QString, size_t> byType;
    const QStringList parts = fields(*video);
    for (qsizetype i = 3; i < parts.size(); ++i) {
        bool ok = false;
        const int pt = parts[i].toInt(&ok);
        if (!ok)
            continue;
        const QString key = QString::number(pt);
        if (!byType.contains(key))
            byType.insert(key, out.size());
        out.push_back(Payload{pt, {}, 0, {}, std::nullopt});
    }
    auto find = [&](const QString& pt) -> Payload* {
        const auto it = byType.constFind(pt);
        return it == byType.constEnd() ? nullptr : &out[*it];
    };
    for (auto it = video + 1; it != end; ++it) {
        const auto headRest = headAndRest(*it);
        if (!headRest)
            continue;
        const auto& [head, rest] = *headRest;
        if (head.startsWith(QLatin1String("a=rtpmap:"))) {
            if (Payload* p = find(head.mid(9))) {
                p->codec = rest.section(QLatin1Char('/'), 0, 0);
                p->clockRate = rest.section(QLatin1Char('/'), 1, 1).toInt();
            }
        } else if (head.startsWith(QLatin1String("a=fmtp:"))) {
            if (Payload* p = find(head.mid(7))) {
                p->fmtp = rest;
                if (auto apt = p->param(QStringLiteral("apt")))
                    p->repairs = apt->toInt();
            }
        }
    }
    return out;
}

bool isConstrainedBaselineH264(const Payload& p)
{
    if (p.codec.compare(QLatin1String("H264"), Qt::CaseInsensitive) != 0)
        return false;
    if (p.param(QStringLiteral("packetization-mode")) != QStringLiteral("1"))
        return false;
    const auto id = p.param(QStringLiteral("profile-level-id"));
    if (!id || id->size() != 6)
        return false;
    bool ok = false;
    const int profile = id->left(2).toInt(&ok, 16);
    const int constraints = id->mid(2, 2).toInt(&ok, 16);
    // profile_idc 66 with constraint_set1_flag set is constrained baseline.
    return ok && profile == 0x42 && (constraints & 0x40) != 0;
}

std::optional<Payload> choose(const std::vector<Payload>& offered, bool h265)
{
    for (const Payload& p : offered)
        if ((h265 && p.codec == QLatin1String("H265")) || isConstrainedBaselineH264(p))
            return p;
    return std::nullopt;
}

} // namespace core::Codecs
