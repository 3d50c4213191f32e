#pragma once

#include "Display.h"

#include <QObject>

#include <vector>

namespace core {

// The desktop's displays as clients see them (positions and sizes in points, exactly one main
// display whenever any exists), kept up to date by the backend. Owned by the desktop backend;
// lives and signals on the main thread.
class DisplaySource : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // The displays as of the last change; empty when the desktop cannot be read. Cheap: no round
    // trip to the display server.
    virtual const std::vector<DisplayInfo>& current() const = 0;

signals:
    // A burst of reconfiguration ended, 0.5 s after its last change; current() already holds the
    // new list.
    void changed();
    // The display server went away for good: nothing will change or be captured again.
    void lost();
};

} // namespace core
