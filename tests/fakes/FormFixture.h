// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "FakeUpdateService.h"
#include "Form1.h"
#include "ScriptedPrompt.h"

#include <memory>

// A window over a fake service holding `updates` updates. Offers are answered
// as the prompt's script says (the default button when unscripted), and a
// run-time error records its exit status instead of ending the test.
struct FormFixture
{
    static const QString Code;

    explicit FormFixture(int updates) : backend(updates) {}

    void load(const QString &commandLine = QStringLiteral("-pc") + Code);
    // Loads and shows the window, then forgets the prompts and calls of loading.
    void loadAndShow();
    // The calls made on update `id`, without the "id." prefix.
    QStringList callsOf(int id) const;

    FakeBackend backend;
    ScriptedPrompt prompt;
    std::unique_ptr<Form1> form;
    int exitStatus = -1;
};
