// The machine's own limit for the download job: the least a client can do to
// fetch the job's tiles and store them as files. N threads, each with one
// kept-alive libcurl handle, take the URLs of a list in turn through an HTTP
// proxy; each body is written under a temporary name and renamed to its own
// file. No window, no log, no sync. Prints name=value lines.
//
//   tavo_ceiling --proxy-port P --urls FILE --out DIR [--threads N]

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user)
{
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

bool writeFile(const std::string& path, const std::string& body)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    const char* data = body.data();
    std::size_t left = body.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written <= 0) {
            ::close(fd);
            return false;
        }
        data += written;
        left -= std::size_t(written);
    }
    return ::close(fd) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    int proxyPort = 0;
    int threads = 8;
    std::string urlsPath, out;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--proxy-port")
            proxyPort = std::atoi(argv[i + 1]);
        else if (name == "--threads")
            threads = std::atoi(argv[i + 1]);
        else if (name == "--urls")
            urlsPath = argv[i + 1];
        else if (name == "--out")
            out = argv[i + 1];
    }
    std::vector<std::string> urls;
    {
        std::ifstream in(urlsPath);
        for (std::string line; std::getline(in, line);)
            if (!line.empty())
                urls.push_back(line);
    }
    if (proxyPort <= 0 || threads < 1 || urls.empty() || out.empty()) {
        std::fprintf(stderr, "usage: tavo_ceiling --proxy-port P --urls FILE --out DIR "
                             "[--threads N]\n");
        return 2;
    }
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
        return 1;

    std::atomic<std::size_t> next{0};
    std::atomic<long> stored{0}, failed{0};
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            CURL* curl = curl_easy_init();
            std::string body;
            curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
            curl_easy_setopt(curl, CURLOPT_TCP_NODELAY, 1L);
            curl_easy_setopt(curl, CURLOPT_PROXY, "127.0.0.1");
            curl_easy_setopt(curl, CURLOPT_PROXYPORT, long(proxyPort));
            curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &onBody);
            curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
            for (std::size_t i; (i = next.fetch_add(1)) < urls.size();) {
                body.clear();
                curl_easy_setopt(curl, CURLOPT_URL, urls[i].c_str());
                long status = 0;
                if (curl_easy_perform(curl) != CURLE_OK ||
                    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
                    status != 200) {
                    ++failed;
                    continue;
                }
                const std::string target = out + '/' + std::to_string(i) + ".jpeg";
                const std::string temporary = target + ".part";
                if (!writeFile(temporary, body) ||
                    ::rename(temporary.c_str(), target.c_str()) != 0) {
                    ++failed;
                    continue;
                }
                ++stored;
            }
            curl_easy_cleanup(curl);
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    curl_global_cleanup();

    std::printf("tiles=%ld\n", stored.load());
    std::printf("failed=%ld\n", failed.load());
    std::printf("wall_s=%.3f\n", seconds);
    std::printf("tiles_per_s=%.1f\n", seconds > 0 ? double(stored.load()) / seconds : 0.0);
    return failed.load() == 0 ? 0 : 1;
}
