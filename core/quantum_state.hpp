// The in-memory pure state of an n-qubit register and its arithmetic.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "amplitude_buffer.hpp"
#include "error.hpp"

namespace kyr {

// Enumeration order of metadata is unspecified; nothing may rely on it.
using MetadataMap = std::unordered_map<std::string, std::string>;

inline constexpr std::uint64_t max_file_qubits = 30;
inline constexpr std::uint64_t default_bond_dimension = 64;

class QuantumState {
public:
    // |0...0> on 1 to 30 qubits; arrays come zero-filled from the allocator.
    static Result<QuantumState> create(std::uint64_t num_qubits);
    // Takes two arrays of equal power-of-two length 2^num_qubits that the
    // caller has validated; sets the default settings.
    static QuantumState from_parts(std::uint64_t num_qubits, AmplitudeBuffer real,
                                   AmplitudeBuffer imag);

    std::uint64_t num_qubits() const noexcept { return num_qubits_; }
    std::uint64_t dimension() const noexcept { return std::uint64_t{1} << num_qubits_; }
    std::span<const double> real() const noexcept { return real_.span(); }
    std::span<const double> imag() const noexcept { return imag_.span(); }

    std::uint64_t bond_dimension() const noexcept { return bond_dimension_; }
    void set_bond_dimension(std::uint64_t value) noexcept { bond_dimension_ = value; }
    bool golay_enabled() const noexcept { return golay_enabled_; }
    void set_golay_enabled(bool value) noexcept { golay_enabled_ = value; }
    const std::optional<std::string>& source_path() const noexcept { return source_path_; }
    void set_source_path(std::string path) { source_path_ = std::move(path); }

    Result<std::pair<double, double>> get_amplitude(std::uint64_t index) const;
    Status set_amplitude(std::uint64_t index, double re, double im);
    // Replaces both arrays; each must have dimension() elements.
    void replace_amplitudes(AmplitudeBuffer real, AmplitudeBuffer imag) noexcept;

    double norm_squared() const noexcept;
    Status normalize();
    bool is_normalized(double tolerance) const noexcept;
    Result<double> fidelity(const QuantumState& other) const;

    std::optional<std::string> get_metadata(std::string_view key) const;
    void set_metadata(std::string key, std::string value);
    const MetadataMap& metadata() const noexcept { return metadata_; }

    // "KyrFile: {n} qubits, dim={d}, norm={norm:.6f}, {count} metadata entries"
    std::string summary() const;
    // "KyrFile(num_qubits={n}, dimension={d}, bond_dim={b}, golay={true|false})"
    std::string constructor_form() const;

private:
    QuantumState(std::uint64_t num_qubits, AmplitudeBuffer real, AmplitudeBuffer imag) noexcept;
    Status check_index(std::uint64_t index) const;

    std::uint64_t num_qubits_;
    AmplitudeBuffer real_;
    AmplitudeBuffer imag_;
    std::uint64_t bond_dimension_ = default_bond_dimension;
    bool golay_enabled_ = true;
    MetadataMap metadata_;
    std::optional<std::string> source_path_;
};

// Sequential squared norm: one accumulator starting at -0.0, index order,
// each term re*re + im*im formed before it is added. Shared with the
// streaming file verifier, which must agree with it bit for bit.
double accumulate_norm_squared(double acc, const double* real, const double* imag,
                               std::size_t count) noexcept;

// The norm as the summary form prints it: six decimals, "NaN", "inf".
std::string format_norm(double norm);

}  // namespace kyr
