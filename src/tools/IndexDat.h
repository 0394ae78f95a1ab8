// Internet Explorer's index.dat files (URL cache, history and cookie indexes): the reader
// behind the viewer and `kestrove-cli index-dat`, and the record-area wipe the viewer and the
// cleaner apply. Plain C++; no Qt.
//
// Layout as far as we read it (little-endian): the header holds at 28 the size the file's
// owner recorded (the bound for every offset, instead of the real size) and at 32 the offset
// of the first hash table. A table starts "HASH", its length in 128-byte blocks and the
// offset of the next table and a sequence number; its 8-byte entries follow from table + 16. An entry whose first
// byte is 1 or 3 is empty; otherwise bytes 4-7 point at a record ("URL ", "LEAK", "REDR").
//
// Files are outside data: every offset and length is checked, and a chain of tables that
// leads back to a table already walked ends the walk (each walk keeps the set of table
// offsets it has visited), so a damaged file never crashes or hangs a walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrove {

enum class TIndexDatRecordKind : std::uint8_t { Url, Leak, Redirect };

// One listed record: its URL text (single-byte, as stored) and its FILETIME.
struct TIndexDatRecord {
  std::string Url;
  std::uint64_t FileTime = 0;
  std::uint32_t Offset = 0;  // where the record starts in the file
  TIndexDatRecordKind Kind = TIndexDatRecordKind::Url;
};

// Called once per hash entry walked, with the number of entries walked so far and the total
// the counting pass found (0 when the chain holds no entries). Returning false stops the
// parse; what was collected stays.
using TIndexDatProgress = std::function<bool(std::uint64_t walked, std::uint64_t total)>;

// Parses a whole file's bytes. Records in the order the hash entries give them.
std::vector<TIndexDatRecord> ParseIndexDat(std::string_view data, const TIndexDatProgress& progress = {});

// Reads a host file (read-only, links not followed, regular files only) and parses it. False
// when the file cannot be opened or read; `out` is then empty.
bool ReadIndexDat(const std::string& hostPath, std::vector<TIndexDatRecord>& out,
                  const TIndexDatProgress& progress = {});

// A FILETIME as the viewer shows it: local short date, a space, local long time; "Not
// Available" for 0 and for times whose calendar fields fail the sanity checks (year above
// 2500 and the like).
std::string IndexDatTimeText(std::uint64_t fileTime);

// The web address a listed URL text stands for, to be opened in a browser: an http, https or
// ftp address as it is; a history entry ("Visited: user@http://...") its address; a cookie
// entry ("Cookie:user@host/path") the http address of its site. "" for anything else (local
// files, script and other schemes), which is never handed to the desktop from a file's bytes.
std::string IndexDatWebAddress(std::string_view urlText);

// The number of overwrite passes of the record-area wipe: the settings' WipeNumber when
// IsWipeFile is on, else 0, clamped to 1..3.
int IndexDatWipePasses(bool isWipeFile, int wipeNumber);

// Overwrites, in place, everything each hash table of the chain covers after its 16-byte
// header (the entries and the records stored after the table) up to the next table when that
// lies further on, else up to the recorded size; the file header and every table's header
// stay.
// Every pass but the last writes one random byte value (0..254), the last writes zeros; each
// pass is flushed to disk. Writes never pass the recorded size nor the real end of the file:
// the file never grows. `fd` is a file already open for reading and writing (the caller
// decides how it is opened and confined); it is left open. Errors end the wipe silently.
void WipeIndexDatRecordsFd(int fd, int passes);

// The same on a host path, for the viewer: nothing happens unless the path names an existing
// regular file (links are not followed) that can be opened for reading and writing.
void WipeIndexDatRecords(const std::string& hostPath, int passes);

class TargetSystem;
enum class TTargetAccess;

// The wipe on a file of a target named by its Windows path, opened the way the cleaner opens
// what it writes: only inside the Windows system (its folder, its own drives, its mount), no
// link followed, a regular file with a single name. Anything else is left alone (false);
// `access`, when given, tells whether the path led outside the Windows system. After the wipe
// the index is marked empty (MarkWipedIndexEmpty), so that wininet can use it again.
bool WipeIndexDatRecordsInTarget(const TargetSystem& target, std::string_view windowsPath, int passes,
                                 TTargetAccess* access = nullptr);

}  // namespace kestrove
