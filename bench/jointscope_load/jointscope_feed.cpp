// jointscope_feed: sends moving-skeleton Mocap frames at a steady rate.
// Usage: jointscope_feed [--ip A] [--port P] [--rate F] [--duration S]
#include "paced_sender.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char* argv[])
{
    std::string ip = "127.0.0.1";
    long port = 15000;
    double rate = 120;
    double duration = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--ip") == 0)
            ip = argv[i + 1];
        else if (std::strcmp(argv[i], "--port") == 0)
            port = std::strtol(argv[i + 1], nullptr, 10);
        else if (std::strcmp(argv[i], "--rate") == 0)
            rate = std::strtod(argv[i + 1], nullptr);
        else if (std::strcmp(argv[i], "--duration") == 0)
            duration = std::strtod(argv[i + 1], nullptr);
        else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }
    if (argc % 2 == 0 || port < 1 || port > 65535 || rate <= 0 || duration <= 0) {
        std::fprintf(stderr, "usage: %s [--ip A] [--port 1-65535] [--rate F>0] [--duration S>0]\n", argv[0]);
        return 2;
    }
    const std::atomic<bool> stop{false};
    const auto result = nmb::bench::send_paced(ip, static_cast<std::uint16_t>(port), rate, duration, stop);
    if (!result.ok) {
        std::fprintf(stderr, "cannot send to %s:%ld\n", ip.c_str(), port);
        return 1;
    }
    std::printf("sent %llu frames (%llu failed), worst lag %.2f ms\n",
                static_cast<unsigned long long>(result.sent),
                static_cast<unsigned long long>(result.failed), result.max_lag_ms);
    return 0;
}
