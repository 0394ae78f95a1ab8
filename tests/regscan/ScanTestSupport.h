// Helpers shared by the registry scan's tests: an events sink that records what the worker
// says, a way to run sections on a target, and a writer of shortcut files with the parts the
// tests need.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/RegistryTypes.h"
#include "platform/TargetSystem.h"
#include "regscan/ScanTaskThread.h"
#include "regscan/ScanTypes.h"

namespace kestrove {
// Readable rows in the tests' failure messages.
inline void PrintTo(const TScanResult& r, std::ostream* os) {
  *os << SaveAsTextLine(r) << " [" << static_cast<int>(r.LocationKind) << "]";
}
}  // namespace kestrove

namespace kestrove::testing {

// Records every call in order; safe to call from the worker thread.
class RecordingEvents : public IScanEvents {
 public:
  void OnTitle(const std::string& text) override { Log("title:" + text); }
  void OnKeyMemo(const std::string& text) override {
    std::lock_guard lock(mu_);
    lastKeyMemo = text;
    ++keyMemos;
  }
  void OnRow(const TScanResult& row) override {
    {
      std::lock_guard lock(mu_);
      rows.push_back(row);
      calls.push_back("row:" + row.Data);
    }
    if (onRow) onRow(row);
  }
  void OnScanStep() override { Log("step"); }
  void OnScanDone() override { Log("done"); }
  void OnScanEnded(bool c, const std::string& e) override {
    std::lock_guard lock(mu_);
    calls.push_back("ended");
    ended = true;
    completed = c;
    error = e;
  }

  std::vector<TScanResult> rows;
  std::vector<std::string> calls;
  std::string lastKeyMemo;
  int keyMemos = 0;
  bool ended = false;
  bool completed = false;
  std::string error;
  std::function<void(const TScanResult&)> onRow;

 private:
  void Log(const std::string& s) {
    std::lock_guard lock(mu_);
    calls.push_back(s);
  }
  std::mutex mu_;
};

// Runs the sections on the calling thread, as the worker would, and gives the rows.
inline std::vector<TScanResult> RunScan(TargetSystem& target, const std::vector<int>& codes,
                                        bool includeRemoveMedia = false, RecordingEvents* record = nullptr) {
  RecordingEvents local;
  RecordingEvents& events = record ? *record : local;
  TScanTaskThread worker(target, events, includeRemoveMedia);
  for (int c : codes) worker.SectionCodes.push_back(std::to_string(c));
  worker.Execute();
  return events.rows;
}

inline TScanResult Row(const char* type, std::string data, std::string location, TLocationKind kind) {
  TScanResult r;
  r.ProblemType = type;
  r.Data = std::move(data);
  r.Location = std::move(location);
  r.LocationKind = kind;
  return r;
}

inline std::string Describe(const std::vector<TScanResult>& rows) {
  std::string s;
  for (const TScanResult& r : rows) s += SaveAsTextLine(r) + " [" + std::to_string(int(r.LocationKind)) + "]\n";
  return s;
}

// Compares as sets: the tests that use it care what is reported, not in which order.
inline void ExpectSameRows(std::vector<TScanResult> actual, std::vector<TScanResult> expected) {
  auto less = [](const TScanResult& a, const TScanResult& b) {
    return std::tie(a.ProblemType, a.Location, a.Data, a.LocationKind) <
           std::tie(b.ProblemType, b.Location, b.Data, b.LocationKind);
  };
  std::sort(actual.begin(), actual.end(), less);
  std::sort(expected.begin(), expected.end(), less);
  EXPECT_EQ(actual, expected) << "actual:\n" << Describe(actual) << "expected:\n" << Describe(expected);
}

// ---- writing shortcut files ------------------------------------------------------------

// Builds a shortcut file part by part, as the shell lays one out.
class LinkWriter {
 public:
  std::uint32_t flags = 0x80;  // IsUnicode
  std::vector<std::vector<std::uint8_t>> idItems;
  bool hasLinkInfo = false;
  std::string localBasePath;
  std::string commonPathSuffix;
  std::string netName;     // with a network part when not empty
  std::string deviceName;  // "Z:"
  std::string name;        // the description
  std::string envTarget;   // an environment block when not empty

  static std::vector<std::uint8_t> RootItem(const std::uint8_t (&clsid)[16]) {
    std::vector<std::uint8_t> item(18, 0);
    item[0] = 0x1F;
    item[1] = 0x50;
    std::copy(clsid, clsid + 16, item.begin() + 2);
    return item;
  }
  static std::vector<std::uint8_t> MyComputer() {
    static const std::uint8_t kClsid[16] = {0xE0, 0x4F, 0xD0, 0x20, 0xEA, 0x3A, 0x69, 0x10,
                                            0xA2, 0xD8, 0x08, 0x00, 0x2B, 0x30, 0x30, 0x9D};
    return RootItem(kClsid);
  }
  static std::vector<std::uint8_t> Drive(char letter) {
    std::vector<std::uint8_t> item(23, 0);
    item[0] = 0x2F;
    item[1] = static_cast<std::uint8_t>(letter);
    item[2] = ':';
    item[3] = '\\';
    return item;
  }
  // A file entry with an 8.3 primary name and, when given, a long name in a version 8
  // extension block.
  static std::vector<std::uint8_t> Entry(bool folder, const std::string& shortName, const std::string& longName) {
    std::vector<std::uint8_t> item(2 + 4 + 4 + 2, 0);  // kind, 0, size, time, attributes
    item[0] = static_cast<std::uint8_t>(folder ? 0x31 : 0x32);
    for (char c : shortName) item.push_back(static_cast<std::uint8_t>(c));
    item.push_back(0);
    if ((item.size() + 2) % 2) item.push_back(0);
    if (!longName.empty()) {
      std::vector<std::uint8_t> ext(42, 0);
      ext[2] = 8;  // version
      ext[4] = 0x04;
      ext[5] = 0x00;
      ext[6] = 0xEF;
      ext[7] = 0xBE;
      for (char c : longName) {
        ext.push_back(static_cast<std::uint8_t>(c));
        ext.push_back(0);
      }
      ext.push_back(0);
      ext.push_back(0);
      ext.push_back(0);
      ext.push_back(0);  // first extension block's offset
      ext[0] = static_cast<std::uint8_t>(ext.size());
      ext[1] = static_cast<std::uint8_t>(ext.size() >> 8);
      item.insert(item.end(), ext.begin(), ext.end());
    }
    return item;
  }

  std::vector<std::uint8_t> Build() const {
    std::vector<std::uint8_t> out;
    std::uint32_t f = flags;
    if (!idItems.empty()) f |= 0x01;
    if (hasLinkInfo) f |= 0x02;
    if (!name.empty()) f |= 0x04;
    if (!envTarget.empty()) f |= 0x200;
    U32(out, 0x4C);
    static const std::uint8_t kClsid[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                            0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
    out.insert(out.end(), kClsid, kClsid + 16);
    U32(out, f);
    out.resize(0x4C, 0);
    if (!idItems.empty()) {
      std::vector<std::uint8_t> list;
      for (const auto& item : idItems) {
        U16(list, static_cast<std::uint16_t>(item.size() + 2));
        list.insert(list.end(), item.begin(), item.end());
      }
      U16(list, 0);
      U16(out, static_cast<std::uint16_t>(list.size()));
      out.insert(out.end(), list.begin(), list.end());
    }
    if (hasLinkInfo) {
      std::vector<std::uint8_t> info(0x1C, 0);
      std::uint32_t liFlags = 0;
      auto put = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) info[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
      };
      if (!localBasePath.empty()) {
        liFlags |= 1;
        put(12, static_cast<std::uint32_t>(info.size()));  // VolumeID
        std::vector<std::uint8_t> volume(0x11, 0);
        volume[0] = 0x11;
        volume[4] = 3;
        volume[12] = 0x10;
        info.insert(info.end(), volume.begin(), volume.end());
        put(16, static_cast<std::uint32_t>(info.size()));
        info.insert(info.end(), localBasePath.begin(), localBasePath.end());
        info.push_back(0);
      }
      if (!netName.empty()) {
        liFlags |= 2;
        put(20, static_cast<std::uint32_t>(info.size()));
        std::vector<std::uint8_t> net(0x14, 0);
        const std::size_t nameAt = net.size();
        net.insert(net.end(), netName.begin(), netName.end());
        net.push_back(0);
        const std::size_t deviceAt = net.size();
        net.insert(net.end(), deviceName.begin(), deviceName.end());
        net.push_back(0);
        const auto n = static_cast<std::uint32_t>(net.size());
        for (int i = 0; i < 4; ++i) net[i] = static_cast<std::uint8_t>(n >> (8 * i));
        net[4] = deviceName.empty() ? 0 : 1;
        net[8] = static_cast<std::uint8_t>(nameAt);
        net[12] = static_cast<std::uint8_t>(deviceAt);
        info.insert(info.end(), net.begin(), net.end());
      }
      put(24, static_cast<std::uint32_t>(info.size()));
      info.insert(info.end(), commonPathSuffix.begin(), commonPathSuffix.end());
      info.push_back(0);
      put(0, static_cast<std::uint32_t>(info.size()));
      put(4, 0x1C);
      put(8, liFlags);
      out.insert(out.end(), info.begin(), info.end());
    }
    if (!name.empty()) {
      U16(out, static_cast<std::uint16_t>(name.size()));
      for (char c : name) U16(out, static_cast<std::uint8_t>(c));
    }
    if (!envTarget.empty()) {
      std::vector<std::uint8_t> block(0x314, 0);
      block[0] = 0x14;
      block[1] = 0x03;
      block[4] = 0x01;
      block[7] = 0xA0;
      for (std::size_t i = 0; i < envTarget.size() && i < 259; ++i) {
        block[8 + i] = static_cast<std::uint8_t>(envTarget[i]);
        block[268 + 2 * i] = static_cast<std::uint8_t>(envTarget[i]);
      }
      out.insert(out.end(), block.begin(), block.end());
    }
    U32(out, 0);
    return out;
  }

 private:
  static void U16(std::vector<std::uint8_t>& o, std::uint16_t v) {
    o.push_back(static_cast<std::uint8_t>(v));
    o.push_back(static_cast<std::uint8_t>(v >> 8));
  }
  static void U32(std::vector<std::uint8_t>& o, std::uint32_t v) {
    U16(o, static_cast<std::uint16_t>(v));
    U16(o, static_cast<std::uint16_t>(v >> 16));
  }
};

}  // namespace kestrove::testing
