/* The floor of this machine for replay timing: reads a recording of ID-0
 * frames into memory, then sends each frame as one UDP datagram after
 * sleeping to its absolute due time with clock_nanosleep(TIMER_ABSTIME) on
 * CLOCK_MONOTONIC. No event loop, no console, no checks beyond the envelope
 * length: what is left of its lateness is the kernel's wake-up.
 *
 *   floor_sender FILE ADDRESS PORT [RATE]
 */
#define _POSIX_C_SOURCE 200809L

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static uint64_t read_le(const unsigned char* p, int bytes)
{
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | p[i];
    return value;
}

static int64_t now_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

int main(int argc, char** argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: %s FILE ADDRESS PORT [RATE]\n", argv[0]);
        return 2;
    }
    const double rate = argc > 4 ? atof(argv[4]) : 1.0;
    FILE* file = fopen(argv[1], "rb");
    if (!file || rate <= 0.0) {
        perror(argv[1]);
        return 2;
    }
    fseek(file, 0, SEEK_END);
    const long size = ftell(file);
    fseek(file, 0, SEEK_SET);
    unsigned char* data = malloc(size > 0 ? (size_t)size : 1);
    if (!data || fread(data, 1, (size_t)size, file) != (size_t)size)
        return 1;
    fclose(file);

    struct sockaddr_storage to;
    memset(&to, 0, sizeof to);
    socklen_t to_length = 0;
    struct sockaddr_in* v4 = (struct sockaddr_in*)&to;
    struct sockaddr_in6* v6 = (struct sockaddr_in6*)&to;
    if (inet_pton(AF_INET, argv[2], &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons((uint16_t)atoi(argv[3]));
        to_length = sizeof *v4;
    } else if (inet_pton(AF_INET6, argv[2], &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons((uint16_t)atoi(argv[3]));
        to_length = sizeof *v6;
    } else {
        fprintf(stderr, "bad address %s\n", argv[2]);
        return 2;
    }
    const int sock = socket(to.ss_family, SOCK_DGRAM, 0);
    if (sock < 0) {
        perror("socket");
        return 1;
    }

    /* Due time of frame i: the first send plus its timestamp offset over the
     * rate, on one absolute clock, so nothing adds up. */
    int64_t start_ns = 0;
    uint64_t first_timestamp = 0;
    long at = 0;
    for (long index = 0; at + 10 <= size; ++index) {
        const long length = 10 + (long)read_le(data + at + 4, 2);
        if (data[at] != 0xAA || data[at + 1] != 0x55 || at + length > size || length < 18)
            return 1;
        const uint64_t timestamp = read_le(data + at + 6, 8);
        if (index == 0) {
            first_timestamp = timestamp;
            start_ns = now_ns();
        } else {
            const int64_t due = start_ns + (int64_t)((double)(timestamp - first_timestamp) * 1000.0 / rate);
            struct timespec deadline = {(time_t)(due / 1000000000), (long)(due % 1000000000)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, NULL) == EINTR) {
            }
        }
        if (sendto(sock, data + at, (size_t)length, 0, (struct sockaddr*)&to, to_length) != length) {
            perror("sendto");
            return 1;
        }
        at += length;
    }
    close(sock);
    free(data);
    return 0;
}
