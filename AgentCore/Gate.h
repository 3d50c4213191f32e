#pragma once

#include "CloseCodes.h"
#include "Devices.h"
#include "PairingRecords.h"
#include "Ticket.h"

#include <QDateTime>
#include <QString>

#include <map>
#include <optional>

namespace core::Gate {

// The admission decision for a hello: admit, or close the connection with a code and a reason.
struct Result {
    bool admitted = true;
    quint16 code = 0;
    QString reason;

    static Result admit() { return {}; }
    static Result close(const CloseCode& close) { return {false, close.code, close.reason}; }
    friend bool operator==(const Result&, const Result&) = default;
};

// Whether a hello may use the Mac. Pure. In order: development mode and an already admitted
// session pass; a disabled device is refused; the shown pairing code (compared in upper case)
// admits; an unpaired Mac refuses; a removed device is refused; a ticket decides; nothing else
// gets in.
Result decide(const std::optional<QString>& ticket, const std::optional<QString>& pairCode, bool live,
              const std::optional<Linked>& linked, const std::optional<QString>& shownCode, bool dev,
              std::optional<Device::State> device, const QDateTime& now, const Ticket::Keys& keys);

// Constant-time equality of two codes (their lengths are not secret).
bool sameCode(const QString& a, const QString& b);

// Bounds guessing of the shown pairing code: a remote address that sent `kMaxWrong` wrong codes
// during one code's life is barred until another code is shown. A six-character code survives a
// handful of guesses; it would not survive reconnecting and guessing at leisure.
class CodeGuesses {
public:
    static constexpr int kMaxWrong = 5;

    // Takes note of one hello's `pairCode` from `peer` while `shownCode` is admitted; true when the
    // peer is barred (this hello is then not judged any further).
    bool barred(const QString& peer, const std::optional<QString>& pairCode, const std::optional<QString>& shownCode);

private:
    std::optional<QString> code_;
    std::map<QString, int> wrong_;
};

} // namespace core::Gate
