#pragma once

#include <QString>

#include <optional>

namespace tavo {

// The HTTP proxy for tile requests, as the settings file holds it. The port
// stays text until a connection is configured (proxyPortNumber).
struct ProxySettings
{
    bool useProxy = false; // the stored integer is exactly 1
    QString server;
    QString port;
    QString username;
    QString password;

    friend bool operator==(const ProxySettings& a, const ProxySettings& b)
    {
        return a.useProxy == b.useProxy && a.server == b.server && a.port == b.port &&
               a.username == b.username && a.password == b.password;
    }
    friend bool operator!=(const ProxySettings& a, const ProxySettings& b) { return !(a == b); }
};

// The port text as a TCP port: read as every integer of the program is read
// (decimal, or hexadecimal after "$", "0x" or "0X") and between 1 and 65535.
// Otherwise no value, and `error` (when given) says why: "'<text>' is not a
// valid integer value", or "'<text>' is not a valid proxy port (1 to 65535)".
std::optional<int> proxyPortNumber(const QString& text, QString* error = nullptr);

} // namespace tavo
