#pragma once

#include "PairingRecords.h"

namespace core {

// The link and the pending unlink token as two items of the user's keyring, both under the
// service `service` and told apart by the accounts "pairing" and "pending-unpair".
// A locked or missing keyring reads as an empty store; a failed write is logged, never thrown.
class KeychainLinkStore : public LinkStore {
public:
    static inline const QString service = QStringLiteral("com.nembi.remote-agent");

    std::optional<Linked> load() override;
    void save(const Linked& linked) override;
    void clear() override;
    std::optional<QString> loadPendingUnpair() override;
    void savePendingUnpair(const std::optional<QString>& token) override;
};

} // namespace core
