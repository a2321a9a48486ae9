// tile-server: serves stand-in tiles on 127.0.0.1 until SIGINT or SIGTERM.

#include "TileServer.h"
#include "WorldTiles.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <pthread.h>

namespace {

const char kUsage[] =
    "usage: tile-server --port N [--tile-size BYTES] [--delay-ms MS] [--not-found QK,...]\n"
    "                   [--refuse-from N --refuse-status 403|302] [--reset N,...]\n"
    "                   [--params-file PATH] [--world JPEG | --flat] [--label]\n"
    "                   [--html QK,...] [--empty QK,...] [--no-tile QK,...] [--truncated QK,...]\n"
    "Tiles show the world (default picture " TAVO_WORLD_IMAGE ");\n"
    "--flat or --tile-size serve one flat stand-in image instead.\n";

long parseNumber(const std::string& option, const std::string& text, long minimum)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < minimum || value > 1000000000L)
        throw std::invalid_argument(option + ": not a valid number: " + text);
    return value;
}

std::vector<std::string> splitList(const std::string& text)
{
    std::vector<std::string> items;
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ','))
        if (!item.empty())
            items.push_back(item);
    return items;
}

std::string readWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::invalid_argument("--params-file: cannot read " + path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

int main(int argc, char** argv)
{
    using tavo::tileserver::Options;
    using tavo::tileserver::TileServer;

    Options options;
    int port = -1;
    bool flat = false;
    std::string world = TAVO_WORLD_IMAGE;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string option = argv[i];
            if (option == "--help" || option == "-h") {
                std::cout << kUsage;
                return 0;
            }
            if (option == "--flat" || option == "--label") {
                (option == "--flat" ? flat : options.label) = true;
                continue;
            }
            if (i + 1 >= argc)
                throw std::invalid_argument(option + ": value missing");
            const std::string value = argv[++i];
            if (option == "--port")
                port = int(parseNumber(option, value, 0));
            else if (option == "--tile-size") {
                options.tileSize = std::size_t(parseNumber(option, value, 0));
                flat = true;
            } else if (option == "--world")
                world = value;
            else if (option == "--delay-ms")
                options.delayMs = int(parseNumber(option, value, 0));
            else if (option == "--not-found")
                for (const std::string& quadkey : splitList(value))
                    options.notFoundQuadkeys.insert(quadkey);
            else if (option == "--html" || option == "--empty" || option == "--no-tile" ||
                     option == "--truncated") {
                std::set<std::string>& quadkeys = option == "--html"    ? options.htmlQuadkeys
                                                  : option == "--empty" ? options.emptyQuadkeys
                                                  : option == "--no-tile"
                                                      ? options.noTileQuadkeys
                                                      : options.truncatedQuadkeys;
                for (const std::string& quadkey : splitList(value))
                    quadkeys.insert(quadkey);
            } else if (option == "--refuse-from")
                options.refuseFromRequest = int(parseNumber(option, value, 0));
            else if (option == "--refuse-status") {
                options.refuseStatus = int(parseNumber(option, value, 0));
                if (options.refuseStatus != 403 && options.refuseStatus != 302)
                    throw std::invalid_argument("--refuse-status: 403 or 302");
            } else if (option == "--reset")
                for (const std::string& number : splitList(value))
                    options.resetRequests.insert(int(parseNumber(option, number, 1)));
            else if (option == "--params-file")
                options.paramsBody = readWholeFile(value);
            else
                throw std::invalid_argument("unknown option " + option);
        }
        if (port < 0 || port > 65535)
            throw std::invalid_argument("--port: a port from 0 to 65535 is required");
        if (!flat) {
            tavo::tileserver::WorldTiles::shared(world); // read once, and now: a bad file ends here
            options.worldImage = world;
        }
    } catch (const std::exception& error) {
        std::cerr << "tile-server: " << error.what() << "\n" << kUsage;
        return 2;
    }

    // Block the stop signals before any serving thread exists, so that only
    // sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    TileServer server(options);
    try {
        port = server.start(port);
    } catch (const std::exception& error) {
        std::cerr << "tile-server: " << error.what() << "\n";
        return 1;
    }
    std::cout << "listening on 127.0.0.1:" << port << std::endl;

    int received = 0;
    sigwait(&stopSignals, &received);
    server.stop();
    std::cout << "stopped after " << server.requestCount() << " requests" << std::endl;
    return 0;
}
