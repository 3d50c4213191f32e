#include "Clipboard.h"

#include <QMetaObject>

namespace core {

MemoryClipboard::MemoryClipboard() : context_(std::make_unique<QObject>()) { }

MemoryClipboard::~MemoryClipboard() = default;

void MemoryClipboard::post(std::function<void()> job)
{
    QMetaObject::invokeMethod(context_.get(), std::move(job), Qt::QueuedConnection);
}

QStringList MemoryClipboard::formats()
{
    QStringList out;
    for (const auto& [format, bytes] : content_)
        out << format;
    return out;
}

std::optional<QByteArray> MemoryClipboard::data(const QString& format)
{
    const auto it = content_.find(format);
    if (it == content_.end())
        return std::nullopt;
    return it->second;
}

void MemoryClipboard::write(const QString& format, const QByteArray& bytes) { copy({{format, bytes}}); }

void MemoryClipboard::copy(std::map<QString, QByteArray> content)
{
    content_ = std::move(content);
    ++changes_;
}

} // namespace core
