// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ErrorBoundary.h"
#include "MessagePrompt.h"
#include "UpdateService.h"

#include <QList>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

class QLabel;
class QPushButton;
class UpdateCollection;
class UpdateItem;

// The program's only window. Loading it runs the whole update check; after
// that it shows three download slots driven by their updates' events.
class Form1 : public QWidget
{
    Q_OBJECT

public:
    Form1(MessagePrompt &prompt, UpdateServiceFactory createUpdateService,
          QString commandLine, ErrorBoundary::Terminate terminate = ErrorBoundary::exitNow,
          QWidget *parent = nullptr);
    ~Form1() override;

    // Load sequence; runs inside the error boundary.
    void Form_Load();

    // The update service, the updates and the slots' updates.
    QString strProdCode;
    bool bExit = false;
    std::unique_ptr<UpdateService> UpdateAgent;
    std::shared_ptr<UpdateCollection> UpdateList;
    std::shared_ptr<UpdateItem> UpdateInstance1;
    std::shared_ptr<UpdateItem> UpdateInstance2;
    std::shared_ptr<UpdateItem> UpdateInstance3;

    // Controls, in the order the window declares them.
    QPushButton *btnCancel3 = nullptr;
    QPushButton *btnCancel2 = nullptr;
    QPushButton *btnCancel1 = nullptr;
    QLabel *lbl3 = nullptr;
    QLabel *lbl2 = nullptr;
    QLabel *lbl1 = nullptr;
    QLabel *lblStatus3 = nullptr;
    QLabel *lblStatus2 = nullptr;
    QLabel *lblStatus1 = nullptr;

    // Slot event handlers.
    void UpdateInstance1_OnDownloadBegin();
    void UpdateInstance1_OnProgressChanged(int nBytes, int nPercent,
                                           const QString &strTransferRate,
                                           const QString &strTimeRemaining);
    void UpdateInstance1_OnDownloadComplete(int nResultCode);
    void btnCancel1_Click();

    void UpdateInstance2_OnDownloadBegin();
    void UpdateInstance2_OnProgressChanged(int nBytes, int nPercent,
                                           const QString &strTransferRate,
                                           const QString &strTimeRemaining);
    void UpdateInstance2_OnDownloadComplete(int nResultCode);
    void btnCancel2_Click();

    void UpdateInstance3_OnDownloadBegin();
    void UpdateInstance3_OnProgressChanged(int nBytes, int nPercent,
                                           const QString &strTransferRate,
                                           const QString &strTimeRemaining);
    void UpdateInstance3_OnDownloadComplete(int nResultCode);
    void btnCancel3_Click();

private:
    // Whether a prompt of this window is on screen now.
    bool isPromptOpen() const { return m_promptDepth > 0; }

    void GetProdCode();
    void CheckForUpdates();

    // Every prompt of the window goes through here: "Kelvarra" is the
    // title when none is given, and events wait while a prompt is open.
    MessagePrompt::Answer MsgBox(const QString &text,
                                 MessagePrompt::Buttons buttons = MessagePrompt::Buttons::Ok,
                                 const QString &title = QString());

    // Slots are numbered 1 to 3.
    std::shared_ptr<UpdateItem> &updateInstance(int slot);
    QLabel *nameLabel(int slot) const;
    QLabel *statusLabel(int slot) const;
    // Replaces the slot's update; only the new one's events reach the slot.
    void placeUpdate(int slot, std::shared_ptr<UpdateItem> item);

    // ui/Form1Layout.cpp
    void createControls();

    // ui/Form1Handlers.cpp: the behaviour shared by the three slots.
    void onDownloadBegin(int slot);
    void onProgressChanged(int slot, int nBytes, int nPercent, const QString &strTransferRate,
                           const QString &strTimeRemaining);
    void onDownloadComplete(int slot, int nResultCode);
    void onCancelClick(int slot);

    // Event delivery: progress is applied at once; an event that opens a
    // prompt waits while a prompt is open, and waiting events run one at a
    // time, in arrival order, once none is.
    struct HeldEvent
    {
        int slot;
        QPointer<UpdateItem> source;
        std::function<void()> handler;
    };
    void deliverEvent(int slot, UpdateItem *source, std::function<void()> handler,
                      bool opensPrompt);
    void runHeldEvents();
    void scheduleHeldEvents();

    MessagePrompt &m_prompt;
    UpdateServiceFactory m_createUpdateService;
    QString m_commandLine;
    ErrorBoundary m_boundary;
    int m_promptDepth = 0;
    bool m_heldEventsScheduled = false;
    QList<HeldEvent> m_heldEvents;
};
