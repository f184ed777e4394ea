// SPDX-License-Identifier: GPL-3.0-or-later
#include "Form1.h"

#include "ShownText.h"
#include "StatusHint.h"

#include "UpdateCollection.h"
#include "UpdateItem.h"
#include "service/Contract.h"

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

// Beside the prompts, for whoever started the program from a shell.
void tellShell(const QString &line)
{
    if (line.isEmpty())
        return;
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

// Updates 3, 4, ... all pass through the third slot.
int slotForUpdate(int i)
{
    return i < 3 ? i : 3;
}

} // namespace

void Form1::CheckForUpdates()
{
    GetProdCode();
    if (bExit)
        return;

    UpdateAgent = m_createUpdateService();
    if (UpdateAgent->IsConnected(strProdCode) == Contract::False) {
        MsgBox(u"IsConnected returned False"_s);
        tellShell(StatusHint::notConnected(UpdateAgent->productStatus(strProdCode), strProdCode));
        return;
    }

    UpdateList = UpdateAgent->GetUpdates(strProdCode);
    if (UpdateList->Count() < 1) {
        MsgBox(u"No updates available for this product."_s);
        return;
    }

    const int count = UpdateList->Count();
    for (int i = 1; i <= count; ++i) {
        const int slot = slotForUpdate(i);
        // Placed before the offer, so a declined update still holds its slot.
        const std::shared_ptr<UpdateItem> update = UpdateList->Item(i);
        placeUpdate(slot, update);
        const QString name = ShownText(update->GetName(0));
        const auto answer = MsgBox(u"Update available: "_s + name + u"\r\nStart Download?"_s,
                                   MessagePrompt::Buttons::YesNo);
        if (answer != MessagePrompt::Answer::Yes)
            continue;
        if (update->PrepareDownload(Contract::True) == Contract::True)
            update->Execute();
        else
            tellShell(StatusHint::notStarted(UpdateAgent->productStatus(strProdCode), name));
    }
}
