// The registry scan's worker: runs the chosen sections one after the other on its own
// thread and hands every problem row to its owner, in the order found.
//
// The owner (the Registry page, the command-line tool, a test) is reached only through
// IScanEvents. Its calls come from the worker thread and carry the meaning of the window's
// texts and messages; the owner carries them over to its own thread (TScanController posts
// them through IOwnerThread, as the cleaner's job does).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/RegistryTypes.h"
#include "platform/TargetSystem.h"
#include "regscan/PathRules.h"
#include "regscan/ScanTypes.h"

namespace kestrove {

class IScanEvents {
 public:
  virtual ~IScanEvents() = default;
  // lScanTitle: the running section's status caption.
  virtual void OnTitle(const std::string& text) = 0;
  // Memo1: the key or file being examined. Frequent; an owner may show only the latest.
  virtual void OnKeyMemo(const std::string& text) = 0;
  // A problem row, to be appended at the end of the list, unselected. No row is given after
  // a stop was requested.
  virtual void OnRow(const TScanResult& row) = 0;
  // WM_SCANSTEP: a section has ended; refresh the status text. Not given after a stop.
  virtual void OnScanStep() = 0;
  // WM_SCANDONE: every section has run; run the end-of-scan steps. Not given after a stop.
  virtual void OnScanDone() = 0;
  // The synchronous call before each section: returns once the owner thread has taken every
  // earlier call, or as soon as `terminated` is set.
  virtual void OnSync(const std::atomic<bool>& terminated) { (void)terminated; }
  // Always the last call: `completed` when OnScanDone was given; otherwise the worker was
  // stopped (`error` empty) or a section raised an error (`error` says which). The window
  // shows nothing for either, as the scan ends silently then.
  virtual void OnScanEnded(bool completed, const std::string& error) {
    (void)completed;
    (void)error;
  }
};

class TScanTaskThread {
 public:
  // "Create": computes ScanDrives from the target's drives and IsWow64 (always false here:
  // the program is native). The target must outlive the worker.
  TScanTaskThread(TargetSystem& target, IScanEvents& events, bool includeRemoveMedia);
  // Requests a stop and waits for the thread.
  ~TScanTaskThread();
  TScanTaskThread(const TScanTaskThread&) = delete;
  TScanTaskThread& operator=(const TScanTaskThread&) = delete;

  // --- Filled by the owner before Resume ---
  // The section codes to run, as decimal text, in tree order.
  std::vector<std::string> SectionCodes;
  // Letters of the drives whose missing files are reported.
  std::string ScanDrives;
  bool FloppyAHasMedia = false;
  bool FloppyBHasMedia = false;
  bool IsWow64 = false;
  // The target is a 64-bit system (asked of the target at creation): the fixed-key sections
  // also read the 32-bit view of their keys.
  bool TargetIs64Bit = false;
  const bool IncludeRemoveMedia;

  // Start step 8: asks A: and B: for media (only when removable drives are not ignored).
  void ProbeFloppyDrives();

  // Starts the thread; a second call does nothing.
  void Resume();
  // Asks the worker to stop; it ends at its next check without posting anything more.
  void Terminate() { terminated_.store(true); }
  bool Terminated() const { return terminated_.load(); }
  // Waits for the thread to end (nothing when it was never started).
  void WaitFor();
  // The thread has made its last call.
  bool Finished() const { return finished_.load(); }

  // The run itself; Resume() calls it on the worker thread. Public so that tests can run a
  // scan on their own thread.
  void Execute();

  // Runs one section by its code; codes without work do nothing.
  void RunSection(int code);

  // --- What the sections use (worker thread) ---
  TargetSystem& Target() { return target_; }
  TPathRules& Rules();
  void AddRow(const char* problemType, std::string data, std::string location, TLocationKind kind);
  // A value found by a section: a name without "\" is reported by its data at
  // root\key\name; a name with "\" is reported by name in root\key.
  void AddValueRow(const char* problemType, TRootKey root, std::string_view keyPath, const std::string& name,
                   const std::string& data);
  void SetTitle(const std::string& text) { events_.OnTitle(text); }
  // Memo1's key or file. Keys go by far faster than anyone can read them, so the owner is told
  // at most once every kMemoEvery (the first at once): a walk of a million keys would spend
  // more on its memos than on the keys.
  void SetKeyMemo(std::string_view text);
  bool SectionSelected(int code) const;
  // The keys a fixed-key section reads for `path`: the key itself, then, on a 64-bit target,
  // the key 32-bit programs see in its place when that is a key of its own (one reached
  // through a link is shared with the 64-bit key or lives elsewhere, and is not read twice).
  std::vector<std::string> KeyViews(TRootKey root, const std::string& path);
  int CurrentSection() const { return currentSection_; }

  // The shared walkers.
  void WalkValues(TRootKey root, const std::string& path, const char* problemType, std::string_view anchor,
                  int depth = 0);
  void WalkDefaultValues(TRootKey root, const std::string& path, int depth = 0);
  // The next command key below startPath after lastFound (depth-first); nullopt for the
  // marker "Not Found". lastFound is cleared when the search passes it.
  std::optional<std::pair<std::string, std::string>> FindNextCommandKey(const std::string& startPath,
                                                                       std::string& lastFound, int depth = 0);
  // What a key holds, counted only as far as needed: 0 when the key cannot be opened, or
  // holds no value and no subkey, or no value and one subkey that is itself empty. A link
  // key below counts as content. A path starting with "\" is taken from the root.
  int CountContent(TRootKey root, std::string_view path);
  // Reports the empty subkeys below `path` (type 10: "Obsolete Software Entry", 23: "Empty
  // Uninstall Entries", 25: "Empty Registry Keys"); 23 and 25 walk the whole subtree. Link
  // keys are neither judged nor entered; under HKEY_USERS ".DEFAULT" is left alone.
  void WalkEmptyKeys(TRootKey root, const std::string& path, int type, int depth = 0);

 private:
  // The sections of the file-reference kind.
  void ScanSharedDlls();
  void ScanFonts();
  void ScanHelpFiles();
  void ScanStartup();
  void ScanCustomControls();
  void ScanServices();
  void ScanShortcuts();
  void ScanSoundEvents();
  void ScanActiveX();
  void ScanInstaller();
  void ScanApplications();
  void ScanMruLists();
  // The sections that judge keys by what they hold.
  void ScanStartMenu();
  void ScanFileExtensions();
  void ScanAddRemovePrograms();
  void ScanInterfaceTypeLibs();
  void ScanClassAppIds();
  void ScanArpCache();
  // CountContent, answered from the chain of keys the last count went through when `path`
  // is one of them.
  int KnownContent(TRootKey root, const std::string& path);
  void WalkShortcutFolder(const std::string& windowsFolder, const std::filesystem::path& hostFolder, int depth);
  void WalkSoundSchemes(const std::string& path, int depth);

  TargetSystem& target_;
  RegistryStore& store_;
  IScanEvents& events_;
  std::unique_ptr<TFileProbe> probe_;
  std::unique_ptr<TPathRules> rules_;
  std::optional<EnvironmentBlock> environment_;
  std::set<std::string> examinedShortcuts_;
  // The keys the last CountContent went through, with its answer (the same for each).
  std::unordered_map<std::string, int> contentChain_;
  TRootKey contentChainRoot_{};
  std::string text_;  // the value being tested by the hive walks
  std::string memo_;  // the last memo text given to the owner
  std::optional<std::chrono::steady_clock::time_point> memoGiven_;
  int currentSection_ = 0;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

// Where a 64-bit system keeps the 32-bit programs' counterpart of a key: HKLM
// Software\X in Software\Wow6432Node\X, the classes (HKLM Software\Classes\X, HKCR\X) in
// Classes\Wow6432Node\X. nullopt for keys without one (HKCU, the system keys).
std::optional<std::string> Wow6432NodePath(TRootKey root, std::string_view path);

// String data of a string or expandable-string value, up to its first zero character;
// nullopt for every other type.
std::optional<std::string> RegStringData(const RegValue& value);
// The same into `text`, whose storage is reused; false for other types.
bool RegStringDataInto(const RegValue& value, std::string& text);

}  // namespace kestrove
