#include "factory/slot_tables.h"

#include "foundation/station_state.h"

namespace station {

const SlotTextTable& MacTexts() {
  static const SlotTextTable table{SlotMacText, SetSlotMacText};
  return table;
}

const SlotTextTable& SnTexts() {
  static const SlotTextTable table{SlotSnText, SetSlotSnText};
  return table;
}

const SlotTextTable& StorageTexts() {
  static const SlotTextTable table{SlotStorageText, SetSlotStorageText};
  return table;
}

}  // namespace station
