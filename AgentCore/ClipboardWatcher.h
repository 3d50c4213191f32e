#pragma once

#include "Clipboard.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace core {

struct ClipboardParam;

// Clipboard content the phone and the desktop exchange: text (held as UTF-8) or a PNG image.
struct Clip {
    enum class Kind { text, png };
    static constexpr qsizetype maxText = 0x100000; // UTF-8 bytes
    static constexpr qsizetype maxPNG = 0x800000;

    Kind kind = Kind::text;
    QByteArray bytes;

    static Clip text(const QString& text) { return {Kind::text, text.toUtf8()}; }
    static Clip png(QByteArray bytes) { return {Kind::png, std::move(bytes)}; }
    // What a "clipboard.set" asks for. Throws AgentError when it holds neither text nor png, or
    // png that is not strict base64.
    static Clip fromParam(const ClipboardParam& param);

    bool fits() const { return bytes.size() <= (kind == Kind::text ? maxText : maxPNG); }
    // For the log: "text (12 B)" or "image (12 B)".
    QString describe() const;

    // What the desktop's clipboard holds, as the phone may see it: none for concealed or
    // transient content, content of another kind, an image that does not convert to PNG, or
    // content over its cap (logged). Images offered only as BMP, TIFF or JPEG come back as PNG.
    static std::optional<Clip> read(Clipboard& clipboard);
};

// One session's view of the clipboard: which change it has dealt with, and a change waiting to
// settle. Used only on the clipboard thread, like the clipboard it borrows (which outlives it).
class ClipboardWatcher {
public:
    // Content present now counts as dealt with: it is never announced as a change.
    explicit ClipboardWatcher(Clipboard& clipboard);

    // Called every half second: the content of a change once the change count has stayed put
    // across two polls, so a burst of copies is reported once, with its last content.
    std::optional<Clip> poll();
    // The content, unless a change has happened that poll() has not reported yet.
    std::optional<Clip> current();
    // Puts `clip` on the clipboard, unless it is already there, without reporting it back.
    // Throws AgentError when it is over its cap or the desktop refuses.
    void set(const Clip& clip);

private:
    Clipboard& clipboard_;
    quint64 seen_;
    std::optional<quint64> settling_;
};

} // namespace core
