/* Prints the header and the amplitudes of a .kyr file, then the squared norm.
   Build: cc -std=c99 -O2 -ffp-contract=off -o read_kyr read_kyr.c
   Run:   ./read_kyr state.kyr */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

/* Values are little-endian IEEE 754 binary64 whatever the host's byte order. */
static double little_endian_double(const unsigned char *bytes) {
    uint64_t bits = 0;
    for (int i = 7; i >= 0; i--) bits = bits << 8 | bytes[i];
    double value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

int main(int argc, char **argv) {
    if (argc != 2) { fprintf(stderr, "usage: %s FILE.kyr\n", argv[0]); return 2; }
    FILE *file = fopen(argv[1], "rb");
    if (!file) { perror(argv[1]); return 1; }
    unsigned char header[16], pair[16];
    if (fread(header, 1, 16, file) != 16 || memcmp(header, "KYR\x01", 4) != 0
        || header[4] < 1 || header[4] > 30) {
        fprintf(stderr, "%s: not a .kyr file\n", argv[1]);
        fclose(file);
        return 1;
    }
    unsigned qubits = header[4];
    printf("qubits %u\nbond_dimension %u\ngolay %d\n", qubits, header[5] ? header[5] : 64u,
           header[6] != 0);
    double norm = -0.0;  /* one accumulator, in index order, as kyr sums it */
    for (uint64_t i = 0; i < (uint64_t)1 << qubits; i++) {
        if (fread(pair, 1, 16, file) != 16) {
            fprintf(stderr, "%s: truncated at amplitude %llu\n", argv[1], (unsigned long long)i);
            fclose(file);
            return 1;
        }
        double re = little_endian_double(pair), im = little_endian_double(pair + 8);
        norm += re * re + im * im;
        printf("%llu %.17g %.17g\n", (unsigned long long)i, re, im);
    }
    printf("norm_squared %.17g\n", norm);
    fclose(file);
    return 0;
}
