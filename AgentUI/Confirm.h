#pragma once

#include <QString>

#include <functional>

// The menu's two confirmations, as data, so a test can answer them without a modal dialog.
namespace ui {

struct Question {
    QString message;
    QString detail;
    QString accept; // the first button; the second is "Cancel"
    friend bool operator==(const Question&, const Question&) = default;
};

// True when the user chose `accept`.
using Ask = std::function<bool(const Question&)>;

Question removeQuestion(const QString& deviceName);
Question unpairQuestion(const QString& email);

// A modal message box in front of every other window.
bool askWithDialog(const Question& question);

} // namespace ui
