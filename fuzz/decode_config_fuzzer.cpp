// decode_config on any bytes: it must fail cleanly or give a configuration
// with a finite temperature whose fields, written back as JSON, decode to the
// same values (the temperature exactly where the reader's steps are exact).
// Its look for the compact form must give what the token steps give.
#include <cmath>
#include <cstdint>
#include <string>

#include "engine/decode_record.hpp"
#include "fuzz_check.hpp"
#include "quillforge/codec.hpp"
#include "quillforge/json/writer.hpp"
#include "support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = qf::fuzz::as_text(data, size);
    auto config = qf::decode_config(text);
    auto by_tokens = qf::detail::decode_config_by_tokens(text);
    // The shortest text names one double, so equal outcomes are equal bits.
    const std::string outcome = qf::test::config_outcome(config);
    QF_FUZZ_CHECK(outcome == qf::test::config_outcome(by_tokens), outcome.c_str());
    if (!config) {
        qf::fuzz::check_decode_error(config.error(), text);
        return 0;
    }
    // An out-of-range number is a decoding error, so nothing infinite gets through.
    QF_FUZZ_CHECK(std::isfinite(config->temperature), "temperature is finite");

    std::string temperature;
    qf::json::write_f64(temperature, config->temperature);
    std::string written = "[" + temperature + ",";
    qf::json::write_u64(written, config->max_candidates);
    written += ',';
    qf::json::write_u64(written, config->seed);
    written += ']';
    auto again = qf::decode_config(written);
    QF_FUZZ_CHECK(again.has_value(), written.c_str());
    QF_FUZZ_CHECK(again->max_candidates == config->max_candidates, written.c_str());
    QF_FUZZ_CHECK(again->seed == config->seed, written.c_str());
    // Shortest digits of up to 17 places: outside the exact range the steps may
    // round twice (significand, then the power of ten), never by more than that.
    const std::uint64_t distance = qf::fuzz::ulp_distance(again->temperature, config->temperature);
    QF_FUZZ_CHECK(qf::fuzz::reads_exactly(temperature) ? distance == 0 : distance <= 2, written.c_str());
    return 0;
}
