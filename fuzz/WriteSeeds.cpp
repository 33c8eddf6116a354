// Writes the seed corpus of every fuzz target into <folder>/<target>/, replacing what is there.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "fuzz/targets/FuzzTargets.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    namespace fs = std::filesystem;
    for (const kova::fuzz::Target& target : kova::fuzz::targets()) {
        const fs::path folder = fs::path(argv[1]) / target.name;
        std::error_code error;
        fs::remove_all(folder, error);
        fs::create_directories(folder, error);
        if (error) {
            std::fprintf(stderr, "cannot create %s: %s\n", folder.c_str(), error.message().c_str());
            return 1;
        }
        for (const kova::fuzz::Seed& seed : kova::fuzz::seedsFor(target.name)) {
            std::ofstream file(folder / seed.name, std::ios::binary);
            file.write(reinterpret_cast<const char*>(seed.bytes.data()),
                       static_cast<std::streamsize>(seed.bytes.size()));
            if (!file) {
                std::fprintf(stderr, "cannot write %s\n", (folder / seed.name).c_str());
                return 1;
            }
        }
    }
    return 0;
}
