#pragma once
// Writing a board's secure storage archive into its storage area, before its factory archive,
// when "burn factory" and "burn se_storage" are both set. With "en ktee (se storage)" the
// board first makes a key of its own, under which the secure key is stored.
#include "foundation/station_state.h"
#include "usblink/flash_options.h"
#include "usblink/nand_bbt.h"
#include "usblink/usb_wrappers.h"

namespace station {

// Builds the storage archive, writes it once, reads it back and compares it; on success the
// slot's storage-table text is emptied and the archive deleted. A key counts as made only when
// the board's answer brought one back (with "Nf write skip" the key command may go unsent):
// otherwise "GET_KTEE_KEY_FAIL" and 17. An archive that does not fit the room before the
// factory area fails with 17 before anything is sent.
ResultCode WriteStorage(DevHandle device, int slot, FlashInfo info, BurnOption option, NandBbt& bbt);

}  // namespace station
