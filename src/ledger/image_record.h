#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "ledger/ledger.h"

namespace ledger {

// The record of an image as it is sent: its SHA-256, length and directory with each stored
// file's SHA-256. nullopt when the bytes hold no valid directory.
std::optional<ImageRecord> ImageRecordOf(const std::uint8_t* bytes, std::size_t length);

// The ledger file: `given` when not empty, else $VELLUMIX_LEDGER when set and not empty, else
// ledger.sqlite in the user's data folder (platform::UserDataFolder). Fails when the system
// tells no such folder.
platform::Result<std::string> LedgerPath(const std::string& given);
// Whether `path` is the default place, whose folder may be created.
bool IsDefaultPlace(const std::string& path);

}  // namespace ledger
