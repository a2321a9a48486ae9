#pragma once

#include <array>
#include <cstddef>
#include <ctime>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

// A small blocking HTTP client for tile and parameter downloads.
//
// One instance owns one connection (kept alive between requests to the same
// host); it is used by one thread at a time. Redirects are never followed:
// any answer outside 2xx is a failure.

namespace tavo::http {

// Why a GET failed. kind() and code() are what the program decides by; the
// message text is what it logs:
//  - a response outside 2xx:   the status line, e.g. "HTTP/1.1 404 Not Found"
//  - a transport failure:      "Socket Error # <n>" and a short text, where
//                              <n> is the Windows Sockets number of the OS
//                              error (10054 reset, 10061 refused, 10060 timed
//                              out, 11001 host not found, ...)
//  - a transfer ended by the abort check (Kind::Aborted):
//                              "Socket Error # 10004" and "Interrupted
//                              function call."
//  - a body shorter than its Content-Length (Kind::CutShort) or longer than
//    the client accepts (Kind::TooLarge): "Reply cut short", "Reply too
//    large"; receivedBytes() and expectedBytes() tell the sizes.
class HttpError : public std::runtime_error
{
public:
    enum class Kind
    {
        Status,
        Transport,
        Aborted,
        CutShort,
        TooLarge
    };
    HttpError(Kind kind, int code, const std::string& message)
        : std::runtime_error(message), m_kind(kind), m_code(code)
    {
    }
    Kind kind() const { return m_kind; }
    // The HTTP status for Kind::Status, the Windows Sockets number otherwise.
    int code() const { return m_code; }

private:
    Kind m_kind;
    int m_code;
};

struct ProxyEndpoint
{
    std::string host;
    int port = 0;
    std::string username;
    std::string password;
};

// libcurl's process-wide set-up and clean-up. Exactly one lives in `main`
// (and in each test program), created before any thread and destroyed after
// every thread that uses an HttpClient has ended.
class GlobalInit final
{
public:
    GlobalInit(); // throws std::runtime_error when libcurl cannot start
    ~GlobalInit();
    GlobalInit(const GlobalInit&) = delete;
    GlobalInit& operator=(const GlobalInit&) = delete;
};

// What every request says it comes from: "Tavo/<version> (+<home page>)".
std::string defaultUserAgent();
// Replaces the User-Agent of every client created from now on; an empty text
// brings the default back. Any thread.
void setUserAgent(const std::string& userAgent);
std::string userAgent();

// The wait a Retry-After value asks for, in seconds from `now`: a number of
// seconds or an HTTP date (a date in the past gives 0). None when the value
// is neither.
std::optional<long long> retryAfterSeconds(const std::string& value, std::time_t now);

// Requires a GlobalInit for the whole of its life.
class HttpClient final
{
public:
    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Every later request goes through this HTTP proxy (absolute-form
    // request line, Basic Proxy-Authorization when a user name is given).
    void setProxy(const ProxyEndpoint& proxy);

    // Connect time-out and stalled-transfer time-out (no byte for this long).
    // The stall time-out is applied in whole seconds, rounded up (at least 1).
    void setTimeouts(long connectTimeoutMs, long stallTimeoutMs);
    long connectTimeoutMs() const { return m_connectTimeoutMs; }
    long stallTimeoutMs() const { return m_stallTimeoutMs; }

    // Bounds of every later transfer: it fails as timed out ("Socket Error #
    // 10060") when fewer than `lowSpeedBytesPerSecond` arrive per second for
    // `lowSpeedSeconds` in a row, or when it takes longer than
    // `totalTimeoutMs` in all (0: no total limit). Replaces the stall
    // time-out of setTimeouts.
    void setTransferLimits(long lowSpeedBytesPerSecond, long lowSpeedSeconds, long totalTimeoutMs);

    // Asked about once a second while a transfer runs, with the milliseconds
    // since it started; returning true ends it with HttpError::Kind::Aborted.
    // Called on the thread that runs get().
    void setAbortCheck(std::function<bool(long elapsedMs)> check);

    // The largest body a get accepts (DefaultMaxBodyBytes unless set). A
    // larger one ends the transfer as soon as it is announced or received
    // (HttpError::Kind::TooLarge), so a reply never holds more than this.
    static constexpr std::size_t DefaultMaxBodyBytes = 4 * 1024 * 1024;
    void setMaxBodyBytes(std::size_t bytes);
    std::size_t maxBodyBytes() const { return m_maxBodyBytes; }

    // GET url; on success `body` holds exactly the response body (it is
    // cleared first). Throws HttpError on any failure, with `body` empty.
    // Every request carries the User-Agent the client was created with.
    void get(const std::string& url, std::string& body);

    // A header of the last get's response (the last one of that name),
    // without its name and surrounding blanks; empty when it had none. Also
    // after a get that failed with an HTTP status (Retry-After of a 429).
    std::string responseHeader(const char* name) const;

    // Body bytes the last get received, and the length its response
    // announced (-1 when it announced none).
    std::size_t receivedBytes() const { return m_receivedBytes; }
    long long expectedBytes() const { return m_expectedBytes; }

private:
    void* m_curl = nullptr; // CURL*
    long m_connectTimeoutMs = 10000;
    long m_stallTimeoutMs = 30000;
    std::function<bool(long)> m_abortCheck;
    std::size_t m_maxBodyBytes = DefaultMaxBodyBytes;
    std::size_t m_receivedBytes = 0;
    long long m_expectedBytes = -1;
    std::string m_statusLine;            // last status line of the running request
    std::array<char, 256> m_errorText{}; // libcurl's error buffer (CURL_ERROR_SIZE)
};

// What a failed transfer is reported as: the Windows Sockets number and its
// text. `curlCode` is the CURLcode of the transfer, `osErrno` the errno that
// libcurl recorded for it (0 if none).
struct SocketError
{
    int code = 0;
    const char* text = "";
};
SocketError socketErrorFor(int curlCode, long osErrno);

// "Socket Error # <code>" CR LF <text>
std::string socketErrorMessage(const SocketError& error);

} // namespace tavo::http
