#pragma once
#include <optional>
#include <QByteArray>
#include <QFileDevice>
#include <QString>

namespace brindle {

// Replaces the file at `path` with `data` so that, whatever happens, the path afterwards holds either
// the old content or the new content whole: the data goes to a new file beside it, is synced to disk,
// and is renamed over the old one. With `permissions`, the new file has exactly those before it takes
// the old one's place; otherwise it keeps the old file's permissions. False when anything failed, in
// which case the old file is untouched.
bool writeFileAtomically(const QString& path, const QByteArray& data,
                         std::optional<QFileDevice::Permissions> permissions = std::nullopt);

} // namespace brindle
