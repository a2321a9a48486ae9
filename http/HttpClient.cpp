#include "http/HttpClient.h"

#include <curl/curl.h>
#include <curl/header.h>

#include <cerrno>
#include <chrono>
#include <limits>
#include <mutex>
#include <new>

namespace tavo::http {

static_assert(CURL_ERROR_SIZE <= 256, "error buffer too small for libcurl");

namespace {

// Where the callbacks of the running request write.
struct Transfer
{
    std::string* body;
    std::string* statusLine;
    const std::function<bool(long)>* abortCheck = nullptr;
    std::size_t maxBodyBytes = 0;
    std::size_t received = 0;
    bool tooLarge = false;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user)
{
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t bytes = size * count;
    transfer->received += bytes;
    if (transfer->received > transfer->maxBodyBytes) {
        transfer->tooLarge = true;
        return 0; // aborts the transfer with CURLE_WRITE_ERROR
    }
    try {
        transfer->body->append(data, bytes);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return bytes;
}

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user)
{
    std::size_t bytes = size * count;
    // Only status lines matter; with interim 1xx answers the last one wins.
    if (bytes >= 5 && std::char_traits<char>::compare(data, "HTTP/", 5) == 0) {
        std::size_t length = bytes;
        while (length > 0 && (data[length - 1] == '\r' || data[length - 1] == '\n'))
            --length;
        static_cast<Transfer*>(user)->statusLine->assign(data, length);
    }
    return bytes;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto* transfer = static_cast<Transfer*>(user);
    if (!transfer || !transfer->abortCheck || !*transfer->abortCheck)
        return 0;
    const auto elapsed = std::chrono::steady_clock::now() - transfer->started;
    const long elapsedMs =
        static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
    return (*transfer->abortCheck)(elapsedMs) ? 1 : 0;
}

long stallSeconds(long stallTimeoutMs)
{
    const long seconds = (stallTimeoutMs + 999) / 1000;
    return seconds < 1 ? 1 : seconds;
}

constexpr SocketError kReset{10054, "Connection reset by peer."};
constexpr SocketError kRefused{10061, "Connection refused."};
constexpr SocketError kTimedOut{10060, "Connection timed out."};
constexpr SocketError kHostNotFound{11001, "Host not found."};
constexpr SocketError kAborted{10053, "Software caused connection abort."};

// The Windows Sockets counterpart of an errno from connecting; code 0 if none.
SocketError connectErrorFor(long osErrno)
{
    switch (osErrno) {
    case ECONNREFUSED:
        return kRefused;
    case ETIMEDOUT:
        return kTimedOut;
    case ECONNRESET:
        return kReset;
    case ECONNABORTED:
        return kAborted;
    case ENETUNREACH:
        return {10051, "Network is unreachable."};
    case EHOSTUNREACH:
        return {10065, "No route to host."};
    case ENETDOWN:
        return {10050, "Network is down."};
    case EHOSTDOWN:
        return {10064, "Host is down."};
    case EADDRNOTAVAIL:
        return {10049, "Cannot assign requested address."};
    case EADDRINUSE:
        return {10048, "Address already in use."};
    case ENOBUFS:
        return {10055, "No buffer space available."};
    case EMFILE:
        return {10024, "Too many open files."};
    default:
        return {};
    }
}

// The same for an errno from sending or receiving on an open connection.
SocketError transferErrorFor(long osErrno)
{
    switch (osErrno) {
    case ECONNRESET:
    case EPIPE:
        return kReset;
    case ECONNABORTED:
        return kAborted;
    case ETIMEDOUT:
        return kTimedOut;
    case ENETRESET:
        return {10052, "Net dropped connection or reset."};
    case ENOTCONN:
        return {10057, "Socket is not connected."};
    case ENETUNREACH:
        return {10051, "Network is unreachable."};
    case EHOSTUNREACH:
        return {10065, "No route to host."};
    default:
        return {};
    }
}

std::mutex userAgentMutex;
std::string userAgentText; // empty: the default

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

} // namespace

std::string defaultUserAgent()
{
    return std::string("Tavo/") + TAVO_VERSION + " (+" + TAVO_HOME_PAGE + ")";
}

void setUserAgent(const std::string& userAgent)
{
    std::lock_guard<std::mutex> lock(userAgentMutex);
    userAgentText = userAgent;
}

std::string userAgent()
{
    std::lock_guard<std::mutex> lock(userAgentMutex);
    return userAgentText.empty() ? defaultUserAgent() : userAgentText;
}

std::optional<long long> retryAfterSeconds(const std::string& value, std::time_t now)
{
    std::size_t begin = 0;
    std::size_t end = value.size();
    while (begin < end && isBlank(value[begin]))
        ++begin;
    while (end > begin && isBlank(value[end - 1]))
        --end;
    if (begin == end)
        return std::nullopt;
    const std::string text = value.substr(begin, end - begin);
    if (text.find_first_not_of("0123456789") == std::string::npos) {
        // A count of seconds; one too long for any clock is as good as for ever.
        if (text.size() > 12)
            return std::numeric_limits<long long>::max() / 2;
        return std::stoll(text);
    }
    const std::time_t when = curl_getdate(text.c_str(), nullptr);
    if (when == std::time_t(-1))
        return std::nullopt;
    return when > now ? static_cast<long long>(when - now) : 0LL;
}

SocketError socketErrorFor(int curlCode, long osErrno)
{
    const auto code = static_cast<CURLcode>(curlCode);
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return kHostNotFound;
    case CURLE_OPERATION_TIMEDOUT:
        return kTimedOut;
    // The peer closed the connection before sending a single byte.
    case CURLE_GOT_NOTHING:
        return kReset;
    case CURLE_COULDNT_CONNECT: {
        const SocketError mapped = connectErrorFor(osErrno);
        return mapped.code != 0 ? mapped : kRefused;
    }
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR: {
        const SocketError mapped = transferErrorFor(osErrno);
        return mapped.code != 0 ? mapped : SocketError{kAborted.code, curl_easy_strerror(code)};
    }
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
        return {10022, curl_easy_strerror(code)};
    default:
        // libcurl's generic text for the code, never its detailed message:
        // that one names hosts and ports, whose numbers would read in the log
        // like status or socket error numbers.
        return {kAborted.code, curl_easy_strerror(code)};
    }
}

std::string socketErrorMessage(const SocketError& error)
{
    std::string message = "Socket Error # ";
    message += std::to_string(error.code);
    message += "\r\n";
    message += error.text;
    return message;
}

GlobalInit::GlobalInit()
{
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
        throw std::runtime_error("libcurl could not be initialised");
}

GlobalInit::~GlobalInit()
{
    curl_global_cleanup();
}

HttpClient::HttpClient()
{
    CURL* curl = curl_easy_init();
    if (!curl)
        throw std::runtime_error("libcurl could not create a transfer handle");
    m_curl = curl;

    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    // No proxy unless one is set: an empty proxy also keeps http_proxy and
    // friends in the environment from taking effect, and an empty no-proxy
    // list keeps no_proxy from bypassing a proxy that is set.
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, m_errorText.data());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &onBody);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &onHeader);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &onProgress);
    // libcurl keeps its own copy of the text.
    curl_easy_setopt(curl, CURLOPT_USERAGENT, userAgent().c_str());
    setTimeouts(m_connectTimeoutMs, m_stallTimeoutMs);
    setMaxBodyBytes(m_maxBodyBytes);
}

HttpClient::~HttpClient()
{
    curl_easy_cleanup(static_cast<CURL*>(m_curl));
}

void HttpClient::setProxy(const ProxyEndpoint& proxy)
{
    CURL* curl = static_cast<CURL*>(m_curl);
    if (proxy.host.empty()) {
        curl_easy_setopt(curl, CURLOPT_PROXY, "");
        return;
    }
    curl_easy_setopt(curl, CURLOPT_PROXY, proxy.host.c_str());
    curl_easy_setopt(curl, CURLOPT_PROXYTYPE, long(CURLPROXY_HTTP));
    curl_easy_setopt(curl, CURLOPT_PROXYPORT,
                     long(proxy.port > 0 && proxy.port <= 65535 ? proxy.port : 0));
    if (proxy.username.empty()) {
        curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, nullptr);
        curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, nullptr);
    } else {
        curl_easy_setopt(curl, CURLOPT_PROXYAUTH, long(CURLAUTH_BASIC));
        curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, proxy.username.c_str());
        curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, proxy.password.c_str());
    }
}

void HttpClient::setTimeouts(long connectTimeoutMs, long stallTimeoutMs)
{
    m_connectTimeoutMs = connectTimeoutMs > 0 ? connectTimeoutMs : 0;
    m_stallTimeoutMs = stallTimeoutMs;
    CURL* curl = static_cast<CURL*>(m_curl);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, m_connectTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, stallSeconds(stallTimeoutMs));
}

void HttpClient::setTransferLimits(long lowSpeedBytesPerSecond, long lowSpeedSeconds,
                                   long totalTimeoutMs)
{
    CURL* curl = static_cast<CURL*>(m_curl);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT,
                     lowSpeedBytesPerSecond > 0 ? lowSpeedBytesPerSecond : 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, lowSpeedSeconds > 0 ? lowSpeedSeconds : 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, totalTimeoutMs > 0 ? totalTimeoutMs : 0L);
    m_stallTimeoutMs = (lowSpeedSeconds > 0 ? lowSpeedSeconds : 1L) * 1000;
}

void HttpClient::setMaxBodyBytes(std::size_t bytes)
{
    m_maxBodyBytes = bytes;
    curl_easy_setopt(static_cast<CURL*>(m_curl), CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(bytes));
}

void HttpClient::setAbortCheck(std::function<bool(long elapsedMs)> check)
{
    m_abortCheck = std::move(check);
    curl_easy_setopt(static_cast<CURL*>(m_curl), CURLOPT_NOPROGRESS, m_abortCheck ? 0L : 1L);
}

void HttpClient::get(const std::string& url, std::string& body)
{
    CURL* curl = static_cast<CURL*>(m_curl);
    body.clear();
    m_statusLine.clear();
    m_errorText[0] = '\0';
    m_receivedBytes = 0;
    m_expectedBytes = -1;

    Transfer transfer{&body, &m_statusLine, &m_abortCheck, m_maxBodyBytes};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
    const CURLcode result = curl_easy_perform(curl);
    // The callbacks must never see this request's locals again.
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, nullptr);
    m_receivedBytes = transfer.received;
    curl_off_t announced = -1;
    if (curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK)
        m_expectedBytes = announced;

    if (transfer.tooLarge || result == CURLE_FILESIZE_EXCEEDED) {
        body.clear();
        throw HttpError(HttpError::Kind::TooLarge, 0, "Reply too large");
    }
    if (result == CURLE_PARTIAL_FILE) {
        body.clear();
        throw HttpError(HttpError::Kind::CutShort, 0, "Reply cut short");
    }
    if (result == CURLE_ABORTED_BY_CALLBACK) {
        body.clear();
        throw HttpError(HttpError::Kind::Aborted, 10004,
                        socketErrorMessage({10004, "Interrupted function call."}));
    }
    if (result != CURLE_OK) {
        long osErrno = 0;
        curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &osErrno);
        body.clear();
        const SocketError error = socketErrorFor(result, osErrno);
        throw HttpError(HttpError::Kind::Transport, error.code, socketErrorMessage(error));
    }

    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) {
        body.clear();
        std::string message = m_statusLine;
        if (message.empty())
            message = "HTTP/1.1 " + std::to_string(status);
        throw HttpError(HttpError::Kind::Status, int(status), message);
    }
}

std::string HttpClient::responseHeader(const char* name) const
{
    curl_header* header = nullptr;
    if (curl_easy_header(static_cast<CURL*>(m_curl), name, 0, CURLH_HEADER, -1, &header) !=
            CURLHE_OK ||
        !header || !header->value)
        return {};
    // Several of the same name: the last one counts.
    if (header->amount > 1)
        curl_easy_header(static_cast<CURL*>(m_curl), name, header->amount - 1, CURLH_HEADER, -1,
                         &header);
    return header && header->value ? std::string(header->value) : std::string();
}

} // namespace tavo::http
