// lumora-models: writes the project's test networks as encrypted model files.

#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

#include "real/real_models.h"
#include "test_networks.h"
#include "training/facemask_training.h"

namespace {

void printHelp(std::ostream& out) {
    out << "Usage: lumora-models [options] DIR\n"
           "Writes the test networks into DIR (created when missing): by default all eighteen\n"
           "model pairs (nine bases, plain and _quantized), encrypted as the library reads them.\n"
           "\n"
           "Options:\n"
           "  --only BASE          write only this base (may be repeated)\n"
           "  --plain              write only the plain variant\n"
           "  --quantized          write only the _quantized variant\n"
           "  --encoder-values N   body encoder with N output values (512, or 256 for the\n"
           "                       wrong-length model that the library must reject)\n"
           "  --decrypted          write unencrypted .xml/.bin files, for inspection\n"
           "  --real WEIGHTS_DIR   write the real networks instead, converted from the pretrained\n"
           "                       weights that scripts/fetch-weights puts in WEIGHTS_DIR\n"
           "  --train-facemask PHOTOS_DIR\n"
           "                       with --real: fit the face-mask read-out on PHOTOS_DIR/with_mask\n"
           "                       and PHOTOS_DIR/without_mask, print its test figures and write\n"
           "                       it as C++ source to the file DIR (real/facemask_readout.cpp)\n"
           "  --mask-examples DIR  with --train-facemask: write a masked and a bare test face there\n"
           "  --crop-cache DIR     with --train-facemask: keep the face crops there and reuse them\n"
           "  --list               print the base names and exit\n"
           "  --help               print this text and exit\n";
}

void trainFacemask(const std::string& photosDir, const std::string& weightsDir, const std::string& readoutSource,
                   const std::string& examplesDir, const std::string& cropCache) {
    const std::filesystem::path scratch =
        std::filesystem::temp_directory_path() / ("lumora-facemask-" + std::to_string(::getpid()));
    std::filesystem::create_directories(scratch);
    try {
        lm::models::training::trainFacemask(
            {photosDir, {weightsDir}, readoutSource, scratch.string(), examplesDir, cropCache}, std::cout);
    } catch (...) {
        std::filesystem::remove_all(scratch);
        throw;
    }
    std::filesystem::remove_all(scratch);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> bases;
    std::string directory;
    bool plain = true, quantized = true, encrypt = true;
    int encoderValues = 512;
    std::string weightsDir, photosDir, examplesDir, cropCache;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            auto value = [&]() -> std::string {
                if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
                return argv[++i];
            };
            if (arg == "--help" || arg == "-h") {
                printHelp(std::cout);
                return 0;
            } else if (arg == "--list") {
                for (const std::string& base : lm::models::testNetworkBases()) std::cout << base << '\n';
                return 0;
            } else if (arg == "--only") {
                bases.push_back(value());
            } else if (arg == "--plain") {
                quantized = false;
                plain = true;
            } else if (arg == "--quantized") {
                plain = false;
                quantized = true;
            } else if (arg == "--encoder-values") {
                encoderValues = std::stoi(value());
            } else if (arg == "--real") {
                weightsDir = value();
            } else if (arg == "--train-facemask") {
                photosDir = value();
            } else if (arg == "--mask-examples") {
                examplesDir = value();
            } else if (arg == "--crop-cache") {
                cropCache = value();
            } else if (arg == "--decrypted") {
                encrypt = false;
            } else if (!arg.empty() && arg[0] == '-') {
                throw std::invalid_argument("unknown option " + arg);
            } else if (directory.empty()) {
                directory = arg;
            } else {
                throw std::invalid_argument("more than one directory given");
            }
        }
        if (directory.empty()) {
            printHelp(std::cerr);
            return 2;
        }
        if (!photosDir.empty()) {
            if (weightsDir.empty()) throw std::invalid_argument("--train-facemask needs --real WEIGHTS_DIR");
            trainFacemask(photosDir, weightsDir, directory, examplesDir, cropCache);
            return 0;
        }
        if (!weightsDir.empty()) {
            std::filesystem::create_directories(directory);
            lm::models::real::writeRealModels({weightsDir}, directory, [](const std::string& stem) {
                std::cout << "wrote " << stem << ".{xml,bin}.enc\n";
            });
            return 0;
        }
        if (bases.empty()) bases = lm::models::testNetworkBases();
        if (bases.size() == lm::models::testNetworkBases().size() && plain && quantized && encoderValues == 512) {
            lm::models::writeAllTestNetworks(directory, encrypt);
        } else {
            std::filesystem::create_directories(directory);
            for (const std::string& base : bases)
                for (bool q : {false, true})
                    if ((q && quantized) || (!q && plain))
                        lm::models::writeTestNetwork(directory, base, {q, base == "bodyencoder" ? encoderValues : 512},
                                                     encrypt);
        }
    } catch (const std::exception& e) {
        std::cerr << "lumora-models: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
