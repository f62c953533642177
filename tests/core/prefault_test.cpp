// The helper that faults in pages of fresh arrays while the caller fills them
// must never change what the caller wrote, wherever the two meet.
#include "core/prefault.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>

#include "core/amplitude_buffer.hpp"

namespace kyr {
namespace {

// 80 MiB per array: the helper works in 32 MiB steps from the far end.
constexpr std::size_t count = std::size_t{10} << 20;

void fill(AmplitudeBuffer& real, AmplitudeBuffer& imag, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
        real[i] = static_cast<double>(i);
        imag[i] = -static_cast<double>(i);
    }
}

std::size_t wrong_values(const AmplitudeBuffer& real, const AmplitudeBuffer& imag) {
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < count; ++i) {
        wrong += real[i] != static_cast<double>(i) || imag[i] != -static_cast<double>(i);
    }
    return wrong;
}

TEST(Prefault, KeepsWhatTheCallerWritesMeanwhile) {
    AmplitudeBuffer real = AmplitudeBuffer::uninitialized(count);
    AmplitudeBuffer imag = AmplitudeBuffer::uninitialized(count);
    {
        BackgroundPrefault prefault(real.span(), imag.span());
        for (std::size_t start = 0; start < count; start += 512) {
            fill(real, imag, start, start + 512);
            prefault.filled_up_to(start + 512);
        }
    }
    EXPECT_EQ(wrong_values(real, imag), 0u);
}

TEST(Prefault, KeepsPagesWrittenBeforeItGotThere) {
    // The caller may run ahead of what it has reported.
    AmplitudeBuffer real = AmplitudeBuffer::uninitialized(count);
    AmplitudeBuffer imag = AmplitudeBuffer::uninitialized(count);
    fill(real, imag, 0, count);
    {
        BackgroundPrefault prefault(real.span(), imag.span());
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_EQ(wrong_values(real, imag), 0u);
}

}  // namespace
}  // namespace kyr
