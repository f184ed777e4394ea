// SPDX-License-Identifier: GPL-3.0-or-later
#include "Form1.h"

#include "RuntimeError.h"
#include "UpdateItem.h"

#include <QMetaObject>

#include <array>

using namespace Qt::StringLiterals;

namespace {

struct SlotBinding
{
    void (Form1::*begin)();
    void (Form1::*progress)(int, int, const QString &, const QString &);
    void (Form1::*complete)(int);
};

// Slot N's updates raise UpdateInstanceN_*.
constexpr std::array<SlotBinding, 3> Bindings = {{
    {&Form1::UpdateInstance1_OnDownloadBegin, &Form1::UpdateInstance1_OnProgressChanged,
     &Form1::UpdateInstance1_OnDownloadComplete},
    {&Form1::UpdateInstance2_OnDownloadBegin, &Form1::UpdateInstance2_OnProgressChanged,
     &Form1::UpdateInstance2_OnDownloadComplete},
    {&Form1::UpdateInstance3_OnDownloadBegin, &Form1::UpdateInstance3_OnProgressChanged,
     &Form1::UpdateInstance3_OnDownloadComplete},
}};

void checkSlot(int slot)
{
    if (slot < 1 || slot > 3)
        throw RuntimeError(RuntimeError::ProgramFault, u"No download slot "_s + QString::number(slot));
}

} // namespace

std::shared_ptr<UpdateItem> &Form1::updateInstance(int slot)
{
    checkSlot(slot);
    return slot == 1 ? UpdateInstance1 : slot == 2 ? UpdateInstance2 : UpdateInstance3;
}

QLabel *Form1::nameLabel(int slot) const
{
    checkSlot(slot);
    return slot == 1 ? lbl1 : slot == 2 ? lbl2 : lbl3;
}

QLabel *Form1::statusLabel(int slot) const
{
    checkSlot(slot);
    return slot == 1 ? lblStatus1 : slot == 2 ? lblStatus2 : lblStatus3;
}

void Form1::placeUpdate(int slot, std::shared_ptr<UpdateItem> item)
{
    std::shared_ptr<UpdateItem> &instance = updateInstance(slot);
    if (instance)
        disconnect(instance.get(), nullptr, this, nullptr);
    instance = std::move(item);
    if (!instance)
        return;

    UpdateItem *source = instance.get();
    const SlotBinding &on = Bindings[slot - 1];
    connect(source, &UpdateItem::OnDownloadBegin, this, [=, this] {
        deliverEvent(slot, source, [=, this] { (this->*on.begin)(); }, true);
    });
    connect(source, &UpdateItem::OnProgressChanged, this,
            [=, this](int nBytes, int nPercent, const QString &rate, const QString &time) {
                deliverEvent(slot, source, [=, this] { (this->*on.progress)(nBytes, nPercent, rate, time); },
                             false);
            });
    connect(source, &UpdateItem::OnDownloadComplete, this, [=, this](int nResultCode) {
        deliverEvent(slot, source, [=, this] { (this->*on.complete)(nResultCode); }, true);
    });
}

void Form1::deliverEvent(int slot, UpdateItem *source, std::function<void()> handler,
                         bool opensPrompt)
{
    if (opensPrompt && (isPromptOpen() || !m_heldEvents.isEmpty())) {
        m_heldEvents.append({slot, source, std::move(handler)});
        return;
    }
    m_boundary.run(handler);
}

void Form1::scheduleHeldEvents()
{
    if (m_heldEventsScheduled)
        return;
    m_heldEventsScheduled = true;
    // Later, from the event loop: the code that closed the prompt finishes first.
    QMetaObject::invokeMethod(this, &Form1::runHeldEvents, Qt::QueuedConnection);
}

void Form1::runHeldEvents()
{
    m_heldEventsScheduled = false;
    while (!isPromptOpen() && !m_heldEvents.isEmpty()) {
        const HeldEvent event = m_heldEvents.takeFirst();
        // The slot no longer receives the events of an update it gave up.
        if (event.source && updateInstance(event.slot).get() == event.source.data())
            m_boundary.run(event.handler);
    }
}
