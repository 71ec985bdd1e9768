#pragma once
// The work folder under the temporary folder (TempToolDir), where every board's factory and
// storage archives are put together. It holds a board's secure key on its way into an
// archive, so it is the station user's own: made with mode 0700, and refused when it is a
// link or belongs to someone else (a folder another user made there beforehand could show the
// keys to them, or lead the clean-ups to delete files elsewhere).
namespace station {

// Makes the work folder when it is missing (mode 0700) and checks it; a folder of the station
// user with a wider mode is narrowed to 0700. False, with the slot-log line
// "work folder refused : <path>\r\n", when it cannot be made or is refused.
bool PrepareWorkFolder(int slot);

// The same check, making nothing: false when the folder is missing or would be refused.
bool WorkFolderIsSafe();

}  // namespace station
