// Fuzz target for the scenario parser: any input is either accepted or rejected with one line that names
// the environment variable; it never crashes. Built with libFuzzer where the compiler has it
// (-fsanitize=fuzzer); otherwise the main below feeds it a deterministic stream of mutated inputs, which
// the sanitizer builds run in CI.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "simaudio/scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    simaudio::Scenario scenario;
    std::string error;
    if (!simaudio::parseScenario(text, scenario, error)) {
        if (error.rfind("AUDIO_HELPER_SIM: ", 0) != 0 || error.find('\n') != std::string::npos) std::abort();
    } else if (scenario.frames == 0 || scenario.burst == 0) {
        std::abort();  // accepted values are usable ones
    }
    return 0;
}

#ifndef AUDIO_HELPER_LIBFUZZER
int main(int argc, char** argv) {
    const long iterations = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 200000;
    const char* seeds[] = {
        "source=ramp,frames=960,period=0,burst=3",
        "coinit=0x00000001,activate=0x80004005,delay=never,noclient",
        "silent_every=3,fail_size_after=10,fail_buffer_at=2,zero_packet_at=4,discontinuity_at=5",
        "stall=initialize:20,capacity=960,packets=7,trace=/dev/null",
        "quiet=10:20,quiet=0:5,jitter=300",
        "result=0x8007000e,service=0x88890004,start=0x88890001,initialize=0x88890008",
        "stop_at=release:11,fail_event=capture,fail_wait=activation,fail_size_once_after=3"};
    const std::string alphabet = "=,:0123456789xabcdefABCDEFnevrtomplsuy_ \x01\xff";
    std::mt19937 random(12345);
    long accepted = 0;
    for (long i = 0; i < iterations; ++i) {
        std::string input = seeds[random() % (sizeof seeds / sizeof *seeds)];
        for (auto edits = random() % 6; edits > 0; --edits) {
            const std::size_t at = input.empty() ? 0 : random() % (input.size() + 1);
            switch (random() % 3) {
                case 0:
                    input.insert(at, 1, alphabet[random() % alphabet.size()]);
                    break;
                case 1:
                    if (at < input.size()) input.erase(at, 1 + random() % 8);
                    break;
                default:
                    if (at < input.size()) input[at] = alphabet[random() % alphabet.size()];
                    break;
            }
        }
        simaudio::Scenario scenario;
        std::string error;
        accepted += simaudio::parseScenario(input, scenario, error) ? 1 : 0;
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
    }
    std::printf("%ld inputs, %ld accepted, none crashed\n", iterations, accepted);
    return 0;
}
#endif
