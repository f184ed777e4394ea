// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "MessagePrompt.h"

#include <QList>

#include <functional>

// Answers prompts from a script and records them. A step may also run code
// while its prompt is "open", to deliver events at that moment.
class ScriptedPrompt : public MessagePrompt
{
public:
    struct Shown
    {
        QString text;
        Buttons buttons;
        QString title;
    };
    struct Step
    {
        Answer answer;
        std::function<void()> whileOpen;
    };

    Answer show(const QString &text, Buttons buttons, const QString &title) override;

    void answer(Answer a, std::function<void()> whileOpen = {}) { steps.append({a, std::move(whileOpen)}); }

    QList<Step> steps;
    QList<Shown> shown;
    int open = 0;
    int mostOpenAtOnce = 0;
};
