// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "UpdateCollection.h"
#include "UpdateItem.h"
#include "UpdateService.h"
#include "service/Contract.h"

#include <QStringList>

#include <memory>
#include <vector>

// In-process stand-ins for the update service. Every call is written to one
// shared log ("IsConnected(code)", "2.GetName(0)", ...) so tests can check
// call order and arguments across objects.
using CallLog = std::shared_ptr<QStringList>;

class FakeUpdateItem : public UpdateItem
{
    Q_OBJECT

public:
    FakeUpdateItem(CallLog log, int id, QString name);

    QString GetName(int n) override;
    void Cancel() override;
    qint16 PrepareDownload(qint16 b) override;
    void Execute() override;
    QString GetText(int n) override;

    int id;
    QString name;
    QString text;
    qint16 prepareReply = Contract::True;
    // Operation whose call throws RuntimeError OperationFailed, e.g. "GetName".
    QString failing;

private:
    void record(const QString &call);

    CallLog m_log;
};

class FakeUpdateCollection : public UpdateCollection
{
public:
    explicit FakeUpdateCollection(CallLog log) : m_log(std::move(log)) {}

    int Count() override;
    std::shared_ptr<UpdateItem> Item(int index) override;

    std::vector<std::shared_ptr<FakeUpdateItem>> items;

private:
    CallLog m_log;
};

class FakeUpdateService : public UpdateService
{
public:
    explicit FakeUpdateService(CallLog log) : m_log(std::move(log)) {}

    qint16 IsConnected(const QString &strProdCode) override;
    std::shared_ptr<UpdateCollection> GetUpdates(const QString &strProdCode) override;

    qint16 connectedReply = Contract::True;
    std::shared_ptr<FakeUpdateCollection> collection;

private:
    CallLog m_log;
};

// A service with `count` updates named "Update 1", "Update 2", ...
struct FakeBackend
{
    explicit FakeBackend(int count);

    UpdateServiceFactory factory();
    FakeUpdateItem &item(int i) { return *collection->items.at(i - 1); }

    CallLog log = std::make_shared<QStringList>();
    std::shared_ptr<FakeUpdateCollection> collection;
    qint16 connectedReply = Contract::True;
    int created = 0;
};
