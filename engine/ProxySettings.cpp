#include "engine/ProxySettings.h"

#include "engine/AppError.h"
#include "engine/TextConv.h"

namespace tavo {

std::optional<int> proxyPortNumber(const QString& text, QString* error)
{
    int port = 0;
    if (!tryStrToInt(text, port)) {
        if (error)
            *error = AppError::notAnInteger(text).text();
        return std::nullopt;
    }
    if (port < 1 || port > 65535) {
        if (error)
            *error = QStringLiteral("'%1' is not a valid proxy port (1 to 65535)").arg(text);
        return std::nullopt;
    }
    return port;
}

} // namespace tavo
