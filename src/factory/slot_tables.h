#pragma once
// The per-slot text tables the factory-data builders fill (the board's MAC and SN texts, the
// name of the archive that carries its secure key). A builder is handed the table it writes,
// the way it is handed any other argument; the station's own tables go through the slot
// accessors, so that the slot's lock guards them while the slot display reads them.
#include <functional>
#include <string>

namespace station {

struct SlotTextTable {
  std::function<std::string(int slot)> get;
  std::function<void(int slot, const std::string& text)> set;
};

// The station's MAC, SN and storage tables.
const SlotTextTable& MacTexts();
const SlotTextTable& SnTexts();
const SlotTextTable& StorageTexts();

}  // namespace station
