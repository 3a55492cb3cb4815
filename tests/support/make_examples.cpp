// Writes the example archives: make_examples FOLDER
#include <cstdio>
#include <fstream>
#include <string>

#include "sample_archive.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: make_examples FOLDER\n", stderr);
        return 2;
    }
    const std::string folder = argv[1];
    std::ofstream(folder + "/episode1.rtlx", std::ios::binary)
        << sample_archive(rxl_magic_bytes, 3, 9000);
    std::ofstream(folder + "/deathmatch.rtcx", std::ios::binary)
        << sample_archive(rxc_magic_bytes, 2, 8200);
    return 0;
}
