// The ordered name=value list the objects keep their variables in: insertion
// order, duplicates allowed, lookups by name ignoring case by the system
// locale and finding the first line.
//
// Lookups go through indexes beside the lines, built on first use and brought
// up to date with the lines appended since, so that filling a list while
// looking names up in it, and looking up every line of it, cost O(1) per line
// or lookup, amortized, however long the list grows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/ustring.h"

namespace velmora {

// How an index matches texts with lines: the part of a line matched (its name
// or all of it), the match, and a key that is equal for texts that match.
struct TLineMatch {
  ustring_view (*textOf)(ustring_view line);
  bool (*matches)(ustring_view a, ustring_view b);
  std::string (*key)(ustring_view text);
};

// The lines of a list grouped by key, each group in list order. The table
// holds a 32-bit hash of each key and the group's first line, eight bytes a
// slot, so a lookup touches one small slot however many lines there are;
// lines whose keys differ but hash alike share a group, which is why every
// line found is confirmed by the match. The hash is seeded anew in each
// process, so a client cannot choose names that pile up in one place.
class TLineIndex {
 public:
  explicit TLineIndex(const TLineMatch& match) : match_(match) {}

  // The first and the last line that match text, and the next one after
  // index; -1 when there is none. Lines are only ever appended or cleared:
  // each call first indexes the lines appended since the last.
  int first(const std::vector<ustring>& lines, ustring_view text);
  int last(const std::vector<ustring>& lines, ustring_view text);
  int next(const std::vector<ustring>& lines, int index, ustring_view text);
  // The first line that matches line index (index itself when no earlier
  // line does), found once, when the line is indexed.
  int firstOfSame(const std::vector<ustring>& lines, int index);
  void clear();

 private:
  struct Slot {
    uint32_t hash = 0;
    int32_t first = -1;  // the group's first line; -1: the slot is free
  };
  // A group is a chain of lines; the first line's previous is the group's
  // last, so that both ends are one step from the slot.
  struct Links {
    int32_t previous, next = -1, firstOfSame;
  };

  void update(const std::vector<ustring>& lines);
  bool lineMatches(const std::vector<ustring>& lines, int index, ustring_view text) const;
  static uint32_t hash(const std::string& key);
  Slot& slotFor(uint32_t hash);
  int findFirst(ustring_view text);  // the group's first line, or -1
  void reserve(size_t lines);

  TLineMatch match_;
  std::vector<Slot> slots_;  // open addressing; a power of two, at most half used
  std::vector<Links> links_;  // one per indexed line
};

// "List index out of bounds (%d)"
class EStringListError : public Exception {
 public:
  using Exception::Exception;
  static EStringListError indexOutOfBounds(int index);
};

class TStringList {
 public:
  TStringList();

  int count() const { return static_cast<int>(lines_.size()); }
  bool empty() const { return lines_.empty(); }

  // Raise EStringListError "List index out of bounds (%d)" for a bad index.
  const ustring& operator[](int index) const;
  ustring name(int index) const;   // text before the first "="
  ustring value(int index) const;  // text after the first "="

  void add(ustring line);
  void addPair(ustring_view name, ustring_view value);
  // Room for this many lines, in the list and in its indexes.
  void reserve(int lines);
  void clear();

  // First line whose name equals name ignoring case; -1 when none.
  int indexOfName(ustring_view name) const;
  // First line equal to text ignoring case; -1 when none.
  int indexOf(ustring_view text) const;
  // indexOfName(name(index)), without looking the name up.
  int indexOfSameName(int index) const;
  // The value of the first line named name, empty when none.
  ustring valueOf(ustring_view name) const;

  // Lines whose name equals name when only the letters a to z are folded, in
  // list order: the first and the last (-1 when none), and the next one after
  // index (-1 after the last).
  int firstOfNameAscii(ustring_view name) const;
  int lastOfNameAscii(ustring_view name) const;
  int nextOfNameAscii(int index, ustring_view name) const;

  auto begin() const { return lines_.begin(); }
  auto end() const { return lines_.end(); }

 private:
  void check(int index) const;
  std::vector<ustring> lines_;
  mutable TLineIndex byName_, byLine_, byAsciiName_;
};

// The name part of a name=value line.
ustring_view LineName(ustring_view line);

}  // namespace velmora
