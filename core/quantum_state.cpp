#include "quantum_state.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

namespace kyr {

QuantumState::QuantumState(std::uint64_t num_qubits, AmplitudeBuffer real,
                           AmplitudeBuffer imag) noexcept
    : num_qubits_(num_qubits), real_(std::move(real)), imag_(std::move(imag)) {}

Result<QuantumState> QuantumState::create(std::uint64_t num_qubits) {
    if (num_qubits == 0 || num_qubits > max_file_qubits) {
        return value_error("num_qubits must be 1-30, got " + std::to_string(num_qubits));
    }
    const std::size_t dimension = std::size_t{1} << num_qubits;
    AmplitudeBuffer real = AmplitudeBuffer::zeroed(dimension);
    AmplitudeBuffer imag = AmplitudeBuffer::zeroed(dimension);
    real[0] = 1.0;
    return QuantumState(num_qubits, std::move(real), std::move(imag));
}

QuantumState QuantumState::from_parts(std::uint64_t num_qubits, AmplitudeBuffer real,
                                      AmplitudeBuffer imag) {
    return QuantumState(num_qubits, std::move(real), std::move(imag));
}

Status QuantumState::check_index(std::uint64_t index) const {
    if ((index >> num_qubits_) != 0) {
        return value_error("Index " + std::to_string(index) + " out of range for " +
                           std::to_string(num_qubits_) + " qubits");
    }
    return {};
}

Result<std::pair<double, double>> QuantumState::get_amplitude(std::uint64_t index) const {
    if (auto checked = check_index(index); !checked) {
        return std::unexpected(std::move(checked.error()));
    }
    return std::pair{real_[index], imag_[index]};
}

Status QuantumState::set_amplitude(std::uint64_t index, double re, double im) {
    if (auto checked = check_index(index); !checked) {
        return checked;
    }
    real_[index] = re;
    imag_[index] = im;
    return {};
}

void QuantumState::replace_amplitudes(AmplitudeBuffer real, AmplitudeBuffer imag) noexcept {
    real_ = std::move(real);
    imag_ = std::move(imag);
}

double accumulate_norm_squared(double acc, const double* real, const double* imag,
                               std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        const double term = real[i] * real[i] + imag[i] * imag[i];
        acc += term;
    }
    return acc;
}

double QuantumState::norm_squared() const noexcept {
    const std::size_t count = std::min(real_.size(), imag_.size());
    return accumulate_norm_squared(-0.0, real_.data(), imag_.data(), count);
}

Status QuantumState::normalize() {
    const double norm_sq = norm_squared();
    if (norm_sq < 1e-15) {
        return value_error("Cannot normalize zero state");
    }
    const double norm = std::sqrt(norm_sq);
    // Division, not multiplication by 1/norm: the two differ in the last bit.
    for (double& value : real_.span()) {
        value /= norm;
    }
    for (double& value : imag_.span()) {
        value /= norm;
    }
    return {};
}

bool QuantumState::is_normalized(double tolerance) const noexcept {
    return tolerance > std::fabs(norm_squared() - 1.0);
}

Result<double> QuantumState::fidelity(const QuantumState& other) const {
    if (num_qubits_ != other.num_qubits_) {
        return value_error("Dimension mismatch: " + std::to_string(num_qubits_) + " vs " +
                           std::to_string(other.num_qubits_) + " qubits");
    }
    const double* ar = real_.data();
    const double* ai = imag_.data();
    const double* br = other.real_.data();
    const double* bi = other.imag_.data();
    double re = 0.0;
    double im = 0.0;
    const std::uint64_t dimension = this->dimension();
    for (std::uint64_t i = 0; i < dimension; ++i) {
        const double re_term = ar[i] * br[i] + ai[i] * bi[i];
        const double im_term = ar[i] * bi[i] - ai[i] * br[i];
        re += re_term;
        im += im_term;
    }
    return re * re + im * im;
}

std::optional<std::string> QuantumState::get_metadata(std::string_view key) const {
    const auto found = metadata_.find(std::string(key));
    if (found == metadata_.end()) {
        return std::nullopt;
    }
    return found->second;
}

void QuantumState::set_metadata(std::string key, std::string value) {
    metadata_.insert_or_assign(std::move(key), std::move(value));
}

std::string format_norm(double norm) {
    if (std::isnan(norm)) {
        return "NaN";
    }
    if (std::isinf(norm)) {
        return norm > 0 ? "inf" : "-inf";
    }
    // to_chars rounds the exact binary value, ties to even.
    char buffer[400];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, norm,
                                       std::chars_format::fixed, 6);
    return std::string(buffer, written.ptr);
}

std::string QuantumState::summary() const {
    return "KyrFile: " + std::to_string(num_qubits_) + " qubits, dim=" +
           std::to_string(dimension()) + ", norm=" + format_norm(std::sqrt(norm_squared())) +
           ", " + std::to_string(metadata_.size()) + " metadata entries";
}

std::string QuantumState::constructor_form() const {
    return "KyrFile(num_qubits=" + std::to_string(num_qubits_) +
           ", dimension=" + std::to_string(dimension()) +
           ", bond_dim=" + std::to_string(bond_dimension_) +
           ", golay=" + (golay_enabled_ ? "true" : "false") + ")";
}

}  // namespace kyr
