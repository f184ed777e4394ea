# SPDX-License-Identifier: GPL-3.0-or-later
"""The names and values of the update service's D-Bus contract, as
service/Contract.h holds them for C++. Kept apart from it on purpose: the
end-to-end tests run the C++ client against a Python service, so the two
copies check each other."""

SERVICE_NAME = "com.palvane.UpdateService"
SERVICE_PATH = "/com/palvane/UpdateService"

# On the service object.
AGENT_IFACE = SERVICE_NAME + ".Agent"
SERVICE_IFACE = SERVICE_NAME + ".Service"
# Optional, beside those: what the agent knows of each product.
STATUS_IFACE = SERVICE_NAME + ".Status"
# On the objects whose paths the service hands out.
COLLECTION_IFACE = SERVICE_NAME + ".UpdateCollection"
ITEM_IFACE = SERVICE_NAME + ".UpdateItem"
EVENTS_IFACE = SERVICE_NAME + ".UpdateItemEvents"

# The error replies of the reference agent.
ERROR_IN_PROGRESS = SERVICE_NAME + ".Error.InProgress"
ERROR_ALREADY_INSTALLED = SERVICE_NAME + ".Error.AlreadyInstalled"
ERROR_CLAIMED = SERVICE_NAME + ".Error.Claimed"
ERROR_INSTALL_FAILED = SERVICE_NAME + ".Error.InstallFailed"
ERROR_LIMIT_EXCEEDED = SERVICE_NAME + ".Error.LimitExceeded"

# The 16-bit booleans (D-Bus "n").
TRUE = -1
FALSE = 0

# OnDownloadComplete's result codes; the client tells only SUCCESS from the
# rest. The meaning of each is in service/Contract.h.
SUCCESS = 0
CANCELLED = 1
SOURCE_FAILED = 2
TIMED_OUT = 3
WRONG_SIZE = 4
CHECKSUM_MISMATCH = 5
LOCAL_FILE_FAILED = 6
