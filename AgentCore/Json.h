#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <exception>
#include <optional>
#include <string>

// Strict typed reading of JSON objects: a missing or null member is absent, a member of the wrong
// type or outside its integer range is an error naming the member.
namespace core::json {

class DecodeError : public std::exception {
public:
    explicit DecodeError(QString description);
    const QString& description() const { return description_; }
    const char* what() const noexcept override { return utf8_.c_str(); }

private:
    QString description_;
    std::string utf8_;
};

// Parses bytes that must hold one JSON object.
QJsonObject parseObject(const QByteArray& bytes);

class Reader {
public:
    // `path` prefixes member names in error texts ("stream.full.").
    explicit Reader(QJsonObject object, QString path = {});

    bool has(const char* key) const;

    QString string(const char* key) const;
    std::optional<QString> optString(const char* key) const;
    bool boolean(const char* key) const;
    std::optional<bool> optBool(const char* key) const;
    qint64 integer(const char* key) const;
    std::optional<qint64> optInteger(const char* key) const;
    qint32 int32(const char* key) const;
    std::optional<qint32> optInt32(const char* key) const;
    quint32 uint32(const char* key) const;
    std::optional<quint32> optUInt32(const char* key) const;
    double number(const char* key) const;
    std::optional<double> optNumber(const char* key) const;
    std::optional<Reader> optObject(const char* key) const;
    std::optional<QJsonArray> optArray(const char* key) const;

    // Reads an array element as an object (for arrays of records).
    Reader element(const QJsonArray& array, qsizetype index, const char* key) const;

    QString name(const char* key) const;

private:
    QJsonValue member(const char* key) const;
    [[noreturn]] void missing(const char* key) const;
    [[noreturn]] void mistyped(const char* key, const char* expected) const;
    template <typename T> std::optional<T> optIntegral(const char* key, const char* expected) const;

    QJsonObject object_;
    QString path_;
};

} // namespace core::json
