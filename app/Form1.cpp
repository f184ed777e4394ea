// SPDX-License-Identifier: GPL-3.0-or-later
#include "Form1.h"

#include "ProductCode.h"
#include "UpdateCollection.h"
#include "UpdateItem.h"

#include <cstdio>

using namespace Qt::StringLiterals;

Form1::Form1(MessagePrompt &prompt, UpdateServiceFactory createUpdateService,
             QString commandLine, ErrorBoundary::Terminate terminate, QWidget *parent)
    : QWidget(parent)
    , m_prompt(prompt)
    , m_createUpdateService(std::move(createUpdateService))
    , m_commandLine(std::move(commandLine))
    , m_boundary(prompt, std::move(terminate))
{
    createControls();
}

Form1::~Form1()
{
    // Slots first: an item must not outlive the service that made it.
    for (int slot = 1; slot <= 3; ++slot)
        placeUpdate(slot, nullptr);
    UpdateList.reset();
    UpdateAgent.reset();
}

void Form1::Form_Load()
{
    m_boundary.run([this] {
        bExit = false;
        CheckForUpdates();
    });
    // The caller sees bExit and never shows the window.
}

void Form1::GetProdCode()
{
    const std::optional<QString> code = ProductCode::cut(m_commandLine);
    if (code)
        strProdCode = *code;
    if (code && ProductCode::isAccepted(*code))
        return;
    // The prompt names no form; a shell user also gets the one that works,
    // while the prompt is still up.
    std::fputs("kelvarra: no valid product code on the command line; expected: "
               "kelvarra -pc{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}\n",
               stderr);
    std::fflush(stderr);
    MsgBox(u"Error in specifying product code in cmdline.\r\n"
           u"Must pass -pc<prod code> to exe. Exiting..."_s);
    bExit = true;
}

MessagePrompt::Answer Form1::MsgBox(const QString &text, MessagePrompt::Buttons buttons,
                                    const QString &title)
{
    ++m_promptDepth;
    const auto answer = m_prompt.show(text, buttons, title.isEmpty() ? u"Kelvarra"_s : title);
    --m_promptDepth;
    if (m_promptDepth == 0 && !m_heldEvents.isEmpty())
        scheduleHeldEvents();
    return answer;
}
