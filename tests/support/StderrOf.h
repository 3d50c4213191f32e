#pragma once

#include <QByteArray>

#include <functional>

// What is written to standard error (where the agent logs) while `work` runs in this process.
QByteArray stderrOf(const std::function<void()>& work);
