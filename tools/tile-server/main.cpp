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
    "                   [--half QK,...] [--cut QK,...] [--oversized QK,...]\n"
    "                   [--oversized-bytes N] [--oversized-length yes|no]\n"
    "                   [--slow-down N,...] [--slow-down-from N [--slow-down-for-ms MS]]\n"
    "                   [--slow-down-status 429|503] [--retry-after SECONDS|date+SECONDS]\n"
    "                   [--request-log PATH]\n"
    "  --half: half the tile, announced as the whole reply; --cut: half the tile without\n"
    "  a length, then the connection closes; --oversized: a JPEG of --oversized-bytes\n"
    "  (5 MiB). --slow-down answers the given request numbers (1-based), --slow-down-from\n"
    "  every request within --slow-down-for-ms of request N (0: all from N on), with\n"
    "  --slow-down-status and Retry-After: --retry-after (date+N: the date N s on).\n"
    "  --request-log: at the end, one line a request: ms since the first, status,\n"
    "  target, User-Agent.\n"
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
    std::string requestLogPath;
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
            else if (std::set<std::string>* quadkeys =
                         option == "--html"        ? &options.htmlQuadkeys
                         : option == "--empty"     ? &options.emptyQuadkeys
                         : option == "--no-tile"   ? &options.noTileQuadkeys
                         : option == "--truncated" ? &options.truncatedQuadkeys
                         : option == "--half"      ? &options.halfQuadkeys
                         : option == "--cut"       ? &options.cutQuadkeys
                         : option == "--oversized" ? &options.oversizedQuadkeys
                                                   : nullptr) {
                for (const std::string& quadkey : splitList(value))
                    quadkeys->insert(quadkey);
            } else if (option == "--oversized-bytes")
                options.oversizedBytes = std::size_t(parseNumber(option, value, 0));
            else if (option == "--oversized-length") {
                if (value != "yes" && value != "no")
                    throw std::invalid_argument("--oversized-length: yes or no");
                options.oversizedWithLength = value == "yes";
            } else if (option == "--slow-down")
                for (const std::string& number : splitList(value))
                    options.slowDownRequests.insert(int(parseNumber(option, number, 1)));
            else if (option == "--slow-down-from")
                options.slowDownFromRequest = int(parseNumber(option, value, 1));
            else if (option == "--slow-down-for-ms")
                options.slowDownForMs = parseNumber(option, value, 0);
            else if (option == "--slow-down-status") {
                options.slowDownStatus = int(parseNumber(option, value, 0));
                if (options.slowDownStatus != 429 && options.slowDownStatus != 503)
                    throw std::invalid_argument("--slow-down-status: 429 or 503");
            } else if (option == "--retry-after")
                options.retryAfter = value;
            else if (option == "--request-log")
                requestLogPath = value;
            else if (option == "--refuse-from")
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
    if (!requestLogPath.empty()) {
        std::ofstream log(requestLogPath, std::ios::binary);
        log << server.requestLog();
        if (!log) {
            std::cerr << "tile-server: cannot write " << requestLogPath << "\n";
            return 1;
        }
    }
    return 0;
}
