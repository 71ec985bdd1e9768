#pragma once
// The NAND models the station can program, from the workbook shipped in the station folder
// (Tempfile/nand_flash_support_list.xlsx). Its first worksheet has one header row, then one
// model per row: name, page size, block size (KiB), NAND size (MiB) and ECC strength name.
// The list fills the main dialog's NAND model list; a lookup copies one model's geometry into
// the options dialog's flash fields.
#include <string>

namespace station {

// Options dialog edits that receive a model's geometry.
constexpr int kNandEccEdit = 1021;
constexpr int kNandPageSizeEdit = 1022;
constexpr int kNandBlockSizeEdit = 1029;
constexpr int kNandSizeEdit = 1030;

// Columns beyond this make the workbook unusable for lookups.
constexpr int kNandListMaxColumns = 5;

std::string NandSupportListPath();

// Adds every model name to the NAND model list, in the workbook's order (the list is not
// emptied first). False when the workbook cannot be read.
bool LoadNandSupportList();

// Looks one model up, by its position in the model list (index >= 0, name empty) or by its
// exact name (index -1), and fills the geometry edits from its row. A lookup by name also
// sets the model list's text to the name, or empties it when the name is not listed.
bool SetupNandFlashSpec(int index, const std::string& name);

// The ECC strength code for a name such as "6BIT", as lower-case hexadecimal text; empty for
// an unknown name.
std::string EccBitToCode(const std::string& name);

}  // namespace station
