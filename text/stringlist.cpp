#include "text/stringlist.h"

#include <cstring>
#include <random>

#include "base/system_text.h"

namespace velmora {

EStringListError EStringListError::indexOutOfBounds(int index) {
  return EStringListError(u"List index out of bounds (" + toDecimal(index) + u")");
}

namespace {

ustring_view wholeLine(ustring_view line) { return line; }

// By the system's compare, of names or of whole lines: its key only groups
// the candidates, the compare decides.
const TLineMatch kSystemName = {LineName, systext::sameTextIgnoringCase,
                                systext::caseInsensitiveKey};
const TLineMatch kSystemLine = {wholeLine, systext::sameTextIgnoringCase, systext::caseInsensitiveKey};

// The name with a to z folded, two bytes a character.
std::string asciiKey(ustring_view name) {
  std::string key(2 * name.size(), '\0');
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t c = asciiUpper(name[i]);
    key[2 * i] = static_cast<char>(c & 0xFF);
    key[2 * i + 1] = static_cast<char>(c >> 8);
  }
  return key;
}

const TLineMatch kAsciiName = {LineName, sameTextAsciiFolded, asciiKey};

}  // namespace

ustring_view LineName(ustring_view line) {
  size_t eq = line.find(u'=');
  return eq == ustring_view::npos ? line : line.substr(0, eq);
}

// --- TLineIndex -------------------------------------------------------------

// Eight bytes a step, mixed in from a seed drawn once per process by
// SplitMix64's finaliser, so that every bit of the key moves the slot.
uint32_t TLineIndex::hash(const std::string& key) {
  static const uint64_t seed = [] {
    std::random_device device;
    return (static_cast<uint64_t>(device()) << 32) ^ device();
  }();
  auto mix = [](uint64_t h) {
    h = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9ull;
    h = (h ^ (h >> 27)) * 0x94d049bb133111ebull;
    return h ^ (h >> 31);
  };
  uint64_t h = seed ^ key.size();
  size_t i = 0;
  for (; i + 8 <= key.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, key.data() + i, 8);
    h = mix(h ^ word);
  }
  uint64_t tail = 0;
  std::memcpy(&tail, key.data() + i, key.size() - i);
  return static_cast<uint32_t>(mix(h ^ tail) >> 32);
}

TLineIndex::Slot& TLineIndex::slotFor(uint32_t hash) {
  const size_t mask = slots_.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask)
    if (slots_[i].first < 0 || slots_[i].hash == hash) return slots_[i];
}

// A table that lines groups fill at most half. Moving the slots touches the
// whole table, so it is grown at once for all the lines the list has room
// for: a list reserved ahead, or indexed once it is filled, moves none.
void TLineIndex::reserve(size_t lines) {
  size_t size = slots_.empty() ? 16 : slots_.size();
  while (size < 2 * lines) size *= 2;
  if (size == slots_.size()) return;
  std::vector<Slot> old(size);
  old.swap(slots_);
  for (const Slot& slot : old)
    if (slot.first >= 0) slotFor(slot.hash) = slot;
  links_.reserve(lines);
}

void TLineIndex::update(const std::vector<ustring>& lines) {
  if (links_.size() == lines.size()) return;
  reserve(lines.capacity());
  for (size_t i = links_.size(); i < lines.size(); ++i) {
    const ustring_view text = match_.textOf(lines[i]);
    const uint32_t h = hash(match_.key(text));
    const int32_t position = static_cast<int32_t>(i);
    Slot& slot = slotFor(h);
    Links links{position, -1, position};
    if (slot.first < 0) {
      slot = {h, position};
    } else {
      for (int j = slot.first; j >= 0; j = links_[static_cast<size_t>(j)].next) {
        if (match_.matches(match_.textOf(lines[static_cast<size_t>(j)]), text)) {
          links.firstOfSame = j;
          break;
        }
      }
      Links& head = links_[static_cast<size_t>(slot.first)];
      links.previous = head.previous;
      links_[static_cast<size_t>(head.previous)].next = position;
      head.previous = position;
    }
    links_.push_back(links);
  }
}

void TLineIndex::clear() {
  slots_.clear();
  links_.clear();
}

int TLineIndex::findFirst(ustring_view text) {
  return slots_.empty() ? -1 : slotFor(hash(match_.key(text))).first;
}

bool TLineIndex::lineMatches(const std::vector<ustring>& lines, int index, ustring_view text) const {
  return match_.matches(match_.textOf(lines[static_cast<size_t>(index)]), text);
}

int TLineIndex::first(const std::vector<ustring>& lines, ustring_view text) {
  update(lines);
  int i = findFirst(text);
  while (i >= 0 && !lineMatches(lines, i, text)) i = links_[static_cast<size_t>(i)].next;
  return i;
}

// Backwards from the group's last line; its first line ends the walk.
int TLineIndex::last(const std::vector<ustring>& lines, ustring_view text) {
  update(lines);
  const int head = findFirst(text);
  if (head < 0) return -1;
  for (int i = links_[static_cast<size_t>(head)].previous;; i = links_[static_cast<size_t>(i)].previous) {
    if (lineMatches(lines, i, text)) return i;
    if (i == head) return -1;
  }
}

int TLineIndex::next(const std::vector<ustring>& lines, int index, ustring_view text) {
  update(lines);
  int i = links_[static_cast<size_t>(index)].next;
  while (i >= 0 && !lineMatches(lines, i, text)) i = links_[static_cast<size_t>(i)].next;
  return i;
}

int TLineIndex::firstOfSame(const std::vector<ustring>& lines, int index) {
  update(lines);
  return links_[static_cast<size_t>(index)].firstOfSame;
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

ustring TStringList::name(int index) const { return ustring(LineName((*this)[index])); }

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

void TStringList::reserve(int lines) { lines_.reserve(static_cast<size_t>(lines)); }

void TStringList::clear() {
  lines_.clear();
  byName_.clear();
  byLine_.clear();
  byAsciiName_.clear();
}

int TStringList::indexOfName(ustring_view name) const { return byName_.first(lines_, name); }
int TStringList::indexOf(ustring_view text) const { return byLine_.first(lines_, text); }

int TStringList::indexOfSameName(int index) const {
  check(index);
  return byName_.firstOfSame(lines_, index);
}

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
