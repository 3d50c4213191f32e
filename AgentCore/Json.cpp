#include "Json.h"

#include <QJsonDocument>
#include <QJsonParseError>

#include <limits>

namespace core::json {

DecodeError::DecodeError(QString description)
    : description_(std::move(description))
    , utf8_(description_.toStdString())
{
}

QJsonObject parseObject(const QByteArray& bytes)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        throw DecodeError(QStringLiteral("the data is not valid JSON (%1 at offset %2)")
                              .arg(error.errorString())
                              .arg(error.offset));
    if (!doc.isObject())
        throw DecodeError(QStringLiteral("expected a JSON object at the top level"));
    return doc.object();
}

Reader::Reader(QJsonObject object, QString path)
    : object_(std::move(object))
    , path_(std::move(path))
{
}

QString Reader::name(const char* key) const { return path_ + QString::fromUtf8(key); }

QJsonValue Reader::member(const char* key) const { return object_.value(QString::fromUtf8(key)); }

bool Reader::has(const char* key) const
{
    const QJsonValue v = member(key);
    return !v.isUndefined() && !v.isNull();
}

void Reader::missing(const char* key) const
{
    throw DecodeError(QStringLiteral("missing member \"%1\"").arg(name(key)));
}

void Reader::mistyped(const char* key, const char* expected) const
{
    throw DecodeError(QStringLiteral("member \"%1\" must be %2").arg(name(key), QString::fromUtf8(expected)));
}

std::optional<QString> Reader::optString(const char* key) const
{
    if (!has(key))
        return std::nullopt;
    const QJsonValue v = member(key);
    if (!v.isString())
        mistyped(key, "a string");
    return v.toString();
}

QString Reader::string(const char* key) const
{
    if (auto v = optString(key))
        return *v;
    missing(key);
}

std::optional<bool> Reader::optBool(const char* key) const
{
    if (!has(key))
        return std::nullopt;
    const QJsonValue v = member(key);
    if (!v.isBool())
        mistyped(key, "true or false");
    return v.toBool();
}

bool Reader::boolean(const char* key) const
{
    if (auto v = optBool(key))
        return *v;
    missing(key);
}

template <typename T>
std::optional<T> Reader::optIntegral(const char* key, const char* expected) const
{
    if (!has(key))
        return std::nullopt;
    const QJsonValue v = member(key);
    if (!v.isDouble())
        mistyped(key, expected);
    // toInteger answers its default for fractions and for values outside qint64; two different
    // defaults tell those apart from a stored value that happens to equal one of them.
    const qint64 a = v.toInteger(0);
    const qint64 b = v.toInteger(1);
    if (a != b)
        mistyped(key, expected);
    if (a < static_cast<qint64>(std::numeric_limits<T>::min())
        || (std::numeric_limits<T>::max() < std::numeric_limits<qint64>::max()
            && a > static_cast<qint64>(std::numeric_limits<T>::max())))
        mistyped(key, expected);
    return static_cast<T>(a);
}

std::optional<qint64> Reader::optInteger(const char* key) const
{
    return optIntegral<qint64>(key, "an integer");
}

qint64 Reader::integer(const char* key) const
{
    if (auto v = optInteger(key))
        return *v;
    missing(key);
}

std::optional<qint32> Reader::optInt32(const char* key) const
{
    return optIntegral<qint32>(key, "a signed 32-bit integer");
}

qint32 Reader::int32(const char* key) const
{
    if (auto v = optInt32(key))
        return *v;
    missing(key);
}

std::optional<quint32> Reader::optUInt32(const char* key) const
{
    return optIntegral<quint32>(key, "an unsigned 32-bit integer");
}

quint32 Reader::uint32(const char* key) const
{
    if (auto v = optUInt32(key))
        return *v;
    missing(key);
}

std::optional<double> Reader::optNumber(const char* key) const
{
    if (!has(key))
        return std::nullopt;
    const QJsonValue v = member(key);
    if (!v.isDouble())
        mistyped(key, "a number");
    return v.toDouble();
}

double Reader::number(const char* key) const
{
    if (auto v = optNumber(key))
        return *v;
    missing(key);
}

std::optional<Reader> Reader::optObject(const char* key) const
{
    if (!has(key))
        return std::nullopt;
    const QJsonValue v = member(key);
    if (!v.isObject())
        mistyped(key, "an object");
    return Reader(v.toObject(), name(key) + QLatin1Char('.'));
}

std::optional<QJsonArray> Reader::optArray(const char* key) const
{
    if (!has(key))
        return std::nullopt;
    const QJsonValue v = member(key);
    if (!v.isArray())
        mistyped(key, "an array");
    return v.toArray();
}

Reader Reader::element(const QJsonArray& array, qsizetype index, const char* key) const
{
    const QJsonValue v = array.at(index);
    const QString where = QStringLiteral("%1[%2]").arg(name(key)).arg(index);
    if (!v.isObject())
        throw DecodeError(QStringLiteral("member \"%1\" must be an object").arg(where));
    return Reader(v.toObject(), where + QLatin1Char('.'));
}

} // namespace core::json
