// Moving states between memory and .kyr files. Regular files are streamed
// through a bounded buffer, so no whole-file copy is ever held; results and
// messages are those of encoding or decoding the whole file at once.
#pragma once

#include <cstddef>
#include <string>

#include "error.hpp"
#include "quantum_state.hpp"
#include "stop_check.hpp"

namespace kyr {

// Size of the buffers that file bytes pass through (one for writing, two for
// reading ahead). Measured on an idle machine at 24 and 26 qubits: 4 MiB
// loads and saves 15-30% faster than 1 MiB (buffers of this size are
// huge-page backed), and 256 KiB is slower still.
inline constexpr std::size_t disk_chunk_bytes = std::size_t{4} << 20;

// Writes the encoded state so that `path` ends up holding either its previous
// contents or the whole new state, whatever fails (see ReplacementFile).
// Records `path` as the state's source path only when everything succeeded.
Status write_state_file(QuantumState& state, const std::string& path,
                        const StopCheck& stop = never_stop());

// Decodes the file at `path`: I/O errors "Read error: ...", format errors as
// from_bytes reports them. The state remembers `path`. The header is read and
// checked first, and nothing past the amplitudes is ever read; the size the
// system reports is only a hint.
Result<QuantumState> read_state_file(const std::string& path,
                                     const StopCheck& stop = never_stop());

// Whether `path` holds a decodable state whose squared norm is within 1e-6 of
// 1. Fails only with `interrupted`.
Result<bool> verify_state_file(const std::string& path, const StopCheck& stop = never_stop());

}  // namespace kyr
