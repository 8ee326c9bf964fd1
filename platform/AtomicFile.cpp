#include "platform/AtomicFile.h"

#include <QSaveFile>

namespace brindle {

bool writeFileAtomically(const QString& path, const QByteArray& data,
                         std::optional<QFileDevice::Permissions> permissions) {
    QSaveFile file(path);
    // Unbuffered, so that a short write (a full disk) shows in write()'s result. QSaveFile::commit()
    // alone does not notice a failed final flush and would put a truncated file in place.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    if (permissions && !file.setPermissions(*permissions)) {
        file.cancelWriting();
        return false;
    }
    if (file.write(data) != data.size() || !file.flush() || file.error() != QFileDevice::NoError) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

} // namespace brindle
