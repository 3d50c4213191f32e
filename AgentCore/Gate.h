#pragma once

#include <QString>

namespace core::Gate {

// The admission decision for a hello: admit, or close the connection with a code and a reason.
struct Result {
    bool admitted = true;
    quint16 code = 0;
    QString reason;

    static Result admit() { return {}; }
    static Result close(quint16 code, QString reason) { return {false, code, std::move(reason)}; }
    friend bool operator==(const Result&, const Result&) = default;
};

} // namespace core::Gate
