#pragma once
// The work paths: fixed folder and file names under the station folder (AppDir) and under the
// temporary folder (TempDir) that the archive builder, the key accounting and the image loader
// share. They are built once, each from an earlier one and a literal, and stay constant; only
// SetAppDir (start-up with --home, or a test) builds them again.
#include <string>

namespace station {

// File name of the key-bag generator in the tool folder (tools/keybag).
inline constexpr const char* kKeyBagGeneratorName = "keybag-gen";

struct WorkPaths {
  std::string AppDir;
  std::string ToolWorkDir;
  std::string KeyBagGeneratorExe;
  std::string KeyTempDir;
  std::string KeyTempTarExe;
  std::string KeyTempIconvDll;
  std::string KeyTempIntlDll;
  std::string KeyTempSigDecFile;
  std::string KeyTempSigEncFile;
  std::string TempDir;
  std::string TempToolDir;
  std::string DumpDir;
  std::string DumpFactoryDir;
  std::string DumpFactoryEnvFile;
  std::string DumpFactorySigEncFile;
  std::string DumpFactoryBootParamFile;
  std::string DumpFactorySysParamFile;
  std::string DumpFactorySnFile;
  std::string TempToolTarExe;
  std::string TempToolIconvDll;
  std::string TempToolIntlDll;
  std::string TempToolEnvFile;
  std::string TempToolBkEnvFile;
  std::string TempToolSysParamFile;
  std::string TempToolSnFile;
  std::string TempToolIdxFile;
  std::string TempToolSigEncFile;
  std::string TempToolSigDecFile;
  std::string TempToolDecFile;       // "dec.bin": the check decryption of an encrypted key
  std::string TempToolKeySpentFile;  // "key_spent": the work folder's key went out to a board
  std::string TempToolFactoryTar;
  std::string SeStorageDir;
  std::string SeStorageSigEncFile;
  std::string SeStorageKteeFile;
  std::string TempToolTmpDir;
  std::string TmpFactoryDir;
  std::string TmpFactoryEnvFile;
  std::string TmpFactorySysParamFile;
  std::string TmpFactoryBootParamFile;
  std::string TmpFactorySnFile;
  std::string TmpFactoryLayoutFile;
  std::string TmpFactorySigEncFile;
  std::string TmpFactorySigDecFile;
  std::string KeyTempEnvFile;
  std::string KeyTempSnFile;
  std::string KeyTempIdxFile;
  std::string InstallConfigFile;
  std::string CheckDir;
  std::string CheckFactoryDir;
};

// Every path built from the two roots, in order (the station folder without a trailing "/").
WorkPaths BuildWorkPaths(const std::string& appDir, const std::string& tempDir);

// The process-wide paths: built on first use from GetAppDir() and GetTempDir().
const WorkPaths& workPaths();

// Makes `dir` the station folder and builds the paths again (TempDir read anew); an empty
// text goes back to the executable's folder. Call it before other threads read the paths:
// an earlier set stays valid for whoever still holds it, but shows the old folder.
void SetAppDir(const std::string& dir);

}  // namespace station
