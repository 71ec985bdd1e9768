#include "factory/external_tools.h"

#include "foundation/work_paths.h"

namespace station {

std::string KeyBagViewerExe() { return workPaths().ToolWorkDir + "/" + kKeyBagViewerName; }

std::string KeyIndexFile() { return workPaths().KeyTempDir + "nowidx.txt"; }

bool RunTarArchiver(const std::string& commandLine, int slot) {
  const WorkPaths& p = workPaths();
  return call_createProcessStatus(p.TempToolTarExe, commandLine, p.TempToolDir, kArchiverTimeoutMs, slot,
                                  {kArchiverEnvironment})
      .Succeeded();
}

bool RunKeyBagGenerator(int slot) {
  const WorkPaths& p = workPaths();
  return call_createProcessStatus(p.KeyBagGeneratorExe, std::string("./") + kKeyBagGeneratorName, p.ToolWorkDir,
                                  kKeyBagGeneratorTimeoutMs, slot)
      .Succeeded();
}

ChildRun RunKeyBagViewer() {
  return call_createProcessStatus(KeyBagViewerExe(), std::string("./") + kKeyBagViewerName,
                                  workPaths().ToolWorkDir + "/", kKeyBagViewerTimeoutMs, 0);
}

}  // namespace station
