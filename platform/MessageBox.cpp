#include "platform/MessageBox.h"

namespace brindle {

QString applicationTitle() {
    return QStringLiteral("Brindle");
}

} // namespace brindle
