#include "platform/regf/RegfWriter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/RegistryTypes.h"
#include "platform/regf/RegfFormat.h"
#include "platform/regf/RegfReader.h"

namespace kestrove::regf {

namespace {

using regtree::Node;

// Windows turns a full "lf" leaf into an "li" at this count, and splits an "li" or "lh" leaf
// at the second: the entries that fit in one 4 KiB bin.
constexpr std::size_t kMaxFastLeaf = 506;
constexpr std::size_t kMaxLeaf = 1012;
constexpr std::size_t kMaxKeyName = 255;
constexpr std::size_t kMaxValueName = 16383;
constexpr std::size_t kMaxClass = 32767;
// Cell offsets are 32-bit and kNoCell must stay free.
constexpr std::uint64_t kMaxBinsSize = 0xFFFFF000ull;
constexpr std::size_t kMaxSegments = 0xFFFF;

constexpr char16_t kMaxLatin1 = 0xFF;

enum class TLeafKind { Lh, Lf, Li };

std::size_t Align8(std::size_t n) { return (n + 7) & ~static_cast<std::size_t>(7); }

// Bytes [from, from + n) of data held in pieces one after the other.
void CopyPieces(std::span<const std::string_view> pieces, std::size_t from, std::size_t n, unsigned char* to) {
  for (std::string_view piece : pieces) {
    if (!n) return;
    if (from >= piece.size()) {
      from -= piece.size();
      continue;
    }
    const std::size_t take = std::min(n, piece.size() - from);
    std::memcpy(to, piece.data() + from, take);
    to += take;
    n -= take;
    from = 0;
  }
}

// Appends the UTF-16 form of a UTF-8 name; plain ASCII, by far the most common, without a
// temporary string.
void AppendU16(std::string_view text, std::u16string& out) {
  std::size_t i = 0;
  while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80) out += static_cast<char16_t>(text[i++]);
  if (i < text.size()) out += Utf8ToU16(text.substr(i));
}

bool IsAscii(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// NameHash of a name given in ASCII.
std::uint32_t AsciiNameHash(std::string_view name) {
  std::uint32_t hash = 0;
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    hash = hash * 37 + (u >= 'a' && u <= 'z' ? u - 32u : u);
  }
  return hash;
}

bool FitsLatin1(std::u16string_view name) {
  return std::all_of(name.begin(), name.end(), [](char16_t c) { return c <= kMaxLatin1; });
}

unsigned char* PutName(unsigned char* p, std::u16string_view name, bool compressed) {
  if (compressed) {
    for (char16_t c : name) *p++ = static_cast<unsigned char>(c);
  } else {
    for (char16_t c : name) {
      Put16(p, static_cast<std::uint16_t>(c));
      p += 2;
    }
  }
  return p;
}

// Windows orders subkey lists by the upper-cased UTF-16 names; the tree orders them folded to
// lower case, which differs for the characters between 'Z' and 'a'.
int CompareUpcased(std::string_view a, std::string_view b) {
  std::size_t i = 0;
  const std::size_t n = std::min(a.size(), b.size());
  for (; i < n; ++i) {
    auto ca = static_cast<unsigned char>(a[i]);
    auto cb = static_cast<unsigned char>(b[i]);
    if ((ca | cb) & 0x80) break;
    ca = static_cast<unsigned char>(UpcaseUnit(ca));
    cb = static_cast<unsigned char>(UpcaseUnit(cb));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (i == a.size() || i == b.size()) return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
  const std::u16string ua = Utf8ToU16(a.substr(i));
  const std::u16string ub = Utf8ToU16(b.substr(i));
  const std::size_t m = std::min(ua.size(), ub.size());
  for (std::size_t k = 0; k < m; ++k) {
    const std::uint16_t fa = UpcaseUnit(static_cast<std::uint16_t>(ua[k]));
    const std::uint16_t fb = UpcaseUnit(static_cast<std::uint16_t>(ub[k]));
    if (fa != fb) return fa < fb ? -1 : 1;
  }
  return ua.size() == ub.size() ? 0 : (ua.size() < ub.size() ? -1 : 1);
}

std::string MakeDefaultDescriptor() {
  auto sid = [](std::string& out, std::uint8_t authority, std::initializer_list<std::uint32_t> subs) {
    out += static_cast<char>(1);
    out += static_cast<char>(subs.size());
    out.append(5, '\0');
    out += static_cast<char>(authority);
    for (std::uint32_t s : subs) {
      unsigned char b[4];
      Put32(b, s);
      out.append(reinterpret_cast<const char*>(b), 4);
    }
  };
  std::string system, admins, users;
  sid(system, 5, {18});
  sid(admins, 5, {32, 544});
  sid(users, 5, {32, 545});
  struct TAce {
    const std::string* who;
    std::uint32_t mask;
  };
  // KEY_ALL_ACCESS and KEY_READ, inherited by subkeys.
  const TAce aces[] = {{&system, 0xF003F}, {&admins, 0xF003F}, {&users, 0x20019}};
  std::string acl(8, '\0');
  for (const TAce& ace : aces) {
    std::string a(8, '\0');
    a[0] = 0;  // allowed
    a[1] = 2;  // container inherit
    Put16(reinterpret_cast<unsigned char*>(a.data()) + 2, static_cast<std::uint16_t>(8 + ace.who->size()));
    Put32(reinterpret_cast<unsigned char*>(a.data()) + 4, ace.mask);
    acl += a + *ace.who;
  }
  auto* ah = reinterpret_cast<unsigned char*>(acl.data());
  ah[0] = 2;
  Put16(ah + 2, static_cast<std::uint16_t>(acl.size()));
  Put16(ah + 4, 3);
  std::string sd(20, '\0');
  auto* h = reinterpret_cast<unsigned char*>(sd.data());
  h[0] = 1;
  Put16(h + 2, 0x8004);  // self-relative, with a DACL
  const std::uint32_t owner = 20, group = owner + static_cast<std::uint32_t>(admins.size());
  const std::uint32_t dacl = group + static_cast<std::uint32_t>(system.size());
  Put32(h + 4, owner);
  Put32(h + 8, group);
  Put32(h + 16, dacl);
  return sd + admins + system + acl;
}

std::string NewRootName() {
  std::random_device rd;
  char buf[64];
  const std::uint32_t a = rd(), b = rd(), c = rd(), d = rd();
  std::snprintf(buf, sizeof buf, "CMI-CreateHive{%08X-%04X-%04X-%04X-%04X%08X}", a, b >> 16, (b & 0x0FFF) | 0x4000,
                (c >> 16 & 0x3FFF) | 0x8000, c & 0xFFFF, d);
  return buf;
}

class THiveWriter {
 public:
  THiveWriter(const regtree::Hive& hive, const std::function<void(Node&)>& ensureValues,
              const TRegfWriteOptions& options)
      : hive_(hive), ensureValues_(ensureValues), options_(options) {
    if (!options_.now) options_.now = regtree::NowFileTime();
    if (hive_.header.size() >= kBaseBlockSize) {
      const auto* h = reinterpret_cast<const unsigned char*>(hive_.header.data());
      const std::uint32_t major = Get32(h + kOffMajorVersion);
      minor_ = Get32(h + kOffMinorVersion);
      if (major != 1 || minor_ < 3)
        throw RegistryError("Cannot write a registry hive of version " + std::to_string(major) + "." +
                            std::to_string(minor_) + ": only versions 1.3 and later are written.");
    }
    leafKind_ = minor_ >= 5 ? TLeafKind::Lh : TLeafKind::Lf;
    rootName_ = hive_.rootName.empty() ? NewRootName() : hive_.rootName;
  }

  std::string Write() {
    if (!hive_.root) throw RegistryError("Cannot write hive " + hive_.label + ": it has no root key.");
    // First a pass that only measures, so that the file is built in one buffer of its size.
    Layout();
    skRefs_.clear();
    for (const TSecurity& s : securities_) skRefs_.push_back(s.refs);
    std::string file(kBaseBlockSize + binEnd_, '\0');
    out_ = reinterpret_cast<unsigned char*>(file.data()) + kBaseBlockSize;
    Layout();
    LinkSecurities();
    WriteBaseBlock(reinterpret_cast<unsigned char*>(file.data()));
    return file;
  }

 private:
  struct TKeyFacts {
    std::uint32_t maxSubName = 0;  // bytes of UTF-16, as Windows counts
    std::uint32_t maxSubClass = 0;
    std::uint32_t maxValueName = 0;
    std::uint32_t maxData = 0;
    bool reordered = false;  // the tree's order of the subkeys is not Windows'
  };
  struct TSecurity {
    std::uint32_t cell;
    std::uint32_t refs;
  };
  struct TFrame {
    const Node* node;
    const std::string* security;
    std::uint32_t cell;
    std::size_t next = 0;
    std::size_t order = 0;   // in orderPool_, or npos when the tree's order is Windows'
    std::size_t leaves = 0;  // first in leafPool_
    std::size_t facts = 0;   // in facts_
    std::uint32_t leafCount = 0;
    TLeafKind kind = TLeafKind::Lh;
  };

  // ---- cells and bins

  unsigned char* At(std::uint32_t cell) { return out_ ? out_ + cell : nullptr; }

  // A cell for `payload` bytes; returns its offset. A cell may later take the rest of its bin,
  // unless `exact` (big data segments, whose readers take the cell's size as the data's).
  std::uint32_t Alloc(std::size_t payload, bool exact = false) {
    const std::size_t size = Align8(payload + 4);
    if (size > 0x7FFFFFF0) throw RegistryError("Cannot write hive " + hive_.label + ": a record is too large.");
    if (next_ + size > binEnd_) {
      CloseBin(false);
      OpenBin(size);
    }
    const auto cell = static_cast<std::uint32_t>(next_);
    next_ += size;
    lastCell_ = cell;
    lastSize_ = size;
    lastExact_ = exact;
    haveLast_ = true;
    if (out_) Put32(out_ + cell, static_cast<std::uint32_t>(-static_cast<std::int32_t>(size)));
    return cell;
  }

  void OpenBin(std::size_t cellSize) {
    const std::size_t size = std::max<std::size_t>(kBinAlignment, (cellSize + kBinHeaderSize + kBinAlignment - 1) /
                                                                      kBinAlignment * kBinAlignment);
    const std::uint64_t start = binEnd_;
    if (start + size > kMaxBinsSize)
      throw RegistryError("Cannot write hive " + hive_.label + ": it would exceed the 4 GiB a hive file can hold.");
    if (unsigned char* b = At(static_cast<std::uint32_t>(start))) {
      std::memcpy(b, "hbin", 4);
      Put32(b + 4, static_cast<std::uint32_t>(start));
      Put32(b + 8, static_cast<std::uint32_t>(size));
      if (start == 0) Put64(b + 20, options_.now);
    }
    binEnd_ = start + size;
    next_ = start + kBinHeaderSize;
    haveLast_ = false;
  }

  // The room the bin has left goes to its last cell, or becomes a free cell: at the end of the
  // file, or after an exact cell.
  void CloseBin(bool last) {
    const std::size_t rest = binEnd_ - next_;
    if (!rest) return;
    if (!last && haveLast_ && !lastExact_) {
      lastSize_ += rest;
      if (out_) Put32(out_ + lastCell_, static_cast<std::uint32_t>(-static_cast<std::int32_t>(lastSize_)));
    } else if (out_) {
      Put32(out_ + next_, static_cast<std::uint32_t>(rest));
    }
    next_ = binEnd_;
  }

  // ---- the tree

  void Layout() {
    binEnd_ = next_ = 0;
    haveLast_ = false;
    securities_.clear();
    securityIndex_.clear();
    lastDescriptor_ = nullptr;
    factIndex_ = 0;
    leafPool_.clear();
    orderPool_.clear();
    stack_.clear();
    rootCell_ = Enter(*hive_.root, nullptr);
    while (!stack_.empty()) {
      TFrame& top = stack_.back();
      if (top.next < top.node->children.size()) {
        const Node& child = *top.node->children[top.next];
        Enter(child, &top);
        ++stack_[stack_.size() - 2].next;
      } else {
        leafPool_.resize(top.leaves);
        if (top.order != std::string::npos) orderPool_.resize(top.order);
        stack_.pop_back();
      }
    }
    CloseBin(true);
  }

  void Values(const Node& node) {
    if (!node.valuesReady) ensureValues_(const_cast<Node&>(node));
  }

  // Writes `node`'s cells and pushes its frame; `parent` is the frame of its parent key.
  std::uint32_t Enter(const Node& node, TFrame* parentFrame) {
    // Values no one has read are as the old file holds them, and are copied from it as they
    // are: decoding and encoding every value of a large hive again is most of a commit's time.
    const bool rawValues = TRawValues::Available(hive_, node);
    if (rawValues)
      raw_.Open(hive_, node);
    else
      Values(node);
    const std::size_t valueCount = rawValues ? raw_.Count() : node.values.size();
    const bool root = parentFrame == nullptr;
    const std::string_view nameText = root ? std::string_view(rootName_) : std::string_view(node.name);
    std::size_t units = nameText.size();
    bool compressed = true;
    // A plain ASCII name, the most common, is stored from its own bytes, without a UTF-16 copy.
    nameText_ = nameText;
    nameAscii_ = IsAscii(nameText);
    if (!nameAscii_) {
      name_.clear();
      AppendU16(nameText, name_);
      units = name_.size();
      compressed = FitsLatin1(name_);
    }
    if (units > kMaxKeyName)
      throw RegistryError("Cannot write hive " + hive_.label + ": the key name \"" + node.name.substr(0, 64) +
                          "...\" is longer than the 255 characters Windows allows.");
    const std::size_t nameSize = compressed ? units : units * 2;

    // What Windows records of the subkeys and values.
    // What the key's node records of its subkeys and values is gathered while measuring, as
    // each of them is met, and kept for the writing pass, which needs it before them.
    std::size_t factsAt = 0;
    if (!out_) {
      factsAt = facts_.size();
      facts_.emplace_back();
    } else {
      factsAt = factIndex_++;
    }

    const std::uint32_t nk = Alloc(kKeyNodeFixed + nameSize);
    if (parentFrame) PutListEntry(*parentFrame, nk);

    // Security: the key's own, else its parent's.
    const std::string* security = node.extra && node.extra->security && !node.extra->security->empty()
                                      ? node.extra->security.get()
                                      : (parentFrame ? parentFrame->security : &DefaultSecurityDescriptor());
    const std::uint32_t sk = Security(*security);

    std::uint32_t classCell = kNoCell;
    std::size_t classSize = 0;
    if (node.extra && node.extra->keyClass) {
      scratch_.clear();
      AppendU16(*node.extra->keyClass, scratch_);
      if (scratch_.size() > kMaxClass)
        throw RegistryError("Cannot write hive " + hive_.label + ": the class of key \"" + node.name.substr(0, 64) +
                            "\" is too long.");
      classSize = scratch_.size() * 2;
      classCell = Alloc(classSize);
      if (unsigned char* p = At(classCell)) PutName(p + 4, scratch_, false);
    }
    if (!out_ && parentFrame) {
      TKeyFacts& up = facts_[parentFrame->facts];
      up.maxSubName = std::max(up.maxSubName, static_cast<std::uint32_t>(units * 2));
      up.maxSubClass = std::max(up.maxSubClass, static_cast<std::uint32_t>(classSize));
      if (parentFrame->next && !up.reordered &&
          CompareUpcased(parentFrame->node->children[parentFrame->next - 1]->name, node.name) > 0)
        up.reordered = true;
    }

    std::uint32_t valueList = kNoCell;
    if (valueCount) {
      valueList = Alloc(valueCount * 4);
      for (std::size_t i = 0; i < valueCount; ++i) {
        const std::uint32_t vk = rawValues ? RawValue(raw_.Get(i), node, factsAt) : Value(node.values[i], factsAt);
        if (unsigned char* p = At(valueList)) Put32(p + 4 + 4 * i, vk);
      }
    }

    TFrame frame{&node, security, nk};
    frame.facts = factsAt;
    frame.leaves = leafPool_.size();
    std::uint32_t subkeyList = kNoCell;
    const std::size_t count = node.children.size();
    if (count) {
      subkeyList = SubkeyList(node, frame, facts_[factsAt].reordered);
    }

    if (unsigned char* p = At(nk)) {
      p += 4;
      std::memcpy(p, "nk", 2);
      std::uint16_t flags = node.extra ? node.extra->flags : 0;
      flags &= static_cast<std::uint16_t>(~(kKeyVolatile | kKeyHiveExit | kKeyHiveEntry | kKeySymLink | kKeyCompName));
      if (root) flags |= kKeyHiveEntry | kKeyNoDelete;
      if (node.isLink) flags |= kKeySymLink;
      if (compressed) flags |= kKeyCompName;
      Put16(p + 2, flags);
      Put64(p + 4, node.modif ? node.modif : options_.now);  // Windows never leaves a key undated
      Put32(p + 16, root ? kNoCell : parentFrame->cell);
      Put32(p + 20, static_cast<std::uint32_t>(count));
      Put32(p + 28, subkeyList);
      Put32(p + 32, kNoCell);
      Put32(p + 36, static_cast<std::uint32_t>(valueCount));
      Put32(p + 40, valueList);
      Put32(p + 44, sk);
      Put32(p + 48, classCell);
      const TKeyFacts& facts = facts_[factsAt];
      Put32(p + 52, facts.maxSubName);
      Put32(p + 56, facts.maxSubClass);
      Put32(p + 60, facts.maxValueName);
      Put32(p + 64, facts.maxData);
      Put16(p + 72, static_cast<std::uint16_t>(nameSize));
      Put16(p + 74, static_cast<std::uint16_t>(classSize));
      if (nameAscii_)
        std::memcpy(p + kKeyNodeFixed, nameText.data(), units);
      else
        PutName(p + kKeyNodeFixed, name_, compressed);
    }
    stack_.push_back(frame);
    return nk;
  }

  std::uint32_t Security(const std::string& descriptor) {
    // Most keys share their parent's descriptor object: no need to hash its bytes again.
    if (&descriptor == lastDescriptor_) {
      ++securities_[lastSecurity_].refs;
      return securities_[lastSecurity_].cell;
    }
    lastDescriptor_ = &descriptor;
    auto [it, added] = securityIndex_.try_emplace(std::string_view(descriptor), securities_.size());
    lastSecurity_ = it->second;
    if (!added) {
      ++securities_[it->second].refs;
      return securities_[it->second].cell;
    }
    const std::uint32_t cell = Alloc(kSecurityFixed + descriptor.size());
    securities_.push_back({cell, 1});
    if (unsigned char* p = At(cell)) {
      p += 4;
      std::memcpy(p, "sk", 2);
      Put32(p + 12, skRefs_[securities_.size() - 1]);
      Put32(p + 16, static_cast<std::uint32_t>(descriptor.size()));
      std::memcpy(p + kSecurityFixed, descriptor.data(), descriptor.size());
    }
    return cell;
  }

  // Every descriptor in one ring, in the order they were written.
  void LinkSecurities() {
    const std::size_t n = securities_.size();
    for (std::size_t i = 0; i < n; ++i) {
      unsigned char* p = At(securities_[i].cell) + 4;
      Put32(p + 4, securities_[(i + 1) % n].cell);
      Put32(p + 8, securities_[(i + n - 1) % n].cell);
    }
  }

  std::uint32_t Value(const RegValue& v, std::size_t factsAt) {
    std::size_t units = v.name.size();
    bool compressed = true;
    const bool ascii = IsAscii(v.name);
    if (!ascii) {
      valueName_.clear();
      AppendU16(v.name, valueName_);
      units = valueName_.size();
      compressed = FitsLatin1(valueName_);
    }
    if (units > kMaxValueName)
      throw RegistryError("Cannot write hive " + hive_.label + ": the value name \"" + v.name.substr(0, 64) +
                          "...\" is longer than the 16,383 characters Windows allows.");
    const std::size_t nameSize = compressed ? units : units * 2;
    const std::size_t size = v.data.size();
    if (size >= kDataInOffset)
      throw RegistryError("Cannot write hive " + hive_.label + ": the data of value \"" + v.name.substr(0, 64) +
                          "\" is too large.");
    ValueFacts(factsAt, units, size);
    const std::uint32_t vk = Alloc(kValueFixed + nameSize);
    if (unsigned char* p = At(vk)) {
      p += 4;
      std::memcpy(p, "vk", 2);
      Put16(p + 2, static_cast<std::uint16_t>(nameSize));
      Put32(p + 12, v.type);
      Put16(p + 16, compressed ? kValueCompName : 0);
      if (ascii)
        std::memcpy(p + kValueFixed, v.name.data(), units);
      else
        PutName(p + kValueFixed, valueName_, compressed);
    }
    const std::string_view data(reinterpret_cast<const char*>(v.data.data()), size);
    Data(vk, size, std::span<const std::string_view>(&data, 1), "value", v.name);
    return vk;
  }

  // A value copied from the old file: its record (type, flags, name as stored) byte for byte,
  // its data moved into cells of its own.
  std::uint32_t RawValue(const TRawValues::TValue& v, const Node& key, std::size_t factsAt) {
    const auto* record = reinterpret_cast<const unsigned char*>(v.record.data());
    const std::size_t nameSize = Get16(record + 2);
    const std::size_t units = (Get16(record + 16) & kValueCompName) ? nameSize : nameSize / 2;
    ValueFacts(factsAt, units, v.size);
    const std::uint32_t vk = Alloc(v.record.size());
    if (unsigned char* p = At(vk)) std::memcpy(p + 4, record, v.record.size());
    // Data held in the record came with it; data elsewhere moves to cells of its own.
    if (Get32(record + 4) & kDataInOffset) return vk;
    if (unsigned char* p = At(vk)) Put32(p + 4 + 8, 0);
    Data(vk, v.size, v.pieces, "a value of key", key.name);
    return vk;
  }

  void ValueFacts(std::size_t factsAt, std::size_t units, std::size_t size) {
    if (out_) return;
    TKeyFacts& facts = facts_[factsAt];
    facts.maxValueName = std::max(facts.maxValueName, static_cast<std::uint32_t>(units * 2));
    facts.maxData = std::max(facts.maxData, static_cast<std::uint32_t>(std::min<std::size_t>(size, kDataInOffset)));
  }

  // The data of the value at `vk`: in its record when it fits, else in a cell, or in segments
  // of big data; fills the record's size and offset.
  // `what` and `name` say whose data it is in messages.
  void Data(std::uint32_t vk, std::size_t size, std::span<const std::string_view> pieces, const char* what,
            const std::string& name) {
    std::uint32_t dataSize = static_cast<std::uint32_t>(size);
    std::uint32_t dataCell = 0;
    if (size <= 4) {
      dataSize |= kDataInOffset;
      if (unsigned char* p = At(vk)) CopyPieces(pieces, 0, size, p + 4 + 8);
    } else if (size > kBigDataSegment && minor_ >= 4) {
      const std::size_t segments = (size + kBigDataSegment - 1) / kBigDataSegment;
      if (segments > kMaxSegments)
        throw RegistryError("Cannot write hive " + hive_.label + ": the data of " + what + " \"" + name.substr(0, 64) +
                            "\" is too large.");
      dataCell = Alloc(kBigDataFixed);
      const std::uint32_t list = Alloc(segments * 4);
      if (unsigned char* p = At(dataCell)) {
        std::memcpy(p + 4, "db", 2);
        Put16(p + 6, static_cast<std::uint16_t>(segments));
        Put32(p + 8, list);
      }
      for (std::size_t s = 0; s < segments; ++s) {
        const std::size_t from = s * kBigDataSegment;
        const std::size_t n = std::min(kBigDataSegment, size - from);
        // Every segment gets a whole one, the last too, as Windows allocates them; readers
        // such as hivex take a segment's size from its cell.
        const std::uint32_t seg = Alloc(kBigDataSegment, true);
        if (out_) {
          CopyPieces(pieces, from, n, At(seg) + 4);
          Put32(At(list) + 4 + 4 * s, seg);
        }
      }
    } else {
      dataCell = Alloc(size);
      if (unsigned char* p = At(dataCell)) CopyPieces(pieces, 0, size, p + 4);
    }
    if (unsigned char* p = At(vk)) {
      Put32(p + 4 + 4, dataSize);
      if (!(dataSize & kDataInOffset)) Put32(p + 4 + 8, dataCell);
    }
  }

  // The list cells, with their entries left for the subkeys to fill as they are written.
  std::uint32_t SubkeyList(const Node& node, TFrame& frame, bool reordered) {
    const std::size_t count = node.children.size();
    TLeafKind kind = leafKind_;
    if (kind == TLeafKind::Lf && count > kMaxFastLeaf) kind = TLeafKind::Li;
    frame.kind = kind;
    const std::size_t leaves = (count + kMaxLeaf - 1) / kMaxLeaf;
    frame.leafCount = static_cast<std::uint32_t>(leaves);
    const std::size_t entrySize = kind == TLeafKind::Li ? 4 : 8;
    const char* signature = kind == TLeafKind::Lh ? "lh" : (kind == TLeafKind::Lf ? "lf" : "li");

    // The slot of each child when the tree's order is not Windows'.
    frame.order = std::string::npos;
    if (reordered && out_) {
      frame.order = orderPool_.size();
      std::vector<std::uint32_t> byName(count);
      for (std::size_t k = 0; k < count; ++k) byName[k] = static_cast<std::uint32_t>(k);
      std::stable_sort(byName.begin(), byName.end(), [&](std::uint32_t a, std::uint32_t b) {
        return CompareUpcased(node.children[a]->name, node.children[b]->name) < 0;
      });
      orderPool_.resize(frame.order + count);
      for (std::size_t slot = 0; slot < count; ++slot) orderPool_[frame.order + byName[slot]] = static_cast<std::uint32_t>(slot);
    }

    std::uint32_t root = kNoCell;
    if (leaves > 1) {
      root = Alloc(kListFixed + 4 * leaves);
      if (unsigned char* p = At(root)) {
        std::memcpy(p + 4, "ri", 2);
        Put16(p + 6, static_cast<std::uint16_t>(leaves));
      }
    }
    for (std::size_t j = 0; j < leaves; ++j) {
      const std::size_t n = LeafStart(count, leaves, j + 1) - LeafStart(count, leaves, j);
      const std::uint32_t leaf = Alloc(kListFixed + entrySize * n);
      leafPool_.push_back(leaf);
      if (unsigned char* p = At(leaf)) {
        std::memcpy(p + 4, signature, 2);
        Put16(p + 6, static_cast<std::uint16_t>(n));
      }
      if (leaves > 1 && out_) Put32(At(root) + 4 + kListFixed + 4 * j, leaf);
    }
    return leaves > 1 ? root : leafPool_[frame.leaves];
  }

  // Leaves share the entries evenly, as Windows' halving of full leaves leaves them.
  static std::size_t LeafStart(std::size_t count, std::size_t leaves, std::size_t j) { return count * j / leaves; }

  // Records the subkey now at frame.next (the one just written, at `nk`) in its parent's list.
  void PutListEntry(const TFrame& frame, std::uint32_t nk) {
    if (!out_) return;
    const std::size_t count = frame.node->children.size();
    const std::size_t slot = frame.order == std::string::npos ? frame.next : orderPool_[frame.order + frame.next];
    std::size_t j = slot * frame.leafCount / count;
    while (j + 1 < frame.leafCount && LeafStart(count, frame.leafCount, j + 1) <= slot) ++j;
    while (j > 0 && LeafStart(count, frame.leafCount, j) > slot) --j;
    const std::size_t pos = slot - LeafStart(count, frame.leafCount, j);
    unsigned char* p = At(leafPool_[frame.leaves + j]) + 4 + kListFixed;
    switch (frame.kind) {
      case TLeafKind::Li:
        Put32(p + 4 * pos, nk);
        break;
      case TLeafKind::Lh:
        Put32(p + 8 * pos, nk);
        Put32(p + 8 * pos + 4, nameAscii_ ? AsciiNameHash(nameText_) : NameHash(name_));
        break;
      case TLeafKind::Lf: {
        Put32(p + 8 * pos, nk);
        // The first four characters, when they fit in a byte each.
        unsigned char* hint = p + 8 * pos + 4;
        if (nameAscii_)
          std::memcpy(hint, nameText_.data(), std::min<std::size_t>(4, nameText_.size()));
        else if (FitsLatin1(std::u16string_view(name_).substr(0, 4)))
          for (std::size_t k = 0; k < 4 && k < name_.size(); ++k) hint[k] = static_cast<unsigned char>(name_[k]);
        break;
      }
    }
  }

  void WriteBaseBlock(unsigned char* b) {
    std::uint32_t sequence = 1;
    if (hive_.header.size() >= kBaseBlockSize) {
      std::memcpy(b, hive_.header.data(), kBaseBlockSize);
      sequence = Get32(b + kOffPrimarySeq) + 1;
    } else {
      std::memcpy(b, "regf", 4);
      Put32(b + kOffMajorVersion, 1);
      Put32(b + kOffMinorVersion, minor_);
      const std::u16string& name = options_.fileName;
      // The tail of the path, 31 characters and a terminating zero.
      const std::size_t keep = std::min<std::size_t>(name.size(), kFileNameBytes / 2 - 1);
      PutName(b + kOffFileName, std::u16string_view(name).substr(name.size() - keep), false);
    }
    Put32(b + kOffPrimarySeq, sequence);
    Put32(b + kOffSecondarySeq, sequence);
    Put64(b + kOffLastWritten, options_.now);
    Put32(b + kOffFileType, static_cast<std::uint32_t>(TFileType::Primary));
    Put32(b + kOffFileFormat, 1);
    Put32(b + kOffRootCell, rootCell_);
    Put32(b + kOffHiveBinsSize, static_cast<std::uint32_t>(binEnd_));
    Put32(b + kOffClusteringFactor, 1);
    // No transaction can be pending on a file written whole.
    Put32(b + kOffFlags, Get32(b + kOffFlags) & ~1u);
    Put32(b + kOffBootType, 0);
    Put32(b + kOffBootRecover, 0);
    Put32(b + kOffChecksum, BaseBlockChecksum(b));
  }

  const regtree::Hive& hive_;
  const std::function<void(Node&)>& ensureValues_;
  TRegfWriteOptions options_;
  std::uint32_t minor_ = 5;
  TLeafKind leafKind_ = TLeafKind::Lh;
  std::string rootName_;

  unsigned char* out_ = nullptr;  // the first bin; null while measuring
  std::uint64_t binEnd_ = 0;
  std::uint64_t next_ = 0;
  std::uint32_t lastCell_ = 0;
  std::size_t lastSize_ = 0;
  bool lastExact_ = false;
  bool haveLast_ = false;
  std::uint32_t rootCell_ = kNoCell;

  std::vector<TFrame> stack_;
  std::vector<std::uint32_t> leafPool_;
  std::vector<std::uint32_t> orderPool_;
  std::vector<TSecurity> securities_;
  std::vector<std::uint32_t> skRefs_;
  std::unordered_map<std::string_view, std::size_t> securityIndex_;
  std::vector<TKeyFacts> facts_;
  std::size_t factIndex_ = 0;
  const std::string* lastDescriptor_ = nullptr;
  std::size_t lastSecurity_ = 0;
  std::u16string name_;  // the current key's name, unless nameAscii_
  std::string_view nameText_;
  bool nameAscii_ = false;
  std::u16string scratch_;
  std::u16string valueName_;
  TRawValues raw_;
};

}  // namespace

const std::string& DefaultSecurityDescriptor() {
  static const std::string descriptor = MakeDefaultDescriptor();
  return descriptor;
}

std::string WriteRegfHive(const regtree::Hive& hive, const std::function<void(regtree::Node&)>& ensureValues,
                          const TRegfWriteOptions& options) {
  return THiveWriter(hive, ensureValues, options).Write();
}

}  // namespace kestrove::regf
