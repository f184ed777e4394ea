// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <optional>

// A value, or why there is none.
template <typename T>
struct Result
{
    std::optional<T> value;
    QString error; // set when value is empty

    explicit operator bool() const { return value.has_value(); }
    const T &operator*() const { return *value; }
    const T *operator->() const { return &*value; }
};
