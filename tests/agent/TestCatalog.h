#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QUrl>

// Writes catalog files and payloads into a folder: catalog/, payloads/ and
// the install folder install/.
class TestCatalog
{
public:
    static constexpr char16_t Code[] = u"{6C0B5C8E-1F7A-4B8E-9D0A-3A5E2C1D4B6F}";

    explicit TestCatalog(const QString &root);

    QString catalogDir() const { return m_root + QStringLiteral("/catalog"); }
    QString payloadDir() const { return m_root + QStringLiteral("/payloads"); }
    QString installDir() const { return m_root + QStringLiteral("/install"); }

    // Random bytes of the given size, also written to payloads/name.
    QByteArray makePayload(const QString &name, qint64 size) const;
    static QUrl fileUrl(const QString &path) { return QUrl::fromLocalFile(path); }
    QUrl payloadUrl(const QString &name) const { return fileUrl(payloadDir() + u'/' + name); }

    // An update entry whose size and checksum describe `content`.
    static QJsonObject update(const QString &id, const QString &name, const QByteArray &content,
                              const QUrl &url);
    void writeProduct(const QJsonArray &updates, const QString &code = QString::fromUtf16(Code),
                      const QString &fileName = QStringLiteral("product.json")) const;
    void writeRaw(const QString &fileName, const QByteArray &content) const;
    // Files left in the install folder, hidden ones included.
    QStringList installedFiles() const;

private:
    QString m_root;
};
