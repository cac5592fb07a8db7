// Plays a lab's monitor with many instruments for the archive benchmark: its
// status online, then for SECONDS one reading per instrument and period,
// published as a monitor publishes them (QoS 1, retained, rising seq).
//
// Usage: frostgauge-bench-remote-publisher PORT PREFIX CLIENT_ID INSTRUMENTS SECONDS [PERIOD_MS]

#include <mosquitto.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

int main(int argc, char *argv[])
{
    if (argc < 6) {
        fprintf(stderr, "usage: %s PORT PREFIX CLIENT_ID INSTRUMENTS SECONDS [PERIOD_MS]\n", argv[0]);
        return 2;
    }
    const int port = atoi(argv[1]);
    const std::string prefix = argv[2];
    const std::string clientId = argv[3];
    const int instruments = atoi(argv[4]);
    const int seconds = atoi(argv[5]);
    const int periodMs = argc > 6 ? atoi(argv[6]) : 1000;
    mosquitto_lib_init();
    mosquitto *client = mosquitto_new((clientId + "-bench").c_str(), true, nullptr);
    mosquitto_max_inflight_messages_set(client, 1000);
    if (mosquitto_connect(client, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS || mosquitto_loop_start(client)) {
        fprintf(stderr, "cannot reach the broker\n");
        return 1;
    }
    const std::string status = prefix + "/monitor/" + clientId + "/status";
    mosquitto_publish(client, nullptr, status.c_str(), 6, "online", 1, true);
    using Clock = std::chrono::steady_clock;
    const auto begin = Clock::now();
    long long seq = 0;
    long long sent = 0;
    for (int tick = 0; tick * periodMs < seconds * 1000; ++tick) {
        ++seq;
        const long long nowMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
                .count();
        const time_t whole = time_t(nowMs / 1000);
        char stamp[32];
        strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", gmtime(&whole));
        for (int i = 0; i < instruments; ++i) {
            char topic[256];
            char payload[128];
            snprintf(topic, sizeof topic, "%s/cryo%d/temperature", prefix.c_str(), i + 1);
            const int length = snprintf(payload, sizeof payload, "{\"time\":\"%s.%03dZ\",\"kelvin\":%.3f,\"seq\":%lld}",
                                        stamp, int(nowMs % 1000), 4.2 + 0.01 * std::sin(seq / 10.0 + i), seq);
            while (mosquitto_publish(client, nullptr, topic, length, payload, 1, true) == MOSQ_ERR_OVERSIZE_PACKET)
                ;
            ++sent;
        }
        std::this_thread::sleep_until(begin + std::chrono::milliseconds((tick + 1) * periodMs));
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    mosquitto_disconnect(client);
    mosquitto_loop_stop(client, false);
    printf("%lld readings of %d instruments\n", sent, instruments);
    return 0;
}
