// SPDX-License-Identifier: GPL-3.0-or-later
#include "MessageBoxPrompt.h"

#include <QMessageBox>
#include <QPushButton>

MessagePrompt::Answer MessageBoxPrompt::show(const QString &text, Buttons buttons,
                                             const QString &title)
{
    QWidget *parent = m_parent && m_parent->isVisible() ? m_parent.data() : nullptr;
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::NoButton, parent);
    box.setTextFormat(Qt::PlainText);
    box.setWindowModality(Qt::ApplicationModal);

    if (buttons == Buttons::Ok) {
        QPushButton *ok = box.addButton(QMessageBox::Ok);
        box.setDefaultButton(ok);
        box.setEscapeButton(ok);
        box.exec();
        return Answer::Ok;
    }

    QPushButton *yes = box.addButton(QMessageBox::Yes);
    QPushButton *no = box.addButton(QMessageBox::No);
    box.setDefaultButton(yes);
    box.setEscapeButton(no);
    box.exec();
    return box.clickedButton() == yes ? Answer::Yes : Answer::No;
}
