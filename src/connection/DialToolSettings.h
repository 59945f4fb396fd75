#pragma once

#include <string>
#include <vector>

namespace sp {

// The program's settings as skyportal-dial reads and writes them: the values
// of "\Software\Zentora\Skyportal", enciphered as the program stores them
// unless they are plain (a run with "/r"). Texts UTF-8.
struct TDialToolSettings {
    bool found = false; // the key exists (the program has been set up)
    std::string modem;
    std::string connection;
    std::vector<std::string> apns{"internet"};
    std::string apnVersion = std::string(1, '0');
    bool plain = false; // the values are stored in plain text
};

[[nodiscard]] TDialToolSettings LoadDialToolSettings();
// Writes the values a dial may change (entry, APN list, APN version) into
// the key, only when it exists: a machine the program has never set up
// keeps no settings of the console's. False when they could not be written.
bool SaveDialToolSettings(const TDialToolSettings& settings);

} // namespace sp
