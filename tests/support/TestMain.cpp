// The main of every test program: GoogleTest, and for the programs that make
// HTTP requests libcurl's process-wide set-up, as the program's own main does.

#ifdef TAVO_TEST_NET
#include "http/HttpClient.h"
#endif

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
#ifdef TAVO_TEST_NET
    tavo::http::GlobalInit curl;
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
