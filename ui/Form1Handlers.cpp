// SPDX-License-Identifier: GPL-3.0-or-later
#include "Form1.h"

#include "NumberText.h"
#include "ShownText.h"
#include "UpdateItem.h"
#include "service/Contract.h"

#include <QLabel>

using namespace Qt::StringLiterals;

void Form1::UpdateInstance1_OnDownloadBegin() { onDownloadBegin(1); }
void Form1::UpdateInstance1_OnProgressChanged(int nBytes, int nPercent, const QString &strTransferRate,
                                              const QString &strTimeRemaining)
{
    onProgressChanged(1, nBytes, nPercent, strTransferRate, strTimeRemaining);
}
void Form1::UpdateInstance1_OnDownloadComplete(int nResultCode) { onDownloadComplete(1, nResultCode); }
void Form1::btnCancel1_Click() { onCancelClick(1); }

void Form1::UpdateInstance2_OnDownloadBegin() { onDownloadBegin(2); }
void Form1::UpdateInstance2_OnProgressChanged(int nBytes, int nPercent, const QString &strTransferRate,
                                              const QString &strTimeRemaining)
{
    onProgressChanged(2, nBytes, nPercent, strTransferRate, strTimeRemaining);
}
void Form1::UpdateInstance2_OnDownloadComplete(int nResultCode) { onDownloadComplete(2, nResultCode); }
void Form1::btnCancel2_Click() { onCancelClick(2); }

void Form1::UpdateInstance3_OnDownloadBegin() { onDownloadBegin(3); }
void Form1::UpdateInstance3_OnProgressChanged(int nBytes, int nPercent, const QString &strTransferRate,
                                              const QString &strTimeRemaining)
{
    onProgressChanged(3, nBytes, nPercent, strTransferRate, strTimeRemaining);
}
void Form1::UpdateInstance3_OnDownloadComplete(int nResultCode) { onDownloadComplete(3, nResultCode); }
void Form1::btnCancel3_Click() { onCancelClick(3); }

void Form1::onDownloadBegin(int slot)
{
    MsgBox(u"OnDownloadBegin for: "_s + ShownText(updateInstance(slot)->GetName(0)));
}

void Form1::onProgressChanged(int slot, int nBytes, int nPercent, const QString &strTransferRate,
                              const QString &strTimeRemaining)
{
    UpdateItem &update = *updateInstance(slot);
    QLabel *name = nameLabel(slot);
    if (name->text().isEmpty())
        name->setText(u"Update name: "_s + ShownText(update.GetName(0)) + u"\r\n"_s);

    statusLabel(slot)->setText(u"Percent complete: "_s + NumberText(nPercent) + u"%\r\n"_s
                               + u"Bytes downloaded: "_s + NumberText(RoundedKilobytes(nBytes))
                               + u" kb\r\n"_s + u"Transfer Rate: "_s + ShownText(strTransferRate) + u"\r\n"_s
                               + u"Time left: "_s + ShownText(strTimeRemaining));
}

void Form1::onDownloadComplete(int slot, int nResultCode)
{
    const std::shared_ptr<UpdateItem> update = updateInstance(slot);
    if (nResultCode != int(Contract::DownloadResult::Success)) {
        MsgBox(ShownText(update->GetText(1)));
        return;
    }
    const auto answer = MsgBox(u"An Update ["_s + ShownText(update->GetName(0))
                                   + u"] has been downloaded, do you want to install?"_s,
                               MessagePrompt::Buttons::YesNo, u"Update Available"_s);
    if (answer == MessagePrompt::Answer::Yes)
        update->Execute();
}

void Form1::onCancelClick(int slot)
{
    // An empty slot has nothing to cancel.
    if (const std::shared_ptr<UpdateItem> update = updateInstance(slot))
        update->Cancel();
}
