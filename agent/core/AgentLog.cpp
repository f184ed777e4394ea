#include "AgentLog.h"

Q_LOGGING_CATEGORY(lcCatalog, "catalog", QtInfoMsg)
Q_LOGGING_CATEGORY(lcDownload, "download", QtInfoMsg)
Q_LOGGING_CATEGORY(lcBus, "bus", QtInfoMsg)
Q_LOGGING_CATEGORY(lcConfig, "config", QtInfoMsg)
