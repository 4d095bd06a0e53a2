// Writes the fuzzer's seed corpus into a directory: the test networks, plain and quantized.

#include <filesystem>
#include <fstream>
#include <iostream>

#include "fuzz_input.h"
#include "test_networks.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: ir_reader_fuzz_seeds DIR\n";
        return 2;
    }
    std::filesystem::create_directories(argv[1]);
    for (const std::string& base : lm::models::testNetworkBases())
        for (bool quantized : {false, true}) {
            const lm::models::ModelPair pair = lm::models::buildTestNetwork(base, {quantized});
            std::ofstream out(std::string(argv[1]) + "/" + base + (quantized ? "_quantized" : ""), std::ios::binary);
            out << pair.xml << lmfuzz::SEPARATOR << pair.weights;
        }
    return 0;
}
