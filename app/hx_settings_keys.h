#pragma once
// The keys of the settings file, one row each. The rows drive every pass over the file:
// the presence check, the reader, the writer and the settings log. A row names its key,
// says how the value moves between the record and the JSON object and how the log shows
// it, and gives the key's place in the passes that do not follow the file order.
// Adding a setting is adding a row.

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <Poco/Dynamic/Var.h>
#include <Poco/JSON/Object.h>

#include "hx_settings.h"

namespace hx {

// The error for a value outside its key's range: "Invalid setting: <key> =  <value> ".
std::runtime_error invalidSetting(std::string_view key, std::string_view value);

// How one key's value moves between the record and the file, and how the log shows it.
struct SettingsValue {
    // Throws Poco's conversion errors, invalidSetting for a number its field's type cannot
    // hold, or std::runtime_error for a word that names no value.
    std::function<void(const Poco::JSON::Object& json, const std::string& key, Settings& settings)> read;
    std::function<Poco::Dynamic::Var(const Settings& settings)> write;
    std::function<std::string(const Settings& settings)> show;
};

// Where a key comes in each pass that has an order of its own: ranks count from 0 and
// every rank of a pass belongs to one key. The writer follows the table.
struct SettingsKeyOrder {
    int presence;
    int read;
    int log;  // NOT_LOGGED: the log leaves the key out
};

constexpr int NOT_LOGGED = -1;

struct SettingsKey {
    std::string name;
    SettingsValue value;
    SettingsKeyOrder order;
    // Keys next to each other in the log that share a label share one line, their values
    // separated by ", ". Empty: the key's own name.
    std::string logLabel = {};
};

// Every key, in file order.
const std::vector<SettingsKey>& settingsKeys();
// The keys that take part in one pass, in that pass's order.
std::vector<const SettingsKey*> settingsKeysInOrder(int SettingsKeyOrder::*pass);

}  // namespace hx
