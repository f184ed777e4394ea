// SPDX-License-Identifier: GPL-3.0-or-later
#include "FakeUpdateService.h"

#include "RuntimeError.h"

using namespace Qt::StringLiterals;

FakeUpdateItem::FakeUpdateItem(CallLog log, int id, QString name)
    : id(id)
    , name(std::move(name))
    , m_log(std::move(log))
{
}

void FakeUpdateItem::record(const QString &call)
{
    m_log->append(QString::number(id) + u'.' + call);
    if (call.startsWith(failing + u'(') && !failing.isEmpty())
        throw RuntimeError(RuntimeError::OperationFailed,
                           u"com.palvane.UpdateService.Error.Test: "_s + failing + u" failed"_s);
}

QString FakeUpdateItem::GetName(int n)
{
    record(u"GetName("_s + QString::number(n) + u')');
    return name;
}

void FakeUpdateItem::Cancel()
{
    record(u"Cancel()"_s);
}

qint16 FakeUpdateItem::PrepareDownload(qint16 b)
{
    record(u"PrepareDownload("_s + QString::number(b) + u')');
    return prepareReply;
}

void FakeUpdateItem::Execute()
{
    record(u"Execute()"_s);
}

QString FakeUpdateItem::GetText(int n)
{
    record(u"GetText("_s + QString::number(n) + u')');
    return text;
}

int FakeUpdateCollection::Count()
{
    m_log->append(u"Count()"_s);
    return int(items.size());
}

std::shared_ptr<UpdateItem> FakeUpdateCollection::Item(int index)
{
    m_log->append(u"Item("_s + QString::number(index) + u')');
    if (index < 1 || index > int(items.size()))
        throw RuntimeError(RuntimeError::OperationFailed,
                           u"org.freedesktop.DBus.Error.InvalidArgs: no item "_s + QString::number(index));
    return items.at(index - 1);
}

qint16 FakeUpdateService::IsConnected(const QString &strProdCode)
{
    m_log->append(u"IsConnected("_s + strProdCode + u')');
    return connectedReply;
}

std::shared_ptr<UpdateCollection> FakeUpdateService::GetUpdates(const QString &strProdCode)
{
    m_log->append(u"GetUpdates("_s + strProdCode + u')');
    return collection;
}

FakeBackend::FakeBackend(int count)
    : collection(std::make_shared<FakeUpdateCollection>(log))
{
    for (int i = 1; i <= count; ++i)
        collection->items.push_back(
            std::make_shared<FakeUpdateItem>(log, i, u"Update "_s + QString::number(i)));
}

UpdateServiceFactory FakeBackend::factory()
{
    return [this]() -> std::unique_ptr<UpdateService> {
        ++created;
        auto service = std::make_unique<FakeUpdateService>(log);
        service->connectedReply = connectedReply;
        service->collection = collection;
        return service;
    };
}
