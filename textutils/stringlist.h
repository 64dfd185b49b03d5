// The ordered name=value list the objects keep their variables in: insertion
// order, duplicates allowed, lookups by name ignoring case by the system
// locale and finding the first line.
#pragma once

#include <vector>

#include "textutils/ustring.h"

namespace velmora {

class TStringList {
 public:
  int count() const { return static_cast<int>(lines_.size()); }
  bool empty() const { return lines_.empty(); }

  // Raise EStringListError "List index out of bounds (%d)" for a bad index.
  const ustring& operator[](int index) const;
  ustring name(int index) const;   // text before the first "="
  ustring value(int index) const;  // text after the first "="

  void add(ustring line);
  void addPair(ustring_view name, ustring_view value);
  void clear() { lines_.clear(); }

  // First line whose name equals name ignoring case; -1 when none.
  int indexOfName(ustring_view name) const;
  // First line equal to text ignoring case; -1 when none.
  int indexOf(ustring_view text) const;
  // The value of the first line named name, empty when none.
  ustring valueOf(ustring_view name) const;

  auto begin() const { return lines_.begin(); }
  auto end() const { return lines_.end(); }

 private:
  void check(int index) const;
  std::vector<ustring> lines_;
};

// The name part of a name=value line.
ustring_view lineName(ustring_view line);

}  // namespace velmora
