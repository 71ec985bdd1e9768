#pragma once
// The main dialog's type lists (flash type 1064, DDR type 1152, NAND model 1048) and the
// helpers that enable, show and arrange groups of controls of the main and options dialogs.
#include <array>
#include <string>

namespace station {

constexpr int kFlashTypeList = 1064;
constexpr int kDdrTypeList = 1152;
constexpr int kNandModelList = 1048;
constexpr int kImagePathEdit = 1065;

// Flash types by number; the list offers the first three.
inline constexpr std::array<const char*, 6> kFlashTypeNames = {"NAND", "NOR", "EMMC", "EMMC_8G", "EMMC_16G", "EMMC_32G"};
constexpr int kListedFlashTypes = 3;
enum FlashTypeNumber : int { kFlashNand = 0, kFlashNor = 1, kFlashEmmc = 2 };

// DDR types by number, in the order of the list.
inline constexpr std::array<const char*, 8> kDdrTypeNames = {"2DDR4_1GB", "2DDR4_2GB", "4DDR4_1GB", "4DDR4_2GB",
                                                             "2DDR3_1GB", "2DDR3_2GB", "4DDR3_1GB", "4DDR3_2GB"};

// The chosen type's number, or -1: from the list's edit text when `fromText` is non-zero,
// else from its selected entry. Names match exactly, case included.
int GetFlashTypeIndex(int fromText);
int GetDdrTypeIndex(int fromText);

// The 4 Gb chip name of the chosen DDR type ("2DDR4_4Gb_1600_B" or "2DDR3_4Gb_1600_B"), or
// empty when none is chosen.
std::string GetDdr4GbTypeName();

// Sets the station's DDR folder name to the chosen DDR type's name (empty for none) and logs it.
void GetDdrFolderName(int fromText);

// Fills the type lists once at start-up; false when the NAND support list cannot be loaded.
bool FillTypeCombos();

// Adapts the controls of both dialogs to the chosen flash type; the install-image path is
// emptied in every case.
void ApplyFlashTypeToControls(int fromText);

// False, after a warning, while no install image path is set.
bool CheckInstallImgPrepared();

// Enables or disables the controls that choose what is programmed.
void EnableMainControls(bool enable);

// Shows the factory switches only while "burn factory" is checked; without it the key
// controls of the main dialog go too.
void ToggleSimpleLayout();

// Gives the options dialog its reduced form; `show` shows the debug switches and hides the
// main dialog's "function" button.
void ArrangeOptionsDialog(bool show);

// Enables the options dialog's geometry edits that a single-mode operation of `type` uses.
void EnableFlashInfoFields(int type);

}  // namespace station
