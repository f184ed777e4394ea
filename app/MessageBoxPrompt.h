// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "MessagePrompt.h"

#include <QPointer>
#include <QWidget>

// The prompt as the user sees it: a QMessageBox with no icon, showing its
// text as plain text because names come from outside the program.
class MessageBoxPrompt : public MessagePrompt
{
public:
    // Prompts are transient for this window while it is visible.
    void setParentWindow(QWidget *window) { m_parent = window; }

    Answer show(const QString &text, Buttons buttons, const QString &title) override;

private:
    QPointer<QWidget> m_parent;
};
