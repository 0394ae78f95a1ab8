// File removal for the cleaning job: remove one file (optionally overwritten first), clear
// a folder tree, remove the files of a folder that match a pattern, remove a file at the
// next start of the system. Paths are the target's Windows paths. Every operation runs on
// the job's worker, logs, counts into `counter` (the item's entry counter), paces progress,
// honours the stop request and changes nothing in test mode.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cleaner/ClearTask.h"

namespace kestrove {

// True when the file counts as removed.
bool RemoveFile(TClearTaskThread& job, const std::string& path, bool log);
// RemoveFile for the entry `name` of a folder already open (from OpenTargetFolder): the file
// is removed relative to that folder, its path is not resolved again. `path` names it in the log;
// `size`, when given, receives the file's size.
bool RemoveFileAt(TClearTaskThread& job, TFileOps& ops, int folderFd, const std::string& name,
                  const std::string& path, bool log, std::uint64_t* size = nullptr);
// Clear subfolder for the subfolder `name` of a folder already open on `mount`: it is opened
// from that folder, never found again by its path, and a link in its place is not followed.
// `path` names it in the log. Bytes of the files counted.
std::uint64_t ClearOpenSubfolder(TClearTaskThread& job, TFileOps& ops, int folderFd, std::uint64_t mount,
                                 const std::string& name, const std::string& path, int& counter, bool log);
// Bytes of the files counted. `keptFolders` names folders below `folder` (Windows paths) that
// are emptied like the others but stay, empty, where they are.
std::uint64_t ClearFolder(TClearTaskThread& job, const std::string& folder, bool removeFolder, bool log,
                          const std::string& excludedName, int& counter,
                          const std::vector<std::string>& keptFolders = {});
std::uint64_t ClearSubfolder(TClearTaskThread& job, const std::string& folder, int& counter, bool log,
                             const std::string& excludedName);
std::uint64_t RemoveMatchingFiles(TClearTaskThread& job, const std::string& folder, const std::string& pattern,
                                  int& counter, bool recurse);
// Whether a name is taken by a pattern under the rules RemoveMatchingFiles applies to file names.
bool NameMatchesPattern(const std::string& pattern, const std::string& name);
bool FileInUse(TClearTaskThread& job, const std::string& path);
void OverwriteFile(TClearTaskThread& job, const std::string& path, int passes);
void RemoveAtNextStart(TClearTaskThread& job, const std::string& path);
void AddToRenameList(TClearTaskThread& job, const std::vector<std::string>& lines);

}  // namespace kestrove
