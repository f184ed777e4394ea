// SPDX-License-Identifier: GPL-3.0-or-later
#include "ScriptedPrompt.h"

MessagePrompt::Answer ScriptedPrompt::show(const QString &text, Buttons buttons, const QString &title)
{
    shown.append({text, buttons, title});
    ++open;
    mostOpenAtOnce = std::max(mostOpenAtOnce, open);
    // Unscripted prompts take their default button.
    Step step = steps.isEmpty() ? Step{buttons == Buttons::Ok ? Answer::Ok : Answer::Yes, {}}
                                : steps.takeFirst();
    if (step.whileOpen)
        step.whileOpen();
    --open;
    return step.answer;
}
