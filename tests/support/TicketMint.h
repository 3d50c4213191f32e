#pragma once

#include "Ticket.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// Issues access tickets the way the cloud service does: compact JWS, ES256, raw r||s signature.
class SigningKey {
public:
    // A fresh P-256 key pair.
    static SigningKey generate();
    // A P-256 private key from a PEM file or text; an empty key when it is not one.
    static SigningKey fromPem(const QByteArray& pem);
    static SigningKey fromFile(const QString& path);

    bool valid() const { return key_ != nullptr; }
    QByteArray publicPem() const;
    core::Ticket::PublicKey publicKey() const;

    // ECDSA P-256 / SHA-256 over the bytes, as 64 bytes r||s or in DER form.
    QByteArray sign(const QByteArray& message, bool der = false) const;
    // base64url(header) "." base64url(claims) "." base64url(signature), without padding.
    QString ticket(const QJsonObject& header, const QJsonObject& claims, bool der = false) const;
    // The usual ticket: {"alg":"ES256","kid":kid} and {"sub","mac","exp"}.
    QString ticket(const QString& kid, const QString& sub, const QString& mac, double exp) const;

private:
    std::shared_ptr<EVP_PKEY> key_;
};

QByteArray base64url(const QByteArray& bytes);
