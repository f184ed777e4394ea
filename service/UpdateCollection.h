// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>

class UpdateItem;

// The updates the service has for one product. Indexes run from 1 to Count().
class UpdateCollection
{
public:
    virtual ~UpdateCollection() = default;

    virtual int Count() = 0;
    // The item is already known to provide the UpdateItem interface.
    virtual std::shared_ptr<UpdateItem> Item(int index) = 0;
};
