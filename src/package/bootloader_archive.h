#pragma once
// The boot-loader archive of an installation package: the seven boot pieces (hardware
// setting, boot code, FSBL, TEE, BL31 and two RSA key blobs) packed in "bootloader.tar", or
// in "bootloader_lk.tar" when the options dialog's "LK enable" box is set. The archive is
// unpacked into a folder of its own and each member it holds is read into the station's boot
// piece buffers, from which the NAND and eMMC procedures write the boot area.
namespace station {

// Where the archive comes from.
enum BootloaderMode : int {
  kBootloaderFromPackage = 0,  // the unpacked package: UnTarTmp + PackageSubdir
  kBootloaderFromTempfile = 1, // "only upgrade bootloader": the station's Tempfile folder
};

// Unpacks the archive and loads its members. 1 on success, also when the archive or some of
// its members are missing (a missing member leaves its piece as it was). 0 when a member that
// is there cannot be read: then every image table and every boot piece is released.
// For NAND the recorded length of each piece is four times its bytes (the NAND procedure
// writes every piece four times); the buffer holds the bytes once, plus one zero byte.
int ReadBootloaderTarFile(int mode);

}  // namespace station
