// A small C library for the Python harness (loaded with ctypes): the workload
// generator, and the bare loops that bound the engine on this machine, timed in
// the same process as the module. Not part of the wheel.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "workload.hpp"

namespace {

char* release(std::string&& text, std::size_t* size) {
    *size = text.size();
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy != nullptr) {
        std::memcpy(copy, text.data(), text.size());
        copy[text.size()] = '\0';
    }
    return copy;
}

}  // namespace

extern "C" {

// The workload's JSON text and its hashed bytes, each in a malloc'd buffer that
// qf_bench_free releases. `flavour` is 0 for ASCII, 1 for mixed, 2 for escape-heavy.
[[gnu::visibility("default")]] int qf_bench_workload(int flavour, std::size_t size, char** json, std::size_t* json_size,
                                                     char** hashed, std::size_t* hashed_size) {
    const auto kind = flavour == 0   ? qf::bench::Flavour::Ascii
                      : flavour == 1 ? qf::bench::Flavour::Mixed
                                     : qf::bench::Flavour::Escaped;
    auto workload = qf::bench::make_workload(kind, size);
    *json = release(std::move(workload.json), json_size);
    *hashed = release(std::move(workload.hashed), hashed_size);
    return *json != nullptr && *hashed != nullptr ? 0 : -1;
}

[[gnu::visibility("default")]] void qf_bench_free(void* buffer) { std::free(buffer); }

// Seeded 64-bit FNV-1a over the bytes, `rounds` times: the serial chain that
// candidate generation cannot beat. Returns the last hash so the work stays.
[[gnu::visibility("default")]] std::uint64_t qf_bench_fnv1a(const char* bytes, std::size_t size, std::uint64_t seed,
                                                            int rounds) {
    std::uint64_t state = 0;
    for (int round = 0; round < rounds; ++round) {
        state = 0xcbf29ce484222325u ^ (seed + static_cast<std::uint64_t>(round));
        for (std::size_t i = 0; i < size; ++i) {
            state = (state ^ static_cast<unsigned char>(bytes[i])) * 0x100000001b3u;
        }
    }
    return state;
}

// memcpy of the bytes into `target`, `rounds` times.
[[gnu::visibility("default")]] void qf_bench_memcpy(char* target, const char* bytes, std::size_t size, int rounds) {
    for (int round = 0; round < rounds; ++round) {
        std::memcpy(target, bytes, size);
        asm volatile("" : : "r"(target) : "memory");
    }
}

}  // extern "C"
