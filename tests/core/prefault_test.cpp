// The worker job that faults in pages of fresh arrays while the caller fills
// them: it does fault them in (mincore), from the far end, and never changes
// what the caller wrote, wherever the two meet.
#include "core/prefault.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "core/amplitude_buffer.hpp"
#include "tests/core/processors.hpp"

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

// Whether every page of the last `bytes` of `values` is resident.
bool tail_resident(const AmplitudeBuffer& values, std::size_t bytes) {
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto end = reinterpret_cast<std::uintptr_t>(values.data() + count) / page * page;
    const std::uintptr_t begin = (end - bytes) / page * page;
    std::vector<unsigned char> resident((end - begin) / page);
    if (mincore(reinterpret_cast<void*>(begin), end - begin, resident.data()) != 0) {
        return false;
    }
    for (const unsigned char flags : resident) {
        if ((flags & 1) == 0) {
            return false;
        }
    }
    return true;
}

TEST(Prefault, FaultsInThePagesFromTheFarEnd) {
    if (!workers_can_run()) {
        GTEST_SKIP() << "one processor: no worker faults pages in";
    }
    AmplitudeBuffer real = AmplitudeBuffer::uninitialized(count);
    AmplitudeBuffer imag = AmplitudeBuffer::uninitialized(count);
    constexpr std::size_t far_end = std::size_t{16} << 20;
    if (tail_resident(real, far_end) || tail_resident(imag, far_end)) {
        GTEST_SKIP() << "fresh arrays came resident";
    }
    BackgroundPrefault prefault(real.span(), imag.span());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!(tail_resident(real, far_end) && tail_resident(imag, far_end)) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(tail_resident(real, far_end));
    EXPECT_TRUE(tail_resident(imag, far_end));
}

}  // namespace
}  // namespace kyr
