#include "textutils/stringlist.h"

#include <random>

#include "textutils/errors.h"
#include "textutils/system_text.h"

namespace velmora {

namespace {

// By the system's compare, of names or of whole lines: its key only groups
// the candidates, the compare decides.
const TLineMatch kSystemName = {
    [](ustring_view line) { return systext::caseInsensitiveKey(lineName(line)); },
    systext::caseInsensitiveKey,
    [](ustring_view line, ustring_view name) {
      return systext::sameTextIgnoringCase(lineName(line), name);
    }};
const TLineMatch kSystemLine = {systext::caseInsensitiveKey, systext::caseInsensitiveKey,
                                systext::sameTextIgnoringCase};

char16_t asciiUpperChar(char16_t c) { return c >= u'a' && c <= u'z' ? c - (u'a' - u'A') : c; }

// The name with a to z folded, two bytes a character.
std::string asciiKey(ustring_view name) {
  std::string key(2 * name.size(), '\0');
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t c = asciiUpperChar(name[i]);
    key[2 * i] = static_cast<char>(c & 0xFF);
    key[2 * i + 1] = static_cast<char>(c >> 8);
  }
  return key;
}

bool sameAsciiFolded(ustring_view a, ustring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (asciiUpperChar(a[i]) != asciiUpperChar(b[i])) return false;
  return true;
}

const TLineMatch kAsciiName = {
    [](ustring_view line) { return asciiKey(lineName(line)); }, asciiKey,
    [](ustring_view line, ustring_view name) { return sameAsciiFolded(lineName(line), name); }};

}  // namespace

ustring_view lineName(ustring_view line) {
  size_t eq = line.find(u'=');
  return eq == ustring_view::npos ? line : line.substr(0, eq);
}

// --- TLineIndex -------------------------------------------------------------

// FNV-1a from a seed drawn once per process, then mixed (SplitMix64's
// finaliser) so that every bit of the hash moves the slot.
uint64_t TLineIndex::hash(const std::string& key) {
  static const uint64_t seed = [] {
    std::random_device device;
    return (static_cast<uint64_t>(device()) << 32) ^ device() ^ 0xcbf29ce484222325ull;
  }();
  uint64_t h = seed;
  for (unsigned char c : key) h = (h ^ c) * 0x100000001b3ull;
  h = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9ull;
  h = (h ^ (h >> 27)) * 0x94d049bb133111ebull;
  return h ^ (h >> 31);
}

TLineIndex::Slot& TLineIndex::slotFor(uint64_t hash) {
  const size_t mask = slots_.size() - 1;
  for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask)
    if (slots_[i].group.first < 0 || slots_[i].hash == hash) return slots_[i];
}

void TLineIndex::grow() {
  std::vector<Slot> old(slots_.empty() ? 16 : 2 * slots_.size());
  old.swap(slots_);
  for (const Slot& slot : old)
    if (slot.group.first >= 0) slotFor(slot.hash) = slot;
}

void TLineIndex::update(const std::vector<ustring>& lines) {
  for (size_t i = links_.size(); i < lines.size(); ++i) {
    if (2 * (used_ + 1) > slots_.size()) grow();
    const uint64_t h = hash(match_.lineKey(lines[i]));
    const int position = static_cast<int>(i);
    Slot& slot = slotFor(h);
    Links links;
    if (slot.group.first < 0) {
      slot.hash = h;
      slot.group = {position, position};
      ++used_;
    } else {
      links.previous = slot.group.last;
      links_[static_cast<size_t>(slot.group.last)].next = position;
      slot.group.last = position;
    }
    links_.push_back(links);
  }
}

void TLineIndex::clear() {
  slots_.clear();
  used_ = 0;
  links_.clear();
}

const TLineIndex::Group* TLineIndex::find(ustring_view text) {
  if (slots_.empty()) return nullptr;
  const Slot& slot = slotFor(hash(match_.textKey(text)));
  return slot.group.first < 0 ? nullptr : &slot.group;
}

int TLineIndex::first(const std::vector<ustring>& lines, ustring_view text) {
  update(lines);
  const Group* group = find(text);
  int i = group ? group->first : -1;
  while (i >= 0 && !match_.matches(lines[static_cast<size_t>(i)], text)) i = links_[static_cast<size_t>(i)].next;
  return i;
}

int TLineIndex::last(const std::vector<ustring>& lines, ustring_view text) {
  update(lines);
  const Group* group = find(text);
  int i = group ? group->last : -1;
  while (i >= 0 && !match_.matches(lines[static_cast<size_t>(i)], text))
    i = links_[static_cast<size_t>(i)].previous;
  return i;
}

int TLineIndex::next(const std::vector<ustring>& lines, int index, ustring_view text) {
  update(lines);
  int i = links_[static_cast<size_t>(index)].next;
  while (i >= 0 && !match_.matches(lines[static_cast<size_t>(i)], text)) i = links_[static_cast<size_t>(i)].next;
  return i;
}

// --- TStringList ------------------------------------------------------------

TStringList::TStringList() : byName_(kSystemName), byLine_(kSystemLine), byAsciiName_(kAsciiName) {}

void TStringList::check(int index) const {
  if (index < 0 || index >= count()) throw EStringListError::indexOutOfBounds(index);
}

const ustring& TStringList::operator[](int index) const {
  check(index);
  return lines_[static_cast<size_t>(index)];
}

ustring TStringList::name(int index) const { return ustring(lineName((*this)[index])); }

ustring TStringList::value(int index) const {
  const ustring& line = (*this)[index];
  size_t eq = line.find(u'=');
  return eq == ustring::npos ? ustring() : line.substr(eq + 1);
}

void TStringList::add(ustring line) { lines_.push_back(std::move(line)); }

void TStringList::addPair(ustring_view name, ustring_view value) {
  ustring line;
  line.reserve(name.size() + 1 + value.size());
  line.append(name).append(1, u'=').append(value);
  lines_.push_back(std::move(line));
}

void TStringList::clear() {
  lines_.clear();
  byName_.clear();
  byLine_.clear();
  byAsciiName_.clear();
}

int TStringList::indexOfName(ustring_view name) const { return byName_.first(lines_, name); }
int TStringList::indexOf(ustring_view text) const { return byLine_.first(lines_, text); }

ustring TStringList::valueOf(ustring_view name) const {
  int i = indexOfName(name);
  return i < 0 ? ustring() : value(i);
}

int TStringList::firstOfNameAscii(ustring_view name) const { return byAsciiName_.first(lines_, name); }
int TStringList::lastOfNameAscii(ustring_view name) const { return byAsciiName_.last(lines_, name); }
int TStringList::nextOfNameAscii(int index, ustring_view name) const {
  check(index);
  return byAsciiName_.next(lines_, index, name);
}

}  // namespace velmora
