// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "service/StatusTypes.h"

#include <QVariantMap>

struct AgentContext;
struct Product;

// A product's answer to GetProductStatus, from what the agent holds in
// memory: nothing here reads a payload or waits for the network.
namespace StatusReport {

// The status interface's types, once before it is exported.
void registerTypes();

QVariantMap of(AgentContext &context, const Product &product);

} // namespace StatusReport
