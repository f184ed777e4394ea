#pragma once

#include "CatalogProduct.h"

#include <QObject>
#include <QSet>

class QNetworkAccessManager;
class QNetworkReply;

// Answers whether a product's update sources can be reached: every folder
// holding a file:// payload is readable and every HTTP server answers.
class SourceProbe : public QObject
{
    Q_OBJECT

public:
    SourceProbe(const CatalogProduct &product, QNetworkAccessManager *network, int timeoutMs,
                QObject *parent = nullptr);

    // Emits done() once, possibly before returning.
    void start();

Q_SIGNALS:
    void done(bool connected);

private:
    bool foldersReadable() const;
    void onReply(QNetworkReply *reply);
    void finish(bool connected);

    CatalogProduct m_product;
    QNetworkAccessManager *m_network;
    int m_timeoutMs;
    int m_pending = 0;
    bool m_finished = false;
};
