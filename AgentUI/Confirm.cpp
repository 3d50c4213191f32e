#include "Confirm.h"

#include <QMessageBox>
#include <QPushButton>

namespace ui {

Question removeQuestion(const QString& deviceName)
{
    return {QStringLiteral("Remove ") + deviceName + QStringLiteral(" from this Mac?"),
            QStringLiteral("It can't connect until you scan this Mac's code on it again."), QStringLiteral("Remove")};
}

Question unpairQuestion(const QString& email)
{
    return {QStringLiteral("Unpair this Mac from ") + email + QLatin1Char('?'),
            QStringLiteral("Phones and tablets on that account won't see it anymore."), QStringLiteral("Unpair")};
}

bool askWithDialog(const Question& question)
{
    QMessageBox box;
    box.setWindowTitle(QStringLiteral("Dorvane"));
    box.setText(question.message);
    box.setInformativeText(question.detail);
    QPushButton* accept = box.addButton(question.accept, QMessageBox::AcceptRole);
    box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(accept);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.raise();
    box.activateWindow();
    box.exec();
    return box.clickedButton() == accept;
}

} // namespace ui
