#pragma once

#include <QtGlobal>

#include <optional>

namespace core::os {

// How many bytes this process has read so far from the connected TCP socket `fd`: what the
// kernel received in order, less what still waits to be read. Absent when the kernel does not say.
std::optional<qint64> bytesRead(qintptr fd);

} // namespace core::os
