// The result str builder for the Python harness (bench/str_from_utf8.py),
// loaded with ctypes.PyDLL so that the GIL is held: the module's own surface
// stays as it is. Not part of the wheel.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "python/str_from_utf8.hpp"
#include "quillforge/text/transcode.hpp"

namespace {

namespace utf8 = qf::text::utf8;

constexpr qf::text::Isa kIsas[] = {
    qf::text::Isa::Portable, qf::text::Isa::Sse2, qf::text::Isa::Avx2, qf::text::Isa::Avx512};

const utf8::Kernels* kernels_of(int isa) { return isa >= 0 && isa < 4 ? utf8::kernels_for(kIsas[isa]) : nullptr; }

// The first pass without validation, for the cost of validating: characters
// (bytes that start one) and the largest byte, in the same blocks as the
// AVX-512 and AVX2 measure.
#if defined(__x86_64__)
__attribute__((target("avx512f,avx512bw,popcnt"))) utf8::Shape count_avx512(std::string_view text) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto* end = p + text.size();
    std::size_t characters = 0;
    __m512i max_byte = _mm512_setzero_si512();
    for (; end - p >= 64; p += 64) {
        const __m512i block = _mm512_loadu_si512(p);
        max_byte = _mm512_max_epu8(max_byte, block);
        characters +=
            static_cast<std::size_t>(__builtin_popcountll(_mm512_cmpgt_epi8_mask(block, _mm512_set1_epi8(-65))));
    }
    for (; p < end; ++p) {
        characters += (*p & 0xC0) != 0x80;
    }
    return {true, characters, _mm512_movepi8_mask(max_byte) != 0 ? utf8::Width::Ucs4 : utf8::Width::Ascii};
}

__attribute__((target("avx2,popcnt"))) utf8::Shape count_avx2(std::string_view text) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto* end = p + text.size();
    std::size_t characters = 0;
    __m256i max_byte = _mm256_setzero_si256();
    for (; end - p >= 32; p += 32) {
        const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        max_byte = _mm256_max_epu8(max_byte, block);
        characters += static_cast<std::size_t>(__builtin_popcount(
            static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(block, _mm256_set1_epi8(-65))))));
    }
    for (; p < end; ++p) {
        characters += (*p & 0xC0) != 0x80;
    }
    return {true, characters, _mm256_movemask_epi8(max_byte) == 0 ? utf8::Width::Ascii : utf8::Width::Ucs4};
}
#endif

utf8::Shape count_only(std::string_view text) {
#if defined(__x86_64__)
    const std::string_view name = utf8::kernels().name;
    if (name == "avx512") {
        return count_avx512(text);
    }
    if (name == "avx2") {
        return count_avx2(text);
    }
#endif
    return utf8::kernels().measure(text);
}

}  // namespace

extern "C" {

// What the binding returns for a result: a new str, or null with the error set.
[[gnu::visibility("default")]] PyObject* qf_bench_str_from_utf8(const char* bytes, std::size_t size) {
    return qf::py::str_from_utf8({bytes, size});
}

// The two-pass build at any size with one implementation (0 portable, 1 SSE2,
// 2 AVX2, 3 AVX-512); None when this CPU lacks it.
[[gnu::visibility("default")]] PyObject* qf_bench_build_str(const char* bytes, std::size_t size, int isa) {
    const utf8::Kernels* kernels = kernels_of(isa);
    return kernels != nullptr ? qf::py::detail::build_str({bytes, size}, *kernels) : Py_NewRef(Py_None);
}

// Nanoseconds per call over `rounds` calls that build and drop a str, timed
// here so that small texts are not drowned by the ctypes call: `which` is 0
// for PyUnicode_FromStringAndSize, 1 for the two-pass build (best
// implementation, no threshold). Negative when a call fails.
[[gnu::visibility("default")]] double qf_bench_str_loop(const char* bytes, std::size_t size, int which, int rounds) {
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < rounds; ++round) {
        PyObject* str = which == 0 ? PyUnicode_FromStringAndSize(bytes, static_cast<Py_ssize_t>(size))
                                   : qf::py::detail::build_str({bytes, size}, utf8::kernels());
        if (str == nullptr) {
            PyErr_Clear();
            return -1;
        }
        Py_DECREF(str);
    }
    const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
    return elapsed.count() / rounds;
}

// Nanoseconds per first pass over `rounds` passes: `which` 0 is measure as
// the builder runs it, 1 the same blocks counting only (no validation).
[[gnu::visibility("default")]] double qf_bench_measure_loop(const char* bytes, std::size_t size, int which,
                                                            int rounds) {
    std::size_t sink = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < rounds; ++round) {
        const utf8::Shape shape = which == 0 ? utf8::kernels().measure({bytes, size}) : count_only({bytes, size});
        sink += shape.characters + static_cast<std::size_t>(shape.width);
        asm volatile("" : : "r"(sink) : "memory");
    }
    const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
    return elapsed.count() / rounds;
}

// Name of the implementation the builder uses on this CPU.
[[gnu::visibility("default")]] const char* qf_bench_str_kernels() { return utf8::kernels().name; }

}  // extern "C"
