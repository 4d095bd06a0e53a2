#include "walker_labels.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace people_count {

namespace {

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> parts;
    std::stringstream stream(line);
    std::string part;
    while (std::getline(stream, part, ',')) parts.push_back(part);
    return parts;
}

}  // namespace

WalkerLabels readWalkerLabels(const std::string& path) {
    std::ifstream file(path);
    if (!file) throw std::runtime_error("cannot read label file " + path);
    WalkerLabels labels;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        const auto comment = line.find('#');
        if (comment != std::string::npos) line.erase(comment);
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        const std::vector<std::string> f = fields(line);
        try {
            if (f.size() == 4 && f[0] == "passage") {
                labels.passages[std::stoi(f[1])] = {std::stoi(f[2]), std::stoi(f[3])};
            } else if (f.size() == 7 && f[0] == "box") {
                labels.boxes.push_back({std::stoi(f[1]), std::stoi(f[2]),
                                        cv::Rect(std::stoi(f[3]), std::stoi(f[4]), std::stoi(f[5]), std::stoi(f[6]))});
            } else {
                throw std::invalid_argument("unknown record");
            }
        } catch (const std::exception&) {
            throw std::runtime_error(path + ":" + std::to_string(number) + ": cannot read \"" + line + "\"");
        }
    }
    return labels;
}

int passagesDuring(const WalkerLabels& labels, int first, int last) {
    int count = 0;
    for (const auto& [walker, passage] : labels.passages)
        count += passage.entryFrame <= last && passage.exitFrame >= first ? 1 : 0;
    return count;
}

}  // namespace people_count
