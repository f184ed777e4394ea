// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// Ed25519 keys and signatures in the forms vendors publish them: standard
// base64 with padding of the raw bytes (32 for a key, 64 for a signature).
namespace FeedSignature {

constexpr qsizetype KeyBytes = 32;
constexpr qsizetype SignatureBytes = 64;

// A key as a product file lists it. A key of small order or not canonically
// encoded is refused: forged signatures would verify with it. *error says
// what is wrong, to follow the name of the key ("keys[0] must be ...").
std::optional<QByteArray> parsePublicKey(const QByteArray &base64, QString *error);
// A signature file: the base64 text, optionally followed by one newline.
// One whose R is of small order or not canonically encoded is refused.
std::optional<QByteArray> parseSignatureFile(const QByteArray &file, QString *error);
// Whether `signature` (raw) signs exactly `data` with the raw public key;
// never with a key or an R that parsing would refuse.
bool verify(const QByteArray &data, const QByteArray &signature, const QByteArray &key);

} // namespace FeedSignature
