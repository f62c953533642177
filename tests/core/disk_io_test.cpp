#include "core/disk_io.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <random>
#include <semaphore>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/state_file.hpp"
#include "core/worker_thread.hpp"

namespace kyr {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::byte>;

class DiskIo : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kyr-disk-io-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    std::string write_bytes(const std::string& name, const Bytes& bytes) const {
        const std::string target = path(name);
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return target;
    }

    static Bytes read_bytes(const std::string& target) {
        std::ifstream in(target, std::ios::binary);
        const std::vector<char> chars{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        Bytes bytes(chars.size());
        std::memcpy(bytes.data(), chars.data(), chars.size());
        return bytes;
    }

    fs::path dir_;
};

Bytes header_bytes(int num_qubits) {
    Bytes bytes(16);
    std::memcpy(bytes.data(), "KYR\x01", 4);
    bytes[4] = static_cast<std::byte>(num_qubits);
    return bytes;
}

// A state whose squared norm is exactly the square of `amplitude`, plus
// whatever rounding squaring adds.
Bytes file_with_first_amplitude(double amplitude) {
    QuantumState state = *QuantumState::create(2);
    EXPECT_TRUE(state.set_amplitude(0, amplitude, 0.0));
    return to_bytes(state);
}

void expect_same_state(const QuantumState& got, const QuantumState& want) {
    ASSERT_EQ(got.num_qubits(), want.num_qubits());
    EXPECT_EQ(got.bond_dimension(), want.bond_dimension());
    EXPECT_EQ(got.golay_enabled(), want.golay_enabled());
    ASSERT_EQ(got.real().size(), want.real().size());
    ASSERT_EQ(got.imag().size(), want.imag().size());
    EXPECT_EQ(std::memcmp(got.real().data(), want.real().data(), want.real().size_bytes()), 0);
    EXPECT_EQ(std::memcmp(got.imag().data(), want.imag().data(), want.imag().size_bytes()), 0);
}

// --- save -----------------------------------------------------------------------

TEST_F(DiskIo, SavedFileHoldsTheEncodingAndLoadsBack) {
    std::mt19937_64 rng(3);
    std::normal_distribution<double> normal;
    QuantumState state = *QuantumState::create(6);
    for (std::uint64_t i = 0; i < state.dimension(); ++i) {
        ASSERT_TRUE(state.set_amplitude(i, normal(rng), normal(rng)));
    }
    state.set_bond_dimension(1000);
    state.set_golay_enabled(false);
    state.set_metadata("k", "v");
    const std::string target = path("state.kyr");

    ASSERT_TRUE(write_state_file(state, target));
    EXPECT_EQ(state.source_path(), target);
    EXPECT_EQ(read_bytes(target), to_bytes(state));

    const auto loaded = read_state_file(target);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->bond_dimension(), 255u);
    EXPECT_FALSE(loaded->golay_enabled());
    EXPECT_TRUE(loaded->metadata().empty());
    EXPECT_EQ(loaded->source_path(), target);
    EXPECT_EQ(std::memcmp(loaded->real().data(), state.real().data(), state.real().size_bytes()), 0);
    EXPECT_EQ(std::memcmp(loaded->imag().data(), state.imag().data(), state.imag().size_bytes()), 0);
}

// Below 1 MiB the worker thread encodes each next chunk while the caller
// writes; chunks grow from 256 KiB by a quarter, and a chunk takes what is
// left when that is less than twice its size: one chunk of 256 KiB + 16
// bytes (14 qubits), a last chunk longer than the one before (15). From 1 MiB
// the caller and the worker each encode and write chunks of an eighth of the
// file, 128 KiB (16 qubits) to 512 KiB (18 and 20), the last one 16 bytes.
// With the worker held by another job the caller does it all itself.
class DiskIoChunkedSave : public DiskIo,
                          public ::testing::WithParamInterface<std::tuple<std::uint32_t, bool>> {};

TEST_P(DiskIoChunkedSave, WritesExactBytes) {
    const auto [qubits, worker_busy] = GetParam();
    QuantumState state = *QuantumState::create(qubits);
    for (std::uint64_t i = 0; i < state.dimension(); i += 4099) {
        ASSERT_TRUE(state.set_amplitude(i, static_cast<double>(i), -static_cast<double>(i)));
    }
    std::binary_semaphore release{0};
    std::optional<WorkerJob> hold;
    if (worker_busy) {
        hold.emplace([&] { release.acquire(); });
    }
    const std::string target = path("large.kyr");
    ASSERT_TRUE(write_state_file(state, target));
    release.release();
    EXPECT_EQ(read_bytes(target), to_bytes(state));
}

INSTANTIATE_TEST_SUITE_P(SizesAndWorkerBusy, DiskIoChunkedSave,
                         ::testing::Combine(::testing::Values(14u, 15u, 16u, 17u, 18u, 20u),
                                            ::testing::Bool()));

TEST_F(DiskIo, SaveOverALongerFileLeavesOnlyTheNewBytes) {
    const std::string target = write_bytes("old.kyr", Bytes(10000, std::byte{0x55}));
    QuantumState state = *QuantumState::create(1);
    ASSERT_TRUE(write_state_file(state, target));
    EXPECT_EQ(read_bytes(target), to_bytes(state));
}

TEST_F(DiskIo, RelativePathIsRecordedAsGiven) {
    const fs::path previous = fs::current_path();
    fs::current_path(dir_);
    QuantumState state = *QuantumState::create(1);
    const auto written = write_state_file(state, "a.kyr");
    const auto loaded = read_state_file("a.kyr");
    fs::current_path(previous);
    ASSERT_TRUE(written);
    EXPECT_EQ(state.source_path(), "a.kyr");
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->source_path(), "a.kyr");
}

struct WriteFailureCase {
    const char* name;
    const char* target;  // relative to the test directory unless absolute
    std::string message;
};

class DiskIoWriteFailure : public DiskIo, public ::testing::WithParamInterface<WriteFailureCase> {};

TEST_P(DiskIoWriteFailure, ReportsWriteErrorAndKeepsSourcePath) {
    const std::string target = GetParam().target[0] == '/' ? GetParam().target : path(GetParam().target);
    if (GetParam().target[0] == '/' && !fs::exists(target)) {
        GTEST_SKIP() << target << " is absent";
    }
    fs::create_directory(path("subdir"));
    QuantumState fresh = *QuantumState::create(2);
    QuantumState saved = *QuantumState::create(2);
    ASSERT_TRUE(write_state_file(saved, path("earlier.kyr")));

    for (QuantumState* state : {&fresh, &saved}) {
        const std::optional<std::string> before = state->source_path();
        const auto result = write_state_file(*state, target);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().kind, ErrorKind::io);
        EXPECT_EQ(result.error().message, GetParam().message);
        EXPECT_EQ(state->source_path(), before);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DiskIoWriteFailure,
    ::testing::Values(
        WriteFailureCase{"MissingDirectory", "missing/a.kyr",
                         "Write error: No such file or directory (os error 2)"},
        WriteFailureCase{"Directory", "subdir", "Write error: Is a directory (os error 21)"},
        WriteFailureCase{"DeviceFull", "/dev/full", "Write error: No space left on device (os error 28)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DiskIo, NulInPathIsRefusedBeforeTheSystemSeesIt) {
    const std::string with_nul = path("a.kyr") + std::string(1, '\0') + "b";
    QuantumState state = *QuantumState::create(1);
    const auto written = write_state_file(state, with_nul);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().message, "Write error: path contains a NUL character");
    EXPECT_FALSE(fs::exists(path("a.kyr")));

    ASSERT_TRUE(write_state_file(state, path("a.kyr")));
    const auto loaded = read_state_file(with_nul);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().kind, ErrorKind::io);
    EXPECT_EQ(loaded.error().message, "Read error: path contains a NUL character");
    EXPECT_FALSE(verify_state_file(with_nul).value());
}

// --- load -------------------------------------------------------------------

TEST_F(DiskIo, MissingFileIsAnOsError) {
    const auto loaded = read_state_file(path("absent.kyr"));
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().kind, ErrorKind::io);
    EXPECT_TRUE(loaded.error().message.starts_with("Read error: "));
    EXPECT_TRUE(loaded.error().message.ends_with(" (os error 2)"));
    EXPECT_EQ(loaded.error().message, "Read error: No such file or directory (os error 2)");
}

TEST_F(DiskIo, DirectoryIsAnOsError) {
    const auto loaded = read_state_file(dir_.string());
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().kind, ErrorKind::io);
    EXPECT_EQ(loaded.error().message, "Read error: Is a directory (os error 21)");
}

TEST_F(DiskIo, EmptyFileIsAFormatError) {
    const auto loaded = read_state_file(write_bytes("empty.kyr", {}));
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().kind, ErrorKind::value);
    EXPECT_EQ(loaded.error().message, "File too small");
}

// Every file of the corpus must load exactly as from_bytes decodes its
// contents: the same state bit for bit, or the same error.
class DiskIoAgreesWithDecoder : public DiskIo, public ::testing::WithParamInterface<int> {};

std::vector<Bytes> corpus() {
    std::mt19937_64 rng(99);
    std::uniform_int_distribution<int> byte(0, 255);
    auto random_file = [&](int num_qubits, std::size_t length) {
        Bytes bytes(length);
        for (std::byte& b : bytes) {
            b = static_cast<std::byte>(byte(rng));
        }
        const Bytes header = header_bytes(num_qubits);
        std::copy_n(header.begin(), std::min<std::size_t>(length, 5), bytes.begin());
        return bytes;
    };
    auto full = [](int n) { return 16 + (std::size_t{16} << n); };
    std::vector<Bytes> files;
    for (std::size_t length = 0; length < 16; ++length) {
        files.push_back(random_file(1, length));
    }
    for (const int n : {1, 3, 8}) {
        files.push_back(random_file(n, full(n)));
        files.push_back(random_file(n, full(n) + 5));
        files.push_back(random_file(n, full(n) - 1));
        files.push_back(random_file(n, 16));
        files.push_back(random_file(n, 17));
    }
    // Beyond the chunk buffer: exact, with a tail, and cut inside and at the
    // edge of a chunk.
    files.push_back(random_file(19, full(19)));
    files.push_back(random_file(20, full(20) + 100));
    files.push_back(random_file(19, disk_chunk_bytes));
    files.push_back(random_file(19, disk_chunk_bytes + 1));
    files.push_back(random_file(19, full(19) - 16));
    for (const int n : {0, 31, 200, 255}) {
        files.push_back(random_file(n, 64));
    }
    Bytes wrong_magic = random_file(1, full(1));
    wrong_magic[3] = std::byte{0};
    files.push_back(wrong_magic);
    files.push_back(file_with_first_amplitude(1.0));
    files.push_back(file_with_first_amplitude(std::nan("")));
    return files;
}

TEST_F(DiskIo, StreamingReaderAgreesWithDecoderOnEveryCorpusFile) {
    const std::vector<Bytes> files = corpus();
    for (std::size_t k = 0; k < files.size(); ++k) {
        SCOPED_TRACE("file " + std::to_string(k) + " of " + std::to_string(files[k].size()) + " bytes");
        const std::string target = write_bytes("corpus.kyr", files[k]);
        const auto expected = from_bytes(files[k]);
        const auto loaded = read_state_file(target);
        ASSERT_EQ(loaded.has_value(), expected.has_value());
        if (expected) {
            expect_same_state(*loaded, *expected);
            EXPECT_EQ(loaded->source_path(), target);
            EXPECT_EQ(verify_state_file(target).value(), std::fabs(expected->norm_squared() - 1.0) < 1e-6);
        } else {
            EXPECT_EQ(loaded.error().kind, expected.error().kind);
            EXPECT_EQ(loaded.error().message, expected.error().message);
            EXPECT_FALSE(verify_state_file(target).value());
        }
    }
}

TEST_F(DiskIo, PipeIsReadWholeAndDecoded) {
    const std::string fifo = path("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const QuantumState state = *QuantumState::create(3);
    for (const Bytes& contents : {to_bytes(state), Bytes(7), header_bytes(2)}) {
        std::thread writer([&] {
            std::ofstream out(fifo, std::ios::binary);
            out.write(reinterpret_cast<const char*>(contents.data()),
                      static_cast<std::streamsize>(contents.size()));
        });
        const auto loaded = read_state_file(fifo);
        writer.join();
        const auto expected = from_bytes(contents);
        ASSERT_EQ(loaded.has_value(), expected.has_value());
        if (expected) {
            expect_same_state(*loaded, *expected);
            EXPECT_EQ(loaded->source_path(), fifo);
        } else {
            EXPECT_EQ(loaded.error().message, expected.error().message);
        }
    }
}

// Targets that a save writes in place, in file order, whatever their size:
// a pipe, which has no offsets, and a file with a second name.
class DiskIoInPlaceSave : public DiskIo, public ::testing::WithParamInterface<const char*> {};

TEST_P(DiskIoInPlaceSave, LargeStateIsWrittenWhole) {
    QuantumState state = *QuantumState::create(19);
    for (std::uint64_t i = 0; i < state.dimension(); i += 4099) {
        ASSERT_TRUE(state.set_amplitude(i, static_cast<double>(i), 0.5));
    }
    const std::string target = path("target");
    Bytes received;
    std::thread reader;
    if (std::string(GetParam()) == "pipe") {
        ASSERT_EQ(mkfifo(target.c_str(), 0600), 0);
        reader = std::thread([&] { received = read_bytes(target); });
    } else {
        write_bytes("target", Bytes(10, std::byte{1}));
        fs::create_hard_link(target, path("second-name"));
    }
    const auto written = write_state_file(state, target);
    if (reader.joinable()) {
        reader.join();
    } else {
        received = read_bytes(path("second-name"));
    }
    ASSERT_TRUE(written) << written.error().message;
    EXPECT_EQ(received, to_bytes(state));
}

INSTANTIATE_TEST_SUITE_P(Targets, DiskIoInPlaceSave, ::testing::Values("pipe", "hard_link"));

// --- verify -----------------------------------------------------------------

struct VerifyCase {
    const char* name;
    Bytes contents;
    bool expected;
};

class DiskIoVerify : public DiskIo, public ::testing::WithParamInterface<VerifyCase> {};

TEST_P(DiskIoVerify, AnswersWithoutFailing) {
    EXPECT_EQ(verify_state_file(write_bytes("v.kyr", GetParam().contents)).value(), GetParam().expected);
}

Bytes with_noise_after_amplitudes(Bytes bytes) {
    for (std::size_t i = 7; i < 16; ++i) {
        bytes[i] = std::byte{0xEE};
    }
    bytes.resize(bytes.size() + 40, std::byte{0x7F});
    return bytes;
}

Bytes truncated(Bytes bytes) {
    bytes.pop_back();
    return bytes;
}

Bytes with_version(Bytes bytes, int version) {
    bytes[3] = static_cast<std::byte>(version);
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DiskIoVerify,
    ::testing::Values(VerifyCase{"Fresh", file_with_first_amplitude(1.0), true},
                      VerifyCase{"AllZero", file_with_first_amplitude(0.0), false},
                      VerifyCase{"NaN", file_with_first_amplitude(std::nan("")), false},
                      VerifyCase{"Infinite", file_with_first_amplitude(INFINITY), false},
                      VerifyCase{"HalfMicroAbove", file_with_first_amplitude(std::sqrt(1.0 + 5e-7)), true},
                      VerifyCase{"TwoMicroAbove", file_with_first_amplitude(std::sqrt(1.0 + 2e-6)), false},
                      VerifyCase{"TwoMicroBelow", file_with_first_amplitude(std::sqrt(1.0 - 2e-6)), false},
                      VerifyCase{"Empty", {}, false},
                      VerifyCase{"WrongMagic", with_version(file_with_first_amplitude(1.0), 2), false},
                      VerifyCase{"Truncated", truncated(file_with_first_amplitude(1.0)), false},
                      VerifyCase{"ReservedAndTrailingBytes",
                                 with_noise_after_amplitudes(file_with_first_amplitude(1.0)), true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DiskIo, VerifyIsFalseForPathsThatCannotBeRead) {
    EXPECT_FALSE(verify_state_file(path("absent.kyr")).value());
    EXPECT_FALSE(verify_state_file(dir_.string()).value());
}

TEST_F(DiskIo, VerifyFlipsExactlyWhereTheInMemoryNormDoes) {
    // Amplitudes of very different sizes make the sum order-sensitive, and the
    // file spans several chunks, so a reordering at a chunk seam would move
    // the point where the answer flips.
    QuantumState state = *QuantumState::create(19);
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (std::uint64_t i = 0; i < state.dimension(); ++i) {
        const double re = std::ldexp(unit(rng), -static_cast<int>(i % 40));
        ASSERT_TRUE(state.set_amplitude(i, re, unit(rng) * 1e-9));
    }
    ASSERT_TRUE(state.normalize());
    const double im = state.imag()[0];
    auto set_first = [&](std::uint64_t bits) {
        ASSERT_TRUE(state.set_amplitude(0, std::bit_cast<double>(bits), im));
    };
    auto inside = [&] { return std::fabs(state.norm_squared() - 1.0) < 1e-6; };
    // Bisect over the bit patterns of positive doubles (ordered like the
    // values) for the smallest first amplitude that leaves the tolerance.
    std::uint64_t low = std::bit_cast<std::uint64_t>(state.real()[0]);  // inside
    std::uint64_t high = std::bit_cast<std::uint64_t>(1.0);             // outside
    while (high - low > 1) {
        const std::uint64_t middle = low + (high - low) / 2;
        set_first(middle);
        (inside() ? low : high) = middle;
    }
    set_first(high);
    ASSERT_FALSE(inside());
    const std::string outside_file = path("outside.kyr");
    ASSERT_TRUE(write_state_file(state, outside_file));
    set_first(low);
    ASSERT_TRUE(inside());
    const std::string inside_file = path("inside.kyr");
    ASSERT_TRUE(write_state_file(state, inside_file));

    EXPECT_TRUE(verify_state_file(inside_file).value());
    EXPECT_FALSE(verify_state_file(outside_file).value());
}

}  // namespace
}  // namespace kyr
