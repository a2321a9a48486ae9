#include "http/HttpClient.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

using tavo::http::socketErrorFor;
using tavo::http::socketErrorMessage;

TEST(SocketError, MapsTheFailuresTheProgramTellsApart)
{
    struct Case
    {
        CURLcode code;
        long osErrno;
        int expected;
        const char* text;
    };
    const Case cases[] = {
        {CURLE_RECV_ERROR, ECONNRESET, 10054, "Connection reset by peer."},
        {CURLE_SEND_ERROR, ECONNRESET, 10054, "Connection reset by peer."},
        {CURLE_SEND_ERROR, EPIPE, 10054, "Connection reset by peer."},
        {CURLE_GOT_NOTHING, 0, 10054, "Connection reset by peer."},
        {CURLE_COULDNT_CONNECT, ECONNREFUSED, 10061, "Connection refused."},
        {CURLE_COULDNT_CONNECT, 0, 10061, "Connection refused."},
        {CURLE_COULDNT_CONNECT, ETIMEDOUT, 10060, "Connection timed out."},
        {CURLE_COULDNT_CONNECT, ENETUNREACH, 10051, "Network is unreachable."},
        {CURLE_OPERATION_TIMEDOUT, 0, 10060, "Connection timed out."},
        {CURLE_OPERATION_TIMEDOUT, ECONNREFUSED, 10060, "Connection timed out."},
        {CURLE_COULDNT_RESOLVE_HOST, 0, 11001, "Host not found."},
        {CURLE_COULDNT_RESOLVE_PROXY, 0, 11001, "Host not found."},
        {CURLE_RECV_ERROR, ECONNABORTED, 10053, "Software caused connection abort."},
    };
    for (const Case& c : cases) {
        const auto error = socketErrorFor(c.code, c.osErrno);
        EXPECT_EQ(error.code, c.expected) << c.code << " errno " << c.osErrno;
        EXPECT_STREQ(error.text, c.text) << c.code << " errno " << c.osErrno;
    }
}

TEST(SocketError, AStaleConnectErrnoDoesNotRelabelAReceiveFailure)
{
    // libcurl keeps the errno of an earlier failed connect; a later receive
    // failure must not be reported as a refused connection.
    const auto error = socketErrorFor(CURLE_RECV_ERROR, ECONNREFUSED);
    EXPECT_NE(error.code, 10061);
    EXPECT_NE(error.code, 10054);
}

TEST(SocketError, OtherFailuresNeverLookLikeAResetOrARefusal)
{
    // A reader of the log tells a reset or a refusal by these; only the
    // failures above may carry them.
    for (int code = 1; code < CURL_LAST; ++code) {
        if (code == CURLE_RECV_ERROR || code == CURLE_SEND_ERROR || code == CURLE_GOT_NOTHING)
            continue;
        const std::string message = socketErrorMessage(socketErrorFor(code, 0));
        EXPECT_EQ(message.rfind("Socket Error # ", 0), 0u) << message;
        for (const char* marker : {"10054", "302", "403", "404"})
            EXPECT_EQ(message.find(marker), std::string::npos) << code << ": " << message;
    }
}
